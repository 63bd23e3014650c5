#include "rtc_base/nethelpers.h"

#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

namespace rtc {

// AsyncResolver

AsyncResolver::AsyncResolver() : error_(-1), work_error_(-1) {}

AsyncResolver::~AsyncResolver() = default;

void AsyncResolver::Start(const SocketAddress& address) {
  requested_ = address;
  SignalThread::Start();
}

void AsyncResolver::OnWorkStart() {
  address_ = requested_;
}

void AsyncResolver::DoWork() {
  work_error_ = ResolveHostname(address_.hostname(), address_.family(), &work_ips_);
}

void AsyncResolver::OnWorkDone() {
  error_ = work_error_;
  resolved_ips_ = std::move(work_ips_);
  work_ips_.clear();
  SignalResolved(this);
}

bool AsyncResolver::GetResolvedAddress(int family, SocketAddress* out) const {
  if (error_ != 0 || resolved_ips_.empty()) {
    return false;
  }
  *out = address_;
  for (const IPAddress& ip : resolved_ips_) {
    if (ip.family() == family) {
      out->SetResolvedIP(ip);
      return true;
    }
  }
  return false;
}

int AsyncResolver::GetError() const {
  return error_;
}

void AsyncResolver::Destroy(bool wait) {
  SignalThread::Destroy(wait);
}

// Free functions

int ResolveHostname(const std::string& hostname, int family, std::vector<IPAddress>* addresses) {
  if (!addresses) {
    return -1;
  }
  addresses->clear();
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = family;
  // Only families this host can reach; no service look-up.
  hints.ai_flags = AI_ADDRCONFIG;
  struct addrinfo* result = nullptr;
  const int ret = getaddrinfo(hostname.c_str(), nullptr, &hints, &result);
  if (ret != 0) {
    return ret;
  }
  for (struct addrinfo* cursor = result; cursor; cursor = cursor->ai_next) {
    if (family == 0 || cursor->ai_family == family) {
      IPAddress ip;
      if (IPFromAddrInfo(cursor, &ip)) {
        addresses->push_back(ip);
      }
    }
  }
  freeaddrinfo(result);
  return 0;
}

}  // namespace rtc
