// Parsing a `.env.refs` text of N distinct variables, and of N variables whose
// last one repeats the first. The time per variable must stay flat as N grows:
// every call holds the interpreter lock while it parses.
#include <benchmark/benchmark.h>

#include <string>

#include "zantu/core/envrefs.hpp"

namespace {

std::string text_of(std::int64_t num_vars, bool repeat_first_at_end) {
  std::string text;
  for (std::int64_t i = 0; i < num_vars; ++i) {
    text += "VAR_" + std::to_string(i) + "=secret:dev/app/key" + std::to_string(i) + "\n";
  }
  if (repeat_first_at_end) text += "VAR_0=again\n";
  return text;
}

void BM_ParseDistinct(benchmark::State& state) {
  const std::string text = text_of(state.range(0), false);
  for (auto _ : state) {
    auto parsed = zantu::core::EnvRefs::parse(text);
    if (!parsed) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(parsed);
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseDistinct)->RangeMultiplier(4)->Range(1 << 8, 1 << 16)->Complexity()->Unit(benchmark::kMillisecond);

void BM_ParseDuplicateAtEnd(benchmark::State& state) {
  const std::string text = text_of(state.range(0), true);
  for (auto _ : state) {
    auto parsed = zantu::core::EnvRefs::parse(text);
    if (parsed) state.SkipWithError("duplicate not found");
    benchmark::DoNotOptimize(parsed);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseDuplicateAtEnd)->RangeMultiplier(4)->Range(1 << 8, 1 << 16)->Complexity()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
