#ifndef FUZZ_COMMON_OUTPUT_MODEL_H_
#define FUZZ_COMMON_OUTPUT_MODEL_H_

#include <errno.h>
#include <stddef.h>

#include <algorithm>
#include <string>

namespace zek_fuzz {

// The output side of the TCP packet socket base, as its callers see it: a write is
// queued whole or not at all (EMSGSIZE beyond the limit), each write and each write
// event hands the whole queue to the socket, which takes what its budget allows; a
// socket that refuses outright (not connected) gets nothing and the write fails.
struct OutputModel {
  size_t max = 0;
  bool connected = false;
  std::string queued;  // not taken by the socket yet
  std::string sent;    // taken by the socket, in order
  long budget = -1;    // what the socket still takes before it would block; -1: no limit
  int send_ready = 0;  // SignalSendReady emissions

  // One Send of the whole queue; false when the socket refused it outright.
  bool Flush() {
    if (!connected)
      return false;
    size_t take = queued.size();
    if (budget >= 0)
      take = std::min(take, static_cast<size_t>(budget));
    if (take == 0)
      return true;  // would block: kept for a write event
    sent.append(queued, 0, take);
    queued.erase(0, take);
    if (budget >= 0)
      budget -= static_cast<long>(take);
    return true;
  }

  // SendRaw's result for `size` bytes, with the socket's error when it is -1.
  int Write(const std::string& bytes, int* error) {
    if (queued.size() + bytes.size() > max) {
      *error = EMSGSIZE;
      return -1;
    }
    const size_t before = queued.size();
    queued += bytes;
    if (!Flush()) {
      queued.resize(before);
      *error = ENOTCONN;
      return -1;
    }
    return static_cast<int>(bytes.size());
  }

  // The socket's Drain.
  void Drain(long more) {
    if (budget >= 0)
      budget += more;
    WriteEvent();
  }

  void WriteEvent() {
    if (!connected)
      return;
    if (!queued.empty())
      Flush();
    if (queued.empty())
      send_ready++;
  }
};

}  // namespace zek_fuzz

#endif  // FUZZ_COMMON_OUTPUT_MODEL_H_
