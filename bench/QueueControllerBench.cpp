// Pass time and resident memory of the queue controller with many queued jobs in one queue.
// Usage: QueueControllerBench [jobs...] (default 1000 10000 100000). The folders live in
// /dev/shm when it exists, so that the synced "queued" stamps of the first pass do not measure
// the disk.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QueueController.h"
#include "bus/Logger.h"
#include "testsupport/TempDir.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static long rssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

static double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

static void measure(int n) {
  const fs::path base =
      fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  ZelcorCorelib::test::TempDir temp("zelcor-qcbench", base);
  const fs::path root = temp.path();
  for (const char* d : {"pending", "queued", "running", "finished"})
    fs::create_directories(root / d);
  const std::string program = (root / "job.sh").string();
  { std::ofstream(program) << "#!/bin/sh\nexit 0\n"; }
  fs::permissions(program, fs::perms::owner_all);
  for (int i = 0; i < n; ++i) {
    std::ofstream out(root / "pending" / ("job" + std::to_string(i) + ".spec"));
    out << "executable=" << program << "\narguments=--n " << i << "\ncreated=2024-01-01 10:00:00."
        << (i % 1000) << "\npriority-level=" << (i % 5);
  }
  std::atomic<std::uint8_t> quit{0};
  Zelcor::CorePool cores;
  cores.setCores(1);
  const long rssBefore = rssKb();
  {
    Zelcor::QueueController controller(&quit, cores);
    controller.setDirectories((root / "pending").string(), (root / "queued").string(),
                              (root / "running").string(), (root / "finished").string());
    std::string error;
    controller.setRunRecords(
        Zelcor::RunRecords::open((root / "work/runs").string(), JOBSCHEDULER_RUN_BINARY, error));
    if (!controller.getRunRecords()) std::fprintf(stderr, "%s\n", error.c_str());
    controller.initQueues();
    // All in one pass, to time the load as a whole (the loop takes a burst in in parts).
    controller.setIntakePerPass(static_cast<std::size_t>(n));
    controller.setRunFlags(Zelcor::QueueController::kRunFlagPaused);
    auto t0 = Clock::now();
    controller.runOnce();  // takes all n files in
    auto t1 = Clock::now();
    const long rssLoaded = rssKb();
    double idle = 1e9;
    for (int k = 0; k < 5; ++k) {
      auto a = Clock::now();
      controller.runOnce();
      idle = std::min(idle, ms(Clock::now() - a));
    }
    // Not paused, every core busy elsewhere: sort and scans, no start.
    controller.setRunFlags(0);
    cores.takeCore();
    double busy = 1e9;
    for (int k = 0; k < 5; ++k) {
      auto a = Clock::now();
      controller.runOnce();
      busy = std::min(busy, ms(Clock::now() - a));
    }
    cores.releaseCore();
    auto a = Clock::now();
    controller.runOnce();  // starts one job out of n
    const double starting = ms(Clock::now() - a);
    a = Clock::now();
    const std::string status = controller.getStatus();
    const double statusMs = ms(Clock::now() - a);
    std::printf(
        "%7d jobs: load %8.0f ms | pass paused %7.1f ms | pass no core %7.1f ms | "
        "pass starting one %7.1f ms | getStatus %7.1f ms (%zu bytes) | RSS +%ld KiB "
        "(%.2f KiB/job)\n",
        n, ms(t1 - t0), idle, busy, starting, statusMs, status.size(), rssLoaded - rssBefore,
        double(rssLoaded - rssBefore) / n);
  }
}

int main(int argc, char** argv) {
  ZelcorCorelib::setLevelCeiling(ZelcorCorelib::kLogWarning);
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::stoi(argv[i]));
  if (counts.empty()) counts = {1000, 10000, 100000};
  for (int n : counts) measure(n);
  return 0;
}
