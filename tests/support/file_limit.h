#ifndef TESTS_SUPPORT_FILE_LIMIT_H_
#define TESTS_SUPPORT_FILE_LIMIT_H_

#include <sys/resource.h>

namespace zek_test {

// Sets the soft limit on open descriptors (RLIMIT_NOFILE) for one scope, higher or
// lower, and puts the old limit back at its end.
class ScopedFileLimit {
 public:
  explicit ScopedFileLimit(rlim_t soft);
  ~ScopedFileLimit();
  ScopedFileLimit(const ScopedFileLimit&) = delete;
  ScopedFileLimit& operator=(const ScopedFileLimit&) = delete;

  // False when the limit could not be set, e.g. above the hard limit.
  bool ok() const { return ok_; }

 private:
  rlimit saved_;
  bool ok_;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_FILE_LIMIT_H_
