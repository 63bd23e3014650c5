#include "tests/support/thread_state.h"

#include <dirent.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zek_test {
namespace {

// The kernel's mark on a task that has begun to exit (PF_EXITING), in its stat flags.
constexpr unsigned long kTaskExiting = 0x4;

// The fields of a task's stat line after its name, the state first: "tid (name) S ...",
// where the name may hold blanks and parentheses, so the fields follow the last ')'.
// Empty when the task is gone.
std::vector<std::string> StatFieldsAfterName(const std::string& task_dir) {
  std::ifstream stat(task_dir + "/stat");
  std::stringstream text;
  text << stat.rdbuf();
  const std::string s = text.str();
  const size_t close = s.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos)
    return fields;
  std::istringstream rest(s.substr(close + 1));
  for (std::string field; rest >> field;)
    fields.push_back(field);
  return fields;
}

// The number of threads the process has now, as the kernel counts them.
int ThreadCount() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 8, "Threads:") == 0)
      return std::stoi(line.substr(8));
  }
  return -1;
}

// The tasks of this process, listed whole. A thread that goes away while the list is
// read can end the kernel's walk early or shift it, so that a live thread is skipped
// or listed twice; a listing is kept only when the count of threads stood still
// around it and it holds that many.
std::vector<std::string> ListTasks() {
  std::set<std::string> tasks;
  for (int attempt = 0; attempt < 100; ++attempt) {
    tasks.clear();
    const int before = ThreadCount();
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
      break;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.')
        tasks.insert(std::string("/proc/self/task/") + entry->d_name);
    }
    closedir(dir);
    const int after = ThreadCount();
    if (before == after && static_cast<int>(tasks.size()) == after)
      break;
  }
  return std::vector<std::string>(tasks.begin(), tasks.end());
}

}  // namespace

bool IsThreadSleeping(int tid) {
  const std::vector<std::string> fields =
      StatFieldsAfterName("/proc/self/task/" + std::to_string(tid));
  return !fields.empty() && (fields[0] == "S" || fields[0] == "D");
}

int CountLiveThreadsNamed(const std::string& name) {
  int count = 0;
  for (const std::string& task : ListTasks()) {
    std::string comm;
    std::getline(std::ifstream(task + "/comm"), comm);
    if (comm != name)
      continue;
    // The state, then 5 more fields up to the task's flags. A thread is marked exiting
    // as it leaves its body, before a join can return; it lets go of the process's
    // memory only later, so a joined thread can still show a virtual memory size.
    const std::vector<std::string> fields = StatFieldsAfterName(task);
    if (fields.size() > 6 && (std::stoul(fields[6]) & kTaskExiting) == 0)
      ++count;
  }
  return count;
}

}  // namespace zek_test
