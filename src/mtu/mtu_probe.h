#ifndef SRC_MTU_MTU_PROBE_H_
#define SRC_MTU_MTU_PROBE_H_

#include <string>

#include "rtc_base/thread.h"
#include "src/mtu/ping.h"

namespace tavix {

// Echo request sizes, ICMP header included, tried largest first.
constexpr int kProbeValue[3] = {1208, 908, 508};
// The packet size limit when no probe is answered or no raw socket can be had.
constexpr int kDefaultMaxRtpPacketSize = 550;

// Measures once how large a packet the path to a public host carries: ICMP echo
// requests of decreasing size with don't-fragment, the first answered size less its
// 8-byte header being the result (1200, 900, 500, or 550 when none is answered).
// DoProbe runs the probes on a thread of its own, "mtu probe thread", and blocks its
// caller until they are done: one look-up of the host, given at most 1 s, then at most
// three probes of at most 1 s each.
class MtuProber {
 public:
  // Probes kTargetName.
  MtuProber();
  // Probes `target_host`, a host name or an IPv4 literal, looked up with `lookup`.
  explicit MtuProber(std::string target_host, HostLookup lookup = SystemHostLookup);
  ~MtuProber();
  MtuProber(const MtuProber&) = delete;
  MtuProber& operator=(const MtuProber&) = delete;

  void DoProbe();
  // The result; kDefaultMaxRtpPacketSize until a probe has been answered. Read it on
  // the thread that called DoProbe.
  int MaxRtpPacketSize() const;

 private:
  class ProberRunnable : public virtual rtc::Runnable {
   public:
    ProberRunnable(std::string target_host, HostLookup lookup);
    ~ProberRunnable() override;
    void Run(rtc::Thread* thread) override;

    // Written on the probe thread; read only after DoProbe has joined it.
    int max_rtp_packet_size_;

   private:
    const std::string target_host_;
    const HostLookup lookup_;
  };

  rtc::Thread probe_thread_;
  ProberRunnable runnable_;
};

}  // namespace tavix

#endif  // SRC_MTU_MTU_PROBE_H_
