#include "src/mtu/mtu_probe.h"

#include <utility>

#include "src/mtu/ping.h"

namespace tavix {

MtuProber::MtuProber() : MtuProber(kTargetName) {}

MtuProber::MtuProber(std::string target_host, HostLookup lookup)
    : probe_thread_(), runnable_(std::move(target_host), std::move(lookup)) {}

MtuProber::~MtuProber() {
  probe_thread_.Stop();
}

void MtuProber::DoProbe() {
  probe_thread_.SetName("mtu probe thread", nullptr);
  probe_thread_.Start(&runnable_);
  // Returns once Run has.
  probe_thread_.Stop();
}

int MtuProber::MaxRtpPacketSize() const {
  return runnable_.max_rtp_packet_size_;
}

MtuProber::ProberRunnable::ProberRunnable(std::string target_host, HostLookup lookup)
    : max_rtp_packet_size_(kDefaultMaxRtpPacketSize),
      target_host_(std::move(target_host)),
      lookup_(std::move(lookup)) {}

MtuProber::ProberRunnable::~ProberRunnable() = default;

void MtuProber::ProberRunnable::Run(rtc::Thread* /*thread*/) {
  Ping ping(target_host_, lookup_);
  if (!ping.Init())
    return;
  // One look-up serves the three probes: a resolver that does not answer costs its
  // 1 s once, not once for each size.
  std::string ip;
  if (!ping.Resolve(&ip))
    return;
  for (unsigned short i = 0; i < 3; i++) {
    if (ping.DoProbe(i, ip.c_str(), kProbeValue[i])) {
      max_rtp_packet_size_ = kProbeValue[i] - Ping::kIcmpHeaderSize;
      return;
    }
  }
}

}  // namespace tavix
