// Choosing the hint of a failed `aws` run from the largest standard error a
// run can leave (`kMaxToolOutputLen`), through `classify_failure` so that the
// real tables are timed. The call holds the interpreter lock, so it should
// cost a few plain passes over the text, whatever the names and however often
// they occur; the last two cases are such plain passes, for scale.
//   build/providers/common/bench/zantu_hint_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "zantu/core/secret.hpp"
#include "zantu/core/utf8.hpp"
#include "zantu/providers/aws/aws.hpp"
#include "zantu/providers/common/tool.hpp"

namespace {

using zantu::providers::aws::AwsRef;
using zantu::providers::common::kMaxToolOutputLen;

// As many whole copies of `piece` as `kMaxToolOutputLen` bytes hold.
std::string filled_with(std::string_view piece) {
  std::string text;
  text.reserve(kMaxToolOutputLen);
  while (text.size() + piece.size() <= kMaxToolOutputLen) text += piece;
  return text;
}

// A secret name of 512 bytes made of one of the tool's own words.
std::string name_of_patterns() {
  std::string name = "forbidden";
  while (name.size() + 10 <= 512) name += "/forbidden";
  name.resize(512, '/');
  return name;
}

// Every case is built so that no match counts: the whole text is looked at.
void classify(benchmark::State& state, const AwsRef& ref, const std::string& err) {
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(err.data()), err.size());
  for (auto _ : state) {
    auto got = zantu::providers::aws::classify_failure(ref, 255, bytes);
    if (!got.detail().starts_with("aws-sm: the `aws` invocation failed")) state.SkipWithError("a hint was chosen");
    benchmark::DoNotOptimize(got);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * err.size()));
}

// The region and the secret name at nearly every byte, never alone.
void BM_NamesEverywhere(benchmark::State& state) { classify(state, {"e", "ee"}, filled_with("e")); }
BENCHMARK(BM_NamesEverywhere)->Unit(benchmark::kMillisecond);

// The same size with none of the names in it.
void BM_NoNames(benchmark::State& state) { classify(state, {"e", "ee"}, filled_with("x")); }
BENCHMARK(BM_NoNames)->Unit(benchmark::kMillisecond);

// A name of 512 bytes that holds a pattern 51 times, standing alone all
// through the text: every match lies inside it and is passed over.
void BM_LongNameOfPatterns(benchmark::State& state) {
  const std::string name = name_of_patterns();
  classify(state, {"eu-west-1", name}, filled_with(name + " "));
}
BENCHMARK(BM_LongNameOfPatterns)->Unit(benchmark::kMillisecond);

// A region that holds a pattern, all through the text but never alone, each
// time inside the secret name, which stands alone: the region's places are
// searched to the end, and every match lies inside the secret name.
void BM_NameHoldingAPatternNeverAlone(benchmark::State& state) {
  classify(state, {"xforbidden", "axforbidden"}, filled_with("axforbidden "));
}
BENCHMARK(BM_NameHoldingAPatternNeverAlone)->Unit(benchmark::kMillisecond);

// For scale: the lowered copy the call starts with.
void BM_LoweredCopy(benchmark::State& state) {
  const std::string err = filled_with("x");
  for (auto _ : state) {
    zantu::core::SecretBuffer lowered(err);
    std::ranges::transform(std::span(lowered.data(), lowered.size()), lowered.data(),
                           [](std::uint8_t b) {
                             return static_cast<std::uint8_t>(zantu::core::utf8::ascii_lower(static_cast<char>(b)));
                           });
    benchmark::DoNotOptimize(lowered.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * err.size()));
}
BENCHMARK(BM_LoweredCopy)->Unit(benchmark::kMillisecond);

// For scale: one memmem(3) search for a pattern that is not there.
void BM_OneFind(benchmark::State& state) {
  const std::string err = filled_with("x");
  const std::string_view absent = "getaddrinfo";
  for (auto _ : state) {
    benchmark::DoNotOptimize(::memmem(err.data(), err.size(), absent.data(), absent.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * err.size()));
}
BENCHMARK(BM_OneFind)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
