// Start-up recovery after crashes that hit awkward moments: a job re-attached by one start-up
// whose scheduler dies again while the job still runs (its spec file lies in the queue folder),
// and a start cut short after the process began but before its pid reached the spec file.
// Either job would otherwise be started a second time while its first run goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
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

using test::specNames;
using test::unixNow;
using test::valueOf;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::testing::waitFor;

class RecoveryRepeatedCrashTest : public test::RecoveryFolders {
 protected:
  RecoveryRepeatedCrashTest() : RecoveryFolders("recovery-repeated") {}

  // A job process as a scheduler that is gone now left it: started, not recorded anywhere.
  ChildProcess::Pointer startHeld(const std::string& tag) {
    holds.hold(tag);
    ChildProcess::Pointer process = createChildProcess(holds.getPath(), tag, false, true);
    EXPECT_TRUE(process->run());
    EXPECT_TRUE(waitFor([&] { return holds.starts(tag) == 1; }));
    return process;
  }
  std::vector<std::string> runningTags(QueueController& controller) {
    std::vector<std::string> tags;
    for (const Job* job : controller.getRunningJobs()) tags.push_back(job->getArguments());
    std::sort(tags.begin(), tags.end());
    return tags;
  }
};

TEST_F(RecoveryRepeatedCrashTest, AJobLeftInItsQueueFolderWithALivePidIsReattachedNotRestarted) {
  ChildProcess::Pointer a = startHeld("a");
  const std::string pid = std::to_string(a->getPid());
  std::filesystem::create_directories(normalQueue);
  // As a start-up that re-attached job a leaves it: the file stays in the queue folder.
  writeRaw(normalQueue + "/a.spec", holds.spec("a", "\nstarted=" + unixNow() + "\npid=" + pid));
  writeRaw(normalQueue + "/b.spec", holds.spec("b"));

  CorePool pool;
  pool.setCores(1);
  auto controller = scheduler(pool);
  controller->recover();
  EXPECT_EQ(runningTags(*controller), std::vector<std::string>{"a"});
  EXPECT_EQ(pool.getAvailableCores(), 0u);
  controller->runOnce();
  EXPECT_EQ(holds.starts("a"), 1u);
  EXPECT_EQ(holds.starts("b"), 0u);

  holds.release("a");
  holds.release("b");
  drain(*controller);
  EXPECT_EQ(holds.starts("a"), 1u);
  EXPECT_EQ(holds.starts("b"), 1u);
  EXPECT_EQ(valueOf(finished + "/a.spec", "pid"), pid);
  EXPECT_EQ(valueOf(finished + "/a.spec", "exit-status"), "-1");
  EXPECT_EQ(pool.getAvailableCores(), 1u);
}

TEST_F(RecoveryRepeatedCrashTest, AProcessWhosePidWasNeverRecordedIsAdoptedByItsArguments) {
  ChildProcess::Pointer c = startHeld("c");
  ChildProcess::Pointer d = startHeld("d");
  ChildProcess::Pointer other = startHeld("other");
  // c: cut short in the running folder; d: in the queue folder, with the pid of an earlier
  // run that has ended.
  writeRaw(running + "/c.spec", holds.spec("c", "\nstarted=" + unixNow()));
  std::filesystem::create_directories(normalQueue);
  writeRaw(normalQueue + "/d.spec", holds.spec("d", "\nstarted=" + unixNow() + "\npid=999999"));
  // e: no process runs its arguments (only "other" runs the same script).
  writeRaw(running + "/e.spec", holds.spec("e", "\nstarted=" + unixNow()));
  // f: a process with its arguments runs, but began a minute before the job's start.
  writeRaw(running + "/f.spec", holds.spec("other", "\nstarted=" + unixNow(60)));

  CorePool pool;
  pool.setCores(8);
  auto controller = scheduler(pool);
  controller->recover();
  EXPECT_EQ(runningTags(*controller), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(pool.getAvailableCores(), 6u);
  // Recorded now, so that the next start-up re-attaches it the ordinary way.
  EXPECT_EQ(valueOf(normalQueue + "/c.spec", "pid"), std::to_string(c->getPid()));
  EXPECT_EQ(valueOf(normalQueue + "/d.spec", "pid"), std::to_string(d->getPid()));

  controller->runOnce();
  EXPECT_TRUE(waitFor([&] { return holds.starts("e") == 1 && holds.starts("other") == 2; }));
  EXPECT_EQ(holds.starts("c"), 1u);
  EXPECT_EQ(holds.starts("d"), 1u);
  for (const char* tag : {"c", "d", "e", "other"}) holds.release(tag);
  drain(*controller);
  EXPECT_EQ(specNames(finished),
            (std::vector<std::string>{"c.spec", "d.spec", "e.spec", "f.spec"}));
  EXPECT_EQ(holds.starts("c"), 1u);
  EXPECT_EQ(holds.starts("d"), 1u);
  ASSERT_TRUE(waitFor([&] { return !c->poll() && !d->poll() && !other->poll(); }));
}

}  // namespace
}  // namespace Zelcor
