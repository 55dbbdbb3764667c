// Masking throughput on 100 MB of captured output, next to the floor set by
// copying the same bytes and by one plain memmem(3) scan over them.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "zantu/core/secret.hpp"
#include "zantu/wrapper/sanitize.hpp"

namespace {

constexpr std::size_t kTextLen = 100 * 1000 * 1000;
constexpr int kNumValues = 20;
constexpr int kOccurrencesPerValue = 50;

struct Fixture {
  std::string text;
  std::vector<std::string> values;
  std::vector<std::span<const std::uint8_t>> views;
};

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Log-like text (letters, digits, punctuation, spaces, line breaks) with each
// value planted a few times, and values of 16 to 40 token characters.
const Fixture& fixture() {
  static const Fixture f = [] {
    Fixture f;
    std::mt19937_64 rng(7);
    const std::string text_chars = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 =:,.-_/\n";
    const std::string value_chars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/";
    f.text.resize(kTextLen);
    for (auto& c : f.text) c = text_chars[rng() % text_chars.size()];
    for (int i = 0; i < kNumValues; ++i) {
      std::string v(16 + rng() % 25, 'x');
      for (auto& c : v) c = value_chars[rng() % value_chars.size()];
      for (int k = 0; k < kOccurrencesPerValue; ++k) f.text.replace(rng() % (kTextLen - v.size()), v.size(), v);
      f.values.push_back(std::move(v));
    }
    for (const auto& v : f.values) f.views.push_back(bytes_of(v));
    return f;
  }();
  return f;
}

void Baseline_CopyIntoSecretBuffer(benchmark::State& state) {
  const auto& f = fixture();
  for (auto _ : state) {
    zantu::core::SecretBuffer out;
    out.reserve(f.text.size());
    out.append(bytes_of(f.text));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.text.size()));
}

void Baseline_OneMemmemScan(benchmark::State& state) {
  const auto& f = fixture();
  const std::string absent = "Zq9+/absentNEEDLEvalue";
  for (auto _ : state) {
    benchmark::DoNotOptimize(::memmem(f.text.data(), f.text.size(), absent.data(), absent.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.text.size()));
}

void MaskSecrets(benchmark::State& state) {
  const auto& f = fixture();
  const auto num_values = static_cast<std::size_t>(state.range(0));
  const std::span<const std::span<const std::uint8_t>> values(f.views.data(), num_values);
  for (auto _ : state) {
    auto out = zantu::wrapper::sanitize::mask_secrets(bytes_of(f.text), values);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.text.size()));
  // Text bytes times values: the figure to hold against 1 GB/s per value.
  state.counters["value_bytes_per_second"] = benchmark::Counter(
      static_cast<double>(f.text.size() * num_values), benchmark::Counter::kIsIterationInvariantRate,
      benchmark::Counter::kIs1000);
}

BENCHMARK(Baseline_CopyIntoSecretBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(Baseline_OneMemmemScan)->Unit(benchmark::kMillisecond);
BENCHMARK(MaskSecrets)->Arg(1)->Arg(kNumValues)->Unit(benchmark::kMillisecond);

}  // namespace
