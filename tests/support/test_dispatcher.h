#ifndef TESTS_SUPPORT_TEST_DISPATCHER_H_
#define TESTS_SUPPORT_TEST_DISPATCHER_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "rtc_base/physicalsocketserver.h"

namespace zek_test {

// A dispatcher over any descriptor the test owns (a socket pair end, a pipe, a raw
// socket), registered with a socket server. Its events are one-shot, as a socket's
// are: a delivered event is no longer asked for until the test asks again. It
// records what it is told; the records may be read from any thread.
class TestDispatcher : public rtc::Dispatcher {
 public:
  struct Record {
    uint32_t pre_events;
    uint32_t events;
    int error;
  };

  TestDispatcher(rtc::PhysicalSocketServer* server, int fd, uint32_t requested);
  TestDispatcher(const TestDispatcher&) = delete;
  TestDispatcher& operator=(const TestDispatcher&) = delete;
  // Unregisters itself; the descriptor stays the test's.
  ~TestDispatcher() override;

  void Request(uint32_t events) { requested_ |= events; }
  std::vector<Record> records() const;
  // Events recorded: an event counts as soon as OnEvent begins, before its handler runs.
  size_t event_count() const;
  // Events whose handler has returned: what a test waits on before it acts on what the
  // handler did (drained the descriptor, asked again).
  size_t handled_count() const { return handled_; }

  // Runs inside OnEvent, on the server's thread, after the record is made.
  std::function<void(uint32_t events, int error)> on_event;

  uint32_t GetRequestedEvents() override { return requested_; }
  void OnPreEvent(uint32_t events) override;
  void OnEvent(uint32_t events, int error) override;
  int GetDescriptor() override { return fd_; }
  // For a stream socket: the peer has ended the stream.
  bool IsDescriptorClosed() override;

  void set_descriptor(int fd) { fd_ = fd; }

 private:
  rtc::PhysicalSocketServer* const server_;
  std::atomic<int> fd_;
  std::atomic<uint32_t> requested_;
  std::atomic<size_t> handled_{0};
  mutable std::mutex mutex_;
  uint32_t pending_pre_ = 0;     // guarded by mutex_
  std::vector<Record> records_;  // guarded by mutex_
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_TEST_DISPATCHER_H_
