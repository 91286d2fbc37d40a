// How long a queue takes to load N pending spec files: reading, checking, the duplicate test,
// the move into the queue folder and the synced "queued" stamp of each file. Every file names
// another command, so each one is checked against a growing queue.
#include <benchmark/benchmark.h>

#include <fstream>
#include <set>
#include <string>

#include "JobQueue.h"
#include "bus/Logger.h"
#include "testsupport/TempDir.h"

namespace Zelcor {
namespace {

void BM_LoadSpecFiles(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const int ceiling = ZelcorCorelib::getLevelCeiling();
  ZelcorCorelib::setLevelCeiling(ZelcorCorelib::kLogWarning);
  for (auto _ : state) {
    state.PauseTiming();
    ZelcorCorelib::test::TempDir temp("zelcor-bench-queue");
    const std::string pending = temp.str() + "/pending";
    const std::string queued = temp.str() + "/queued";
    std::filesystem::create_directories(pending);
    std::set<std::string> files;
    for (int i = 0; i < count; ++i) {
      const std::string path = pending + "/job" + std::to_string(i) + ".spec";
      std::ofstream(path, std::ios::binary)
          << "executable=/bin/true\narguments=--run " << i << "\ncreated=" << i;
      files.insert(path);
    }
    JobQueue queue;
    queue.setName("queue_normal");
    state.ResumeTiming();
    queue.load(files, queued, 1);
    state.PauseTiming();
    if (queue.getJobCount() != static_cast<std::size_t>(count)) {
      state.SkipWithError("not every spec file was queued");
    }
    state.ResumeTiming();
  }
  ZelcorCorelib::setLevelCeiling(ceiling);
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadSpecFiles)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
}  // namespace Zelcor
BENCHMARK_MAIN();
