#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
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

namespace fs = std::filesystem;
using test::specNames;
using test::unixNow;
using test::valueOf;
using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::testing::waitFor;

// Every spec file under root, at any depth.
std::size_t countSpecFiles(const std::string& root) {
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    count += entry.is_regular_file() && entry.path().extension() == ".spec";
  }
  return count;
}

class RecoveryTest : public test::RecoveryFolders {
 protected:
  RecoveryTest() : RecoveryFolders("recovery") {}
};

TEST_F(RecoveryTest, AKilledSchedulerLosesNoSpecFileAndRunsEveryJobOnce) {
  {
    CorePool pool;
    auto first = scheduler(pool);
    writeRaw(pending + "/a.spec", holds.spec("a", "\ncreated=1"));
    writeRaw(pending + "/b.spec", holds.spec("b", "\ncreated=2"));
    writeRaw(pending + "/c.spec", holds.spec("c", "\ncreated=3"));
    first->runOnce();
    ASSERT_EQ(specNames(running), std::vector<std::string>{"a.spec"});
    ASSERT_EQ(specNames(normalQueue), (std::vector<std::string>{"b.spec", "c.spec"}));
    // Once its trap is set, job a outlives the stop request of the destructor.
    ASSERT_TRUE(waitFor([&] { return holds.starts("a") == 1; }));
    // Gone as a crash would leave it: job a keeps running, no file moves.
  }
  ASSERT_EQ(holds.starts("a"), 1u);
  const std::size_t before = countSpecFiles(dir.str());
  ASSERT_EQ(before, 3u);

  CorePool pool;
  auto second = scheduler(pool);
  second->recover();
  EXPECT_EQ(countSpecFiles(dir.str()), before);
  EXPECT_EQ(specNames(normalQueue), (std::vector<std::string>{"a.spec", "b.spec", "c.spec"}));
  EXPECT_EQ(second->getQueues().front().getJobCount(), 3u);
  ASSERT_EQ(second->getRunningJobs().size(), 1u);
  EXPECT_EQ(second->getRunningJobs().front()->getArguments(), "a");
  EXPECT_EQ(pool.getAvailableCores(), 0u);

  // The re-attached job holds the only core; when it ends it is finished like any other.
  second->runOnce();
  EXPECT_EQ(holds.starts("b"), 0u);
  holds.release("a");
  ASSERT_TRUE(waitFor([&] { return second->getRunningJobs().empty(); }));
  second->runOnce();
  EXPECT_EQ(specNames(finished), std::vector<std::string>{"a.spec"});
  EXPECT_NE(valueOf(finished + "/a.spec", "ended"), "<missing>");
  EXPECT_EQ(valueOf(finished + "/a.spec", "exit-status"), "-1");
  EXPECT_TRUE(waitFor([&] { return holds.starts("b") == 1; }));

  holds.release("b");
  holds.release("c");
  drain(*second);
  EXPECT_EQ(specNames(finished), (std::vector<std::string>{"a.spec", "b.spec", "c.spec"}));
  EXPECT_EQ(countSpecFiles(dir.str()), before);
  EXPECT_EQ(holds.starts("a"), 1u);
  EXPECT_EQ(holds.starts("b"), 1u);
  EXPECT_EQ(holds.starts("c"), 1u);
  EXPECT_EQ(pool.getAvailableCores(), 1u);
}

TEST_F(RecoveryTest, ALivePidIsTakenOnlyWhenItRunsTheJobsProgramSinceItsStart) {
  // Processes that this test starts itself, standing in for what a pid may name after a
  // restart: the job's own program, the same program started later, and another program.
  ChildProcess::Pointer own = createChildProcess(holds.getPath(), "own", false, true);
  ChildProcess::Pointer later = createChildProcess(holds.getPath(), "later", false, true);
  ChildProcess::Pointer other = createChildProcess("/bin/sh", "-c \"sleep 30\"", false, true);
  holds.hold("own");
  holds.hold("later");
  ASSERT_TRUE(own->run());
  ASSERT_TRUE(later->run());
  ASSERT_TRUE(other->run());
  ASSERT_TRUE(waitFor([&] { return holds.starts("own") == 1 && holds.starts("later") == 1; }));

  const std::string pidOf[] = {std::to_string(own->getPid()), std::to_string(later->getPid()),
                               std::to_string(other->getPid())};
  writeRaw(running + "/1-own.spec",
           holds.spec("own", "\nstarted=" + unixNow() + "\npid=" + pidOf[0]));
  // A pid that started a minute after the job did is a later process of the same program.
  writeRaw(running + "/2-later.spec",
           holds.spec("later", "\nstarted=" + unixNow(-60) + "\npid=" + pidOf[1]));
  writeRaw(running + "/3-other.spec",
           holds.spec("other", "\nstarted=" + unixNow() + "\npid=" + pidOf[2]));
  writeRaw(running + "/4-nopid.spec", holds.spec("nopid", "\nstarted=" + unixNow()));
  // An executable written with "." and ".." still names the same program.
  fs::create_directories(dir.file("sub"));
  const std::string dotted = dir.str() + "/./sub/../hold.sh";
  writeRaw(running + "/5-dotted.spec",
           "executable=" + dotted + "\narguments=own2\nstarted=" + unixNow() + "\npid=" + pidOf[0]);

  CorePool pool;
  pool.setCores(8);
  auto controller = scheduler(pool);
  controller->recover();
  std::vector<std::string> alive;
  for (const Job* job : controller->getRunningJobs()) alive.push_back(job->getArguments());
  EXPECT_EQ(alive, (std::vector<std::string>{"own", "own2"}));
  EXPECT_EQ(pool.getAvailableCores(), 6u);
  EXPECT_EQ(specNames(normalQueue).size(), 5u);
  EXPECT_TRUE(specNames(running).empty());
  EXPECT_EQ(controller->getRunningJobs().back()->getExecutable(), dir.str() + "/hold.sh");

  // The requeued ones run again from the start, ahead of every newer job.
  controller->runOnce();
  EXPECT_TRUE(waitFor([&] {
    return holds.starts("later") == 2 && holds.starts("other") == 1 && holds.starts("nopid") == 1;
  }));
  EXPECT_EQ(holds.starts("own"), 1u);
  EXPECT_EQ(specNames(running),
            (std::vector<std::string>{"2-later.spec", "3-other.spec", "4-nopid.spec"}));
  EXPECT_NE(valueOf(running + "/3-other.spec", "pid"), pidOf[2]);

  for (const char* tag : {"own", "later", "other", "nopid"}) holds.release(tag);
  other->requestStop();
  drain(*controller);
  EXPECT_EQ(specNames(finished).size(), 5u);
  EXPECT_EQ(pool.getAvailableCores(), 8u);
  ASSERT_TRUE(waitFor([&] { return !own->poll() && !later->poll() && !other->poll(); }));
}

TEST_F(RecoveryTest, QueuedJobsComeBackBehindRunningOnesAndNotWhileStopped) {
  fs::create_directories(normalQueue);
  writeRaw(normalQueue + "/q-high.spec", holds.spec("qhigh", "\npriority-level=very high"));
  writeRaw(running + "/r-low.spec", holds.spec("rlow", "\npriority-level=very low"));
  writeRaw(pending + "/p.spec", holds.spec("p", "\npriority-level=very high"));

  {
    CorePool pool;
    auto stopped = scheduler(pool);
    stopped->setRunFlags(QueueController::kRunFlagStopped);
    stopped->recover();
    EXPECT_EQ(stopped->getQueues().front().getJobCount(), 0u);
    EXPECT_EQ(specNames(running), std::vector<std::string>{"r-low.spec"});
  }

  CorePool pool;
  auto controller = scheduler(pool);
  controller->recover();
  controller->runOnce();
  EXPECT_TRUE(waitFor([&] { return holds.starts("rlow") == 1; }));
  EXPECT_EQ(holds.starts("qhigh"), 0u);
  EXPECT_EQ(controller->getQueues().front().getJobCount(), 3u);
  for (const char* tag : {"rlow", "qhigh", "p"}) holds.release(tag);
  drain(*controller);
  EXPECT_EQ(readRaw(holds.getRanFile()), "rlow\nqhigh\np\n");
}

TEST_F(RecoveryTest, AQuitRaisedBeforeTheFirstPassSkipsTheLoop) {
  writeRaw(running + "/r.spec", holds.spec("r"));
  writeRaw(pending + "/p.spec", holds.spec("p"));
  CorePool pool;
  auto controller = scheduler(pool);
  quit.store(1);
  EXPECT_TRUE(controller->run());
  EXPECT_EQ(specNames(normalQueue), std::vector<std::string>{"r.spec"});
  EXPECT_EQ(specNames(pending), std::vector<std::string>{"p.spec"});
  EXPECT_EQ(valueOf(normalQueue + "/r.spec", "started"), "<missing>");
  EXPECT_EQ(controller->getQueues().front().getJobCount(), 0u);
  EXPECT_EQ(countSpecFiles(dir.str()), 2u);
}

}  // namespace
}  // namespace Zelcor
