#ifndef TESTS_SUPPORT_SOCKET_PAIR_H_
#define TESTS_SUPPORT_SOCKET_PAIR_H_

namespace zek_test {

// A connected pair of non-blocking local stream sockets, for a descriptor a test
// can make readable, writable or closed at will. Both ends close with the object.
struct SocketPair {
  // Fails the running test when the pair cannot be made.
  SocketPair();
  ~SocketPair();
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  bool ok() const { return fds[0] >= 0 && fds[1] >= 0; }
  // One byte into end `end`, for the other end to read.
  void Write(int end = 1);
  void CloseEnd(int end);

  int fds[2] = {-1, -1};
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_SOCKET_PAIR_H_
