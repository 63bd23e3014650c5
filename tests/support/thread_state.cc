#include "tests/support/thread_state.h"

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>

namespace zek_test {

bool IsThreadSleeping(int tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::stringstream text;
  text << stat.rdbuf();
  const std::string s = text.str();
  // "tid (name) S ...": the name may hold blanks and parentheses, the state follows
  // the last ')'.
  const size_t close = s.rfind(')');
  if (close == std::string::npos || close + 2 >= s.size())
    return false;
  const char state = s[close + 2];
  return state == 'S' || state == 'D';
}

int CountLiveThreadsNamed(const std::string& name) {
  DIR* dir = opendir("/proc/self/task");
  if (!dir)
    return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.')
      continue;
    const std::string task = std::string("/proc/self/task/") + entry->d_name;
    std::string comm;
    std::getline(std::ifstream(task + "/comm"), comm);
    if (comm != name)
      continue;
    std::ifstream stat(task + "/stat");
    std::stringstream text;
    text << stat.rdbuf();
    const std::string s = text.str();
    const size_t close = s.rfind(')');
    if (close == std::string::npos)
      continue;
    // After the name: the state, then 19 more fields up to the virtual memory size,
    // which is 0 once the thread has let go of the process's memory on its way out.
    std::istringstream fields(s.substr(close + 1));
    std::string field;
    int read = 0;
    while (read <= 20 && fields >> field)
      ++read;
    if (read == 21 && field != "0")
      ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace zek_test
