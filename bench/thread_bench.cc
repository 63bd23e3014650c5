// Cost of the message loop: posting and handing out on one thread, and the round
// trip of a post to a worker thread that sleeps in its socket server (the wake-up
// through the pipe included), beside a delayed post and a Clear.
#include <benchmark/benchmark.h>

#include <memory>

#include "rtc_base/event.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/nullsocketserver.h"
#include "rtc_base/thread.h"

namespace {

class NullHandler : public rtc::MessageHandler {
 public:
  void OnMessage(rtc::Message*) override {}
};

class SignalingHandler : public rtc::MessageHandler {
 public:
  void OnMessage(rtc::Message*) override { done.Set(); }
  rtc::Event done{false, false};
};

void BM_PostAndDispatchOnOneQueue(benchmark::State& state) {
  rtc::MessageQueue queue(std::make_unique<rtc::NullSocketServer>(), true);
  NullHandler handler;
  const int batch = static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      queue.Post(RTC_FROM_HERE, &handler, i);
    }
    rtc::Message msg;
    while (queue.Get(&msg, 0)) {
      queue.Dispatch(&msg);
    }
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PostAndDispatchOnOneQueue)->Arg(1)->Arg(64);

void BM_DelayedPostAndClear(benchmark::State& state) {
  rtc::MessageQueue queue(std::make_unique<rtc::NullSocketServer>(), true);
  NullHandler handler;
  NullHandler other;
  const int pending = static_cast<int>(state.range(0));
  for (int i = 0; i < pending; ++i) {
    queue.PostDelayed(RTC_FROM_HERE, 100000 + i, &other, i);
  }
  for (auto _ : state) {
    queue.PostDelayed(RTC_FROM_HERE, 10000, &handler, 4);
    queue.Clear(&handler, 4);
  }
}
BENCHMARK(BM_DelayedPostAndClear)->Arg(0)->Arg(16)->Arg(256);

void BM_PostToSleepingWorkerRoundTrip(benchmark::State& state) {
  std::unique_ptr<rtc::Thread> worker = rtc::Thread::CreateWithSocketServer();
  worker->Start();
  SignalingHandler handler;
  for (auto _ : state) {
    worker->Post(RTC_FROM_HERE, &handler);
    handler.done.Wait(rtc::Event::kForever);
  }
  worker->Stop();
}
BENCHMARK(BM_PostToSleepingWorkerRoundTrip)->UseRealTime();

}  // namespace
