#include "rtc_base/nullsocketserver.h"

namespace rtc {

NullSocketServer::NullSocketServer() : event_(false, false) {}

NullSocketServer::~NullSocketServer() = default;

Socket* NullSocketServer::CreateSocket(int /*family*/, int /*type*/) {
  return nullptr;
}

AsyncSocket* NullSocketServer::CreateAsyncSocket(int /*family*/, int /*type*/) {
  return nullptr;
}

bool NullSocketServer::Wait(int milliseconds, bool /*process_io*/) {
  event_.Wait(milliseconds);
  return true;
}

void NullSocketServer::WakeUp() {
  event_.Set();
}

}  // namespace rtc
