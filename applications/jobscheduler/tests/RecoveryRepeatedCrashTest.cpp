// Start-up recovery after crashes that hit awkward moments: a job re-attached by one start-up
// whose scheduler dies again while the job still runs (its spec file lies in the queue folder),
// and a scheduler that died while a supervisor it had just started was still starting.
// Either job would otherwise be started a second time while its first run goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QueueController.h"
#include "support/HoldScript.h"
#include "support/RecoveryFolders.h"
#include "support/SpecFiles.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using test::specNames;
using test::unixNow;
using test::valueOf;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::testing::waitFor;

class RecoveryRepeatedCrashTest : public test::RecoveryFolders {
 protected:
  RecoveryRepeatedCrashTest() : RecoveryFolders("recovery-repeated") {}

  std::vector<std::string> runningTags(QueueController& controller) {
    std::vector<std::string> tags;
    for (const Job* job : controller.getRunningJobs()) tags.push_back(job->getArguments());
    std::sort(tags.begin(), tags.end());
    return tags;
  }
};

TEST_F(RecoveryRepeatedCrashTest, AJobReattachedFromItsQueueFolderIsReattachedAgainNotRestarted) {
  writeRaw(pending + "/a.spec", holds.spec("a"));
  writeRaw(pending + "/b.spec", holds.spec("b"));
  {
    CorePool pool;
    auto first = scheduler(pool);
    first->runOnce();
    ASSERT_TRUE(waitFor([&] { return holds.starts("a") == 1; }));
  }
  // Each start-up finds job a alive through its supervisor; its file stays in the queue folder.
  for (int restart = 0; restart < 2; ++restart) {
    CorePool pool;
    auto again = scheduler(pool);
    again->recover();
    EXPECT_EQ(runningTags(*again), std::vector<std::string>{"a"}) << restart;
    EXPECT_EQ(specNames(normalQueue), (std::vector<std::string>{"a.spec", "b.spec"}));
  }

  CorePool pool;
  auto controller = scheduler(pool);
  controller->recover();
  EXPECT_EQ(pool.getAvailableCores(), 0u);
  controller->runOnce();
  EXPECT_EQ(holds.starts("b"), 0u);
  holds.release("a");
  holds.release("b");
  drain(*controller);
  EXPECT_EQ(holds.starts("a"), 1u);
  EXPECT_EQ(holds.starts("b"), 1u);
  EXPECT_EQ(valueOf(finished + "/a.spec", "exit-status"), "0");
  EXPECT_EQ(pool.getAvailableCores(), 1u);
}

TEST_F(RecoveryRepeatedCrashTest, ASupervisorStillStartingIsWaitedForNotRaced) {
  // As a scheduler that died right after it started a supervisor leaves things: the record
  // written ahead and locked (the supervisor holds it), no launch in it yet.
  fs::create_directories(normalQueue);
  writeRaw(normalQueue + "/s.spec", holds.spec("s", "\nrun-id=r-starting"));
  RunRecord intent;
  intent.runId = "r-starting";
  intent.spec = "s.spec";
  intent.program = holds.getPath();
  int error = 0;
  ZelcorCorelib::platform::Handle held = records->begin(intent, error);
  ASSERT_TRUE(held.valid()) << error;
  // It gives up without launching a moment later: the job never ran, so it runs now.
  std::thread supervisor([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.reset();
  });
  CorePool pool;
  auto controller = scheduler(pool);
  controller->recover();
  supervisor.join();
  EXPECT_TRUE(controller->getRunningJobs().empty());
  EXPECT_FALSE(fs::exists(runs + "/r-starting.run"));
  holds.release("s");
  drain(*controller);
  EXPECT_EQ(holds.starts("s"), 1u);
}

}  // namespace
}  // namespace Zelcor
