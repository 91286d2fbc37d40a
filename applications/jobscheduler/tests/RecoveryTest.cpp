#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "QueueController.h"
#include "platform/Threads.h"
#include "support/HoldScript.h"
#include "support/LogSink.h"
#include "support/RecoveryFolders.h"
#include "support/SpecFiles.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
namespace platform = ZelcorCorelib::platform;
using test::LogSink;
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
  // Its supervisor recorded how it ended, though no scheduler was its parent.
  EXPECT_EQ(valueOf(finished + "/a.spec", "exit-status"), "0");
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
  // Every record went with its job.
  EXPECT_TRUE(records->list().empty());
}

TEST_F(RecoveryTest, OnlyTheSchedulersOwnRecordsDecideWhatRunsAgain) {
  // A record as a supervisor leaves it; nobody holds its lock (the supervisor is gone).
  auto record = [&](const std::string& runId, const std::string& spec, bool launched,
                    const char* endReason, int status) {
    RunRecord run;
    run.runId = runId;
    run.spec = spec;
    run.queue = "queue_normal";
    run.program = holds.getPath();
    run.started = 1;
    run.bootId = "another-boot";
    run.supervisorPid = 999999;
    run.jobPid = 999999;
    run.launchedAt = 1;
    run.exitStatus = status;
    run.endReason = endReason != nullptr ? endReason : "";
    run.endedAt = 1700000000;
    std::string text = run.intentText();
    if (launched) text += run.launchText();
    if (endReason != nullptr) text += run.outcomeText();
    writeRaw(runs + "/" + runId + ".run", text);
  };
  // Ended while no scheduler watched (3, and killed by signal 9): finished, never run again.
  record("r-three", "three.spec", true, "exit", 3);
  writeRaw(running + "/three.spec", holds.spec("three", "\nrun-id=r-three"));
  record("r-nine", "nine.spec", true, "signal", 137);
  writeRaw(running + "/nine.spec", holds.spec("nine", "\nrun-id=r-nine"));
  // Stamped already, its move to finished cut short: finished as it is.
  record("r-stamped", "stamped.spec", true, "exit", 0);
  writeRaw(running + "/stamped.spec",
           holds.spec("stamped", "\nrun-id=r-stamped\nexit-status=0\nended=1700000000"));
  // Stopped by a shutdown, launched without an end (the machine went down), written ahead
  // but never launched, and no record at all: each runs again.
  record("r-shut", "shut.spec", true, "shutdown", 143);
  writeRaw(running + "/shut.spec", holds.spec("shut", "\nrun-id=r-shut"));
  record("r-lost", "lost.spec", true, nullptr, 0);
  writeRaw(running + "/lost.spec", holds.spec("lost", "\nrun-id=r-lost"));
  record("r-ahead", "ahead.spec", false, nullptr, 0);
  fs::create_directories(normalQueue);
  writeRaw(normalQueue + "/ahead.spec", holds.spec("ahead", "\nrun-id=r-ahead"));
  writeRaw(running + "/none.spec", holds.spec("none", "\nrun-id=r-none"));
  // Keys a client wrote decide nothing: not a pid of a live process, not a run id copied from
  // another job, not an exit status.
  const std::string livePid = std::to_string(platform::currentProcessId());
  writeRaw(running + "/old.spec", holds.spec("old", "\npid=" + livePid + "\nstarted=1"));
  writeRaw(pending + "/copy.spec",
           holds.spec("copy", "\nrun-id=r-three\nexit-status=0\npid=" + livePid));
  // A record no spec file names, left by a finish cut short after the move.
  record("r-orphan", "gone.spec", true, "exit", 0);

  CorePool pool;
  pool.setCores(8);
  auto controller = scheduler(pool);
  LogSink log({"QueueCtrl"});
  controller->recover();
  EXPECT_TRUE(controller->getRunningJobs().empty());
  EXPECT_EQ(pool.getAvailableCores(), 8u);
  EXPECT_FALSE(fs::exists(runs + "/r-orphan.run"));
  EXPECT_EQ(log.count("@jobscheduler.quectrl-recover.no-record"), 2u);  // none, old
  EXPECT_EQ(log.count("@jobscheduler.quectrl-recover.supervisor-gone"), 1u);
  EXPECT_EQ(log.count("@jobscheduler.quectrl-recover.shutdown"), 1u);
  EXPECT_TRUE(
      log.saw("ended with exit status % (%).}; | " + normalQueue + "/three.spec | 3 | exit"));

  for (const char* tag : {"shut", "lost", "ahead", "none", "old", "copy"}) holds.release(tag);
  drain(*controller);
  for (const char* tag : {"three", "nine", "stamped"}) {
    EXPECT_EQ(holds.starts(tag), 0u) << tag;
  }
  for (const char* tag : {"shut", "lost", "ahead", "none", "old", "copy"}) {
    EXPECT_EQ(holds.starts(tag), 1u) << tag;
  }
  EXPECT_EQ(valueOf(finished + "/three.spec", "exit-status"), "3");
  EXPECT_EQ(valueOf(finished + "/three.spec", "ended"), "1700000000");
  EXPECT_EQ(valueOf(finished + "/nine.spec", "exit-status"), "137");
  EXPECT_EQ(valueOf(finished + "/stamped.spec", "exit-status"), "0");
  for (const char* name : {"shut", "lost", "ahead", "none", "old", "copy"}) {
    const std::string spec = finished + "/" + name + ".spec";
    EXPECT_EQ(valueOf(spec, "exit-status"), "0") << name;
    EXPECT_NE(valueOf(spec, "run-id"), "r-three") << name;
    EXPECT_NE(valueOf(spec, "pid"), livePid) << name;
  }
  EXPECT_EQ(specNames(finished).size(), 9u);
  EXPECT_TRUE(records->list().empty());
  EXPECT_EQ(pool.getAvailableCores(), 8u);
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
