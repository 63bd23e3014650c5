#include "tests/support/capabilities.h"

#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

namespace zek_test {

bool CanOpenRawSocket() {
  const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd < 0)
    return false;
  close(fd);
  return true;
}

namespace {

// The C library's wrappers would change every thread; the system call changes only the
// calling one.
bool DropRawCapabilityOfThisThread() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0)
    return false;
  const unsigned index = CAP_TO_INDEX(CAP_NET_RAW);
  const unsigned mask = CAP_TO_MASK(CAP_NET_RAW);
  data[index].effective &= ~mask;
  data[index].permitted &= ~mask;
  data[index].inheritable &= ~mask;
  return syscall(SYS_capset, &header, data) == 0 && !CanOpenRawSocket();
}

}  // namespace

bool RunWithoutRawSockets(const std::function<void()>& body) {
  bool dropped = false;
  std::thread runner([&] {
    dropped = DropRawCapabilityOfThisThread();
    if (dropped)
      body();
  });
  runner.join();
  return dropped;
}

}  // namespace zek_test
