#include "src/mtu/mtu_probe.h"

#include <utility>

#include "src/mtu/ping.h"

namespace tavix {

MtuProber::MtuProber() : MtuProber(kTargetName) {}

MtuProber::MtuProber(std::string target_host)
    : probe_thread_(), runnable_(std::move(target_host)) {}

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

MtuProber::ProberRunnable::ProberRunnable(std::string target_host)
    : max_rtp_packet_size_(kDefaultMaxRtpPacketSize), target_host_(std::move(target_host)) {}

MtuProber::ProberRunnable::~ProberRunnable() = default;

void MtuProber::ProberRunnable::Run(rtc::Thread* /*thread*/) {
  Ping ping(target_host_);
  if (!ping.Init())
    return;
  for (unsigned short i = 0; i < 3; i++) {
    if (ping.DoProbe(i, nullptr, kProbeValue[i])) {
      max_rtp_packet_size_ = kProbeValue[i] - Ping::kIcmpHeaderSize;
      return;
    }
  }
}

}  // namespace tavix
