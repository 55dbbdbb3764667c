// One child run of /bin/true with its output captured, from a small host and
// from hosts that hold (and have touched) more memory: the child is cloned
// without a copy of the host's memory, so the cost should not grow with it.
//   build/core/bench/zantu_child_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "zantu/core/child.hpp"

namespace {

using namespace zantu::core;

void BM_RunTrue(benchmark::State& state) {
  const std::size_t host_len = static_cast<std::size_t>(state.range(0)) << 20;
  std::unique_ptr<char[]> ballast(host_len > 0 ? new char[host_len] : nullptr);
  if (host_len > 0) std::memset(ballast.get(), 1, host_len);
  ChildCommand c;
  c.program = "/bin/true";
  for (auto _ : state) {
    auto got = child::run(c);
    if (!got || got->status != 0) state.SkipWithError("run failed");
    benchmark::DoNotOptimize(got);
  }
  state.SetLabel(std::to_string(state.range(0)) + " MiB host");
}
BENCHMARK(BM_RunTrue)->Arg(0)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
