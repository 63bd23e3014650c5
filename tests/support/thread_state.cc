#include "tests/support/thread_state.h"

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

}  // namespace zek_test
