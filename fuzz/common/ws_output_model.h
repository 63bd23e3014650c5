#ifndef FUZZ_COMMON_WS_OUTPUT_MODEL_H_
#define FUZZ_COMMON_WS_OUTPUT_MODEL_H_

#include <stddef.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/common/output_model.h"

namespace zek_fuzz {

// The WebSocket client's way out above the TCP packet socket base: a frame that the
// output buffer cannot take now, or that would pass a frame of its kind already
// waiting, waits whole; control frames wait ahead of data frames. Waiting frames move
// in, control frames first, each time a write event has drained the output buffer.
// A frame that would take the waiting bytes past the limit closes the client, and a
// closed client lets go of what waits and takes nothing more. A close frame goes behind
// everything waiting, and nothing is taken after it. Sending what waits now (at the owner's
// end, or after a close frame) moves and flushes until the socket takes no more. `Frame` is
// whatever the caller expects on the wire; `written` gets the frames in the order they go
// out.
template <typename Frame>
struct WsOutputModel {
  enum class Result { kWritten, kWaiting, kRefused, kOverflow };

  OutputModel out;
  size_t waiting_limit = 0;
  std::vector<Frame>* written = nullptr;
  bool closed = false;
  bool close_sent = false;
  std::deque<std::pair<Frame, size_t>> control;  // each with its size on the wire
  std::deque<std::pair<Frame, size_t>> data;
  size_t waiting = 0;

  // SendFrame: kWritten and kWaiting are its true, kRefused and kOverflow its false;
  // after kOverflow the client has closed (the caller's model reports it).
  Result Send(const Frame& frame, size_t wire_size, bool is_control) {
    if (closed || close_sent)
      return Result::kRefused;
    const bool behind = !control.empty() || (!is_control && !data.empty());
    if (!behind && out.queued.size() + wire_size <= out.max) {
      int error = 0;
      if (out.Write(std::string(wire_size, 'w'), &error) < 0)
        return Result::kRefused;
      written->push_back(frame);
      return Result::kWritten;
    }
    if (wire_size > waiting_limit - waiting) {
      Close();
      return Result::kOverflow;
    }
    waiting += wire_size;
    (is_control ? control : data).emplace_back(frame, wire_size);
    return Result::kWaiting;
  }

  // The socket's Drain, then its write event.
  void Drain(long more) {
    if (out.budget >= 0)
      out.budget += more;
    WriteEvent();
  }

  void WriteEvent() {
    const int ready = out.send_ready;
    out.WriteEvent();
    if (out.send_ready != ready)
      MoveWaiting();
  }

  // SendWaitingNow.
  void SendNow() {
    while (!closed && out.connected) {
      MoveWaiting();
      if (out.queued.empty())
        return;
      const size_t before = out.queued.size();
      out.Flush();
      if (out.queued.size() == before)
        return;
    }
  }

  // SendClose of an open client: false when it refuses.
  bool SendClose(const Frame& frame, size_t wire_size) {
    if (closed || close_sent)
      return false;
    close_sent = true;
    waiting += wire_size;
    data.emplace_back(frame, wire_size);
    SendNow();
    return true;
  }

  // The answer to a server's close: what waits goes, the close frame follows what the
  // output buffer holds, and then the client closes.
  void AnswerClose(const Frame& frame, size_t wire_size) {
    control.clear();
    data.clear();
    waiting = 0;
    SendClose(frame, wire_size);
    Close();
  }

  void Close() {
    closed = true;
    out.connected = false;
    control.clear();
    data.clear();
    waiting = 0;
  }

 private:
  void MoveWaiting() {
    while (!closed) {
      std::deque<std::pair<Frame, size_t>>& from = control.empty() ? data : control;
      if (from.empty() || out.queued.size() + from.front().second > out.max)
        return;
      int error = 0;
      if (out.Write(std::string(from.front().second, 'w'), &error) < 0)
        return;
      written->push_back(from.front().first);
      waiting -= from.front().second;
      from.pop_front();
    }
  }
};

}  // namespace zek_fuzz

#endif  // FUZZ_COMMON_WS_OUTPUT_MODEL_H_
