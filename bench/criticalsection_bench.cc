// Cost of the recursive lock: uncontended, nested, and shared by several threads
// (where waiters spin and then sleep), beside a std::mutex for scale.
#include <benchmark/benchmark.h>

#include <mutex>

#include "rtc_base/criticalsection.h"

namespace {

void BM_CritScopeUncontended(benchmark::State& state) {
  rtc::CriticalSection section;
  for (auto _ : state) {
    rtc::CritScope lock(&section);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CritScopeUncontended);

void BM_CritScopeNested(benchmark::State& state) {
  rtc::CriticalSection section;
  rtc::CritScope outer(&section);
  for (auto _ : state) {
    rtc::CritScope inner(&section);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CritScopeNested);

rtc::CriticalSection g_shared_section;
int g_shared_counter = 0;  // Guarded by g_shared_section.

void BM_CritScopeContended(benchmark::State& state) {
  for (auto _ : state) {
    rtc::CritScope lock(&g_shared_section);
    ++g_shared_counter;
  }
}
BENCHMARK(BM_CritScopeContended)->ThreadRange(1, 8)->UseRealTime();

std::mutex g_shared_mutex;
int g_mutex_counter = 0;  // Guarded by g_shared_mutex.

void BM_StdMutexContended(benchmark::State& state) {
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(g_shared_mutex);
    ++g_mutex_counter;
  }
}
BENCHMARK(BM_StdMutexContended)->ThreadRange(1, 8)->UseRealTime();

}  // namespace
