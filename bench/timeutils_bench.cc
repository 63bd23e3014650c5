// Cost of a clock reading: the platform clock and the same through the clock hook.
#include <benchmark/benchmark.h>

#include "rtc_base/timeutils.h"
#include "tests/support/fake_clock.h"

namespace {

void BM_TimeMillis(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(rtc::TimeMillis());
}
BENCHMARK(BM_TimeMillis);

void BM_Time32(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(rtc::Time32());
}
BENCHMARK(BM_Time32);

void BM_TimeMillisFakeClock(benchmark::State& state) {
  zek_test::ScopedFakeClock clock;
  for (auto _ : state)
    benchmark::DoNotOptimize(rtc::TimeMillis());
}
BENCHMARK(BM_TimeMillisFakeClock);

}  // namespace
