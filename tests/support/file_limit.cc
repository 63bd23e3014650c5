#include "tests/support/file_limit.h"

namespace zek_test {

ScopedFileLimit::ScopedFileLimit(rlim_t soft) {
  getrlimit(RLIMIT_NOFILE, &saved_);
  rlimit changed = saved_;
  changed.rlim_cur = soft;
  ok_ = soft <= saved_.rlim_max && setrlimit(RLIMIT_NOFILE, &changed) == 0;
}

ScopedFileLimit::~ScopedFileLimit() {
  setrlimit(RLIMIT_NOFILE, &saved_);
}

}  // namespace zek_test
