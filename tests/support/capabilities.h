#ifndef TESTS_SUPPORT_CAPABILITIES_H_
#define TESTS_SUPPORT_CAPABILITIES_H_

#include <functional>

namespace zek_test {

// True when this process may open a raw ICMP socket (root or CAP_NET_RAW).
bool CanOpenRawSocket();

// Runs `body` on a new thread that holds no CAP_NET_RAW, so neither it nor the threads
// it starts can open raw sockets; the rest of the process keeps its capabilities (on
// Linux they belong to each thread). Returns once `body` has returned; false, without
// running it, when the capability could not be dropped.
bool RunWithoutRawSockets(const std::function<void()>& body);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_CAPABILITIES_H_
