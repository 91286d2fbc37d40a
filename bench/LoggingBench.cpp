// What logging costs: a call below the level (the common case in hot code), and whole lines per
// second from Logger over the bus into the file logger, from one and from four threads.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>
#include <vector>

#include "bus/Logger.h"
#include "logging/FileLogger.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

void BM_DisabledLogCall(benchmark::State& state) {
  Logger log("bench");
  const int ceiling = getLevelCeiling();
  setLevelCeiling(kLogWarning);
  int value = 0;
  for (auto _ : state) {
    log.debug("Bench::run: value % of %", value, "disabled");
    benchmark::DoNotOptimize(++value);
  }
  setLevelCeiling(ceiling);
}
BENCHMARK(BM_DisabledLogCall);

void BM_LinesThroughBusToFile(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  constexpr int kLinesPerThread = 5000;
  test::TempDir temp("zelcor-bench");
  FileLogger fileLogger;
  fileLogger.setLevel(kLogDebug);
  fileLogger.enable(temp.str(), "bench");
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([t] {
        Logger log("bench" + std::to_string(t));  // broadcasts: the file logger hooks the bus
        for (int i = 0; i < kLinesPerThread; ++i) {
          log.debug("Bench::run: line % of thread % (%)", i, t, "some text");
        }
      });
    }
    for (auto& worker : workers) worker.join();
  }
  fileLogger.disable();
  state.SetItemsProcessed(state.iterations() * threads * kLinesPerThread);
}
BENCHMARK(BM_LinesThroughBusToFile)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ZelcorCorelib

BENCHMARK_MAIN();
