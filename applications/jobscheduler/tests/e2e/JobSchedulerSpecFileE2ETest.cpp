// Spec-file names that are no regular files while the real scheduler runs: a name swapped
// between a file and a FIFO as fast as a client can, links to secrets and to /dev/zero. The
// scheduler must never block on one, never read or write through a link, never run what a
// link leads to, and still run good jobs and end promptly on SIGTERM.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/RunningScheduler.h"
#include "support/SchedulerProcess.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ZelcorCorelib::testing::waitFor;

constexpr const char* kNotRegular = "@jobscheduler.load.spec-not-regular{Spec file \"";

class JobSchedulerSpecFile : public RunningSchedulerTest {
 protected:
  JobSchedulerSpecFile() : RunningSchedulerTest("spec-file") {}
  void expectPromptCleanExit() {
    const auto before = Clock::now();
    ASSERT_TRUE(scheduler->signal("TERM"));
    EXPECT_EQ(scheduler->waitForExit(std::chrono::seconds(10)), 0) << log().substr(0, 20'000);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
  }
};

TEST_F(JobSchedulerSpecFile, ANameSwappedBetweenFileAndFifoNeverStallsTheLoop) {
  // Not a job as a file (no executable), a trap as a FIFO: either way it must stay put.
  const std::vector<fs::path> folders = {pending(), sandbox->jobFolder("queues/queue_fast")};
  for (const fs::path& folder : folders) fs::create_directories(folder);
  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  // Many names, each a regular file half of the time: a reader that checks a name and then
  // opens it has many chances per pass to open a FIFO and hang.
  constexpr int kNames = 16;
  auto at = [&](int n, const std::string& form) {
    return folders[n % 2] / (form == "spec" ? "swap" + std::to_string(n) + ".spec"
                                            : ".swap" + std::to_string(n) + "." + form);
  };
  std::thread swapper([&] {
    std::error_code error;
    while (!stop) {
      for (int n = 0; n < kNames; ++n) writeText(at(n, "file"), "arguments=not a job\n");
      for (int n = 0; n < kNames; ++n) fs::rename(at(n, "file"), at(n, "spec"), error);
      for (int n = 0; n < kNames; ++n) ::mkfifo(at(n, "fifo").c_str(), 0600);
      for (int n = 0; n < kNames; ++n) fs::rename(at(n, "fifo"), at(n, "spec"), error);
      ++swaps;
    }
  });
  for (const char* name : {"during-1", "during-2", "during-3"}) expectGoodJobRuns(name);
  const Outcome status =
      runJsctl(*sandbox, {"--port", std::to_string(sandbox->getPort()), "status"});
  EXPECT_EQ(status.exitCode, 0) << status.error;
  // Passes come on every swap's events: the loop must also have faced many of them.
  EXPECT_TRUE(waitFor([&] { return swaps.load() > 10; }, kJobDeadline));
  stop = true;
  swapper.join();
  ASSERT_TRUE(scheduler->isRunning());
  expectPromptCleanExit();
}

TEST_F(JobSchedulerSpecFile, LinksAreNeverFollowedRunOrWrittenThrough) {
  const fs::path marker = sandbox->path("secret-ran");
  const fs::path secret = sandbox->path("secret.conf");
  const fs::path program = sandbox->path("secret.sh");
  writeText(program, "#!/bin/sh\ntouch '" + marker.string() + "'\n");
  fs::permissions(program, fs::perms::owner_all);
  const std::string secretText =
      "# root only\nexecutable=" + program.string() + "\nqueue=queue_fast\npassword=hunter2\n";
  writeText(secret, secretText);
  fs::create_symlink(secret, pending() / "x.spec");
  fs::create_symlink("/dev/zero", pending() / "zero.spec");

  expectGoodJobRuns("after-links");
  expectGoodJobRuns("later");
  EXPECT_FALSE(fs::exists(marker)) << "the job behind the link ran";
  EXPECT_EQ(readText(secret), secretText);
  EXPECT_TRUE(fs::is_symlink(pending() / "x.spec"));
  EXPECT_TRUE(fs::is_symlink(pending() / "zero.spec"));
  const long peak = peakMemoryKb(scheduler->getPid());
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, kMemoryLimitKb) << "peak resident memory of the scheduler in kB";
  const std::string text = log();
  for (const char* name : {"x.spec", "zero.spec"}) {
    EXPECT_EQ(occurrences(text, kNotRegular + (pending() / name).string() + "\""), 1u) << name;
  }
  expectPromptCleanExit();
}

}  // namespace
}  // namespace Zelcor::e2e
