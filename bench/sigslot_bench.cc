#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "rtc_base/sigslot.h"

namespace {

struct Sink : sigslot::has_slots<> {
  void OnInt(int v) { benchmark::DoNotOptimize(sum += v); }
  void OnText(std::string text) { benchmark::DoNotOptimize(sum += text.size()); }
  void OnTextRef(std::string& text) { benchmark::DoNotOptimize(sum += text.size()); }
  size_t sum = 0;
};

template <class Policy>
void BM_EmitInt(benchmark::State& state) {
  std::vector<Sink> sinks(state.range(0));
  sigslot::signal_with_thread_policy<Policy, int> sig;
  for (Sink& s : sinks) {
    sig.connect(&s, &Sink::OnInt);
  }
  for (auto _ : state) {
    sig(1);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_TEMPLATE(BM_EmitInt, sigslot::single_threaded)->Arg(1)->Arg(8);
BENCHMARK_TEMPLATE(BM_EmitInt, sigslot::multi_threaded_local)->Arg(1)->Arg(8);

// A by-value text costs a copy per slot; by reference it costs nothing.
void BM_EmitText(benchmark::State& state) {
  Sink sink;
  sigslot::signal<std::string> by_value;
  sigslot::signal<std::string&> by_ref;
  by_value.connect(&sink, &Sink::OnText);
  by_ref.connect(&sink, &Sink::OnTextRef);
  std::string text(state.range(0), 'x');
  const bool use_ref = state.range(1) != 0;
  for (auto _ : state) {
    if (use_ref) {
      by_ref(text);
    } else {
      by_value(text);
    }
  }
}
BENCHMARK(BM_EmitText)->Args({1000, 0})->Args({1000, 1});

}  // namespace
