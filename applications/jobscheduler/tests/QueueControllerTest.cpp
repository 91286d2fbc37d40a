#include "QueueController.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files/KeyValueFile.h"
#include "support/HoldScript.h"
#include "support/JobFolders.h"
#include "support/LogSink.h"
#include "support/SpecFiles.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using test::LogSink;
using test::specNames;
using test::valueOf;
using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;

bool hasKey(const std::string& path, const std::string& key) {
  ZelcorCorelib::KeyValueMap spec;
  return ZelcorCorelib::readKeyValueFile(path, spec) && spec.count(key) != 0;
}

// Four job folders, a pool of its own and a script that holds while its hold file exists.
class QueueControllerTest : public test::JobFolders {
 protected:
  QueueControllerTest() : JobFolders("queuectrl") { giveFoldersTo(controller); }

  JobQueue makeQueue(const std::string& name, std::uint32_t maxCores, std::int32_t level) {
    JobQueue queue;
    queue.setName(name);
    queue.setAckState(0);
    queue.setMaxCores(maxCores);
    queue.setPriorityLevel(level);
    return queue;
  }
  // A pending spec file for the hold script with argument tag, held until release(tag).
  std::string holdJob(const std::string& name, const std::string& tag,
                      const std::string& extra = "") {
    const std::string path = pending + "/" + name;
    writeRaw(path, holds.spec(tag, extra));
    return path;
  }
  void release(const std::string& tag) { holds.release(tag); }
  std::string queueDir(const std::string& name) const { return queued + "/" + name; }

  const test::HoldScript holds{dir, test::HoldScript::OnStop::end};
  std::atomic<std::uint8_t> quit{0};
  CorePool cores;
  QueueController controller{&quit, cores};
};

TEST_F(QueueControllerTest, QueuesAreSortedByLevelDuplicatesRefusedDefaultAdded) {
  LogSink log({"QueueCtrl"});
  controller.addQueue(makeQueue("low", 0, 1));
  controller.addQueue(makeQueue("top", 3, 4));
  controller.addQueue(makeQueue("low2", 0, 1));
  controller.addQueue(makeQueue("low", 7, 9));
  EXPECT_TRUE(controller.initQueues());

  std::vector<std::string> order;
  for (const JobQueue& queue : controller.getQueues()) order.push_back(queue.getName());
  EXPECT_EQ(order, (std::vector<std::string>{"top", "queue_normal", "low", "low2"}));
  EXPECT_EQ(controller.getQueues().front().getMaxCores(), 3u);
  EXPECT_EQ(log.count("@jobscheduler.add-queue.queue-duplicate"), 1u);
  EXPECT_EQ(log.count("Added queue: % max-cores: % priority-level: % | low | 7 | 9"), 1u);
  EXPECT_EQ(log.count("@jobscheduler.init-queue.queues-missing"), 1u);
  for (const std::string& name : order) EXPECT_TRUE(fs::is_directory(queueDir(name))) << name;
  EXPECT_TRUE(controller.hasQueue("top"));
  EXPECT_FALSE(controller.hasQueue("Top"));

  // A configured default queue is kept as it is.
  QueueController other(&quit, cores);
  other.setDirectories(pending, queued, running, finished);
  other.addQueue(makeQueue("queue_normal", 5, 0));
  other.initQueues();
  ASSERT_EQ(other.getQueues().size(), 1u);
  EXPECT_EQ(other.getQueues().front().getMaxCores(), 5u);
}

TEST_F(QueueControllerTest, SpecFilesAreListedFlatSortedAndByPattern) {
  for (const char* name : {"b.spec", "a.spec", "c.spec.bak", "spec", ".spec"}) {
    writeRaw(pending + "/" + name, "");
  }
  fs::create_directories(pending + "/sub.spec");
  fs::create_directories(pending + "/deep");
  writeRaw(pending + "/deep/d.spec", "");
  // A FIFO would block the reader for ever.
  ASSERT_EQ(std::system(("mkfifo '" + pending + "/fifo.spec'").c_str()), 0);
  EXPECT_EQ(controller.getJobSpecFiles(pending),
            (std::set<std::string>{".spec", "a.spec", "b.spec"}));
  EXPECT_TRUE(controller.getJobSpecFiles(dir.file("missing")).empty());
}

TEST_F(QueueControllerTest, PausedFilesJobsByQueueKeyStoppedLeavesThemPending) {
  controller.addQueue(makeQueue("night", 0, 3));
  controller.initQueues();
  holdJob("a-named.spec", "a", "\nqueue=night");
  holdJob("b-unknown.spec", "b", "\nqueue=nosuch");
  holdJob("c-none.spec", "c");
  holdJob("d-empty.spec", "d", "\nqueue=");
  holdJob("e-case.spec", "e", "\nqueue=Night");
  holdJob("f-first-wins.spec", "f", "\nqueue=night\nqueue=nosuch");

  controller.setRunFlags(QueueController::kRunFlagStopped);
  ASSERT_TRUE(controller.runOnce());
  EXPECT_EQ(specNames(pending).size(), 6u);
  EXPECT_TRUE(controller.allQueuesInState(1));

  controller.setRunFlags(QueueController::kRunFlagPaused);
  ASSERT_TRUE(controller.runOnce());
  EXPECT_TRUE(specNames(pending).empty());
  EXPECT_EQ(specNames(queueDir("night")),
            (std::vector<std::string>{"a-named.spec", "f-first-wins.spec"}));
  EXPECT_EQ(
      specNames(queueDir("queue_normal")),
      (std::vector<std::string>{"b-unknown.spec", "c-none.spec", "d-empty.spec", "e-case.spec"}));
  EXPECT_TRUE(hasKey(queueDir("night") + "/a-named.spec", "queued"));
  EXPECT_FALSE(hasKey(queueDir("night") + "/a-named.spec", "started"));
  EXPECT_TRUE(controller.getRunningJobs().empty());
  EXPECT_TRUE(controller.allQueuesInState(2));
  EXPECT_EQ(cores.getAvailableCores(), 1u);

  // Paused and stopped together: still paused, and nothing is taken in.
  holdJob("g.spec", "g");
  controller.setRunFlags(QueueController::kRunFlagPaused | QueueController::kRunFlagStopped);
  controller.runOnce();
  EXPECT_EQ(specNames(pending), std::vector<std::string>{"g.spec"});
  EXPECT_TRUE(controller.allQueuesInState(2));
}

TEST_F(QueueControllerTest, ABurstIsTakenInOverPassesEachCommittingItsStampsAsAGroup) {
  controller.initQueues();
  // Passes of 20 commit as a group; the last, of 5, file by file.
  controller.setIntakePerPass(20);
  static_assert(JobQueue::kGroupCommitFiles <= 20 && JobQueue::kGroupCommitFiles > 5);
  for (int i = 0; i < 45; ++i) holdJob("f" + std::to_string(100 + i) + ".spec", std::to_string(i));
  // One file already carries a key of the scheduler's: it is rewritten, the rest appended to.
  writeRaw(pending + "/f100.spec", holds.spec("0", "\nrun-id=forged"));
  controller.setRunFlags(QueueController::kRunFlagPaused);
  const std::vector<std::size_t> expected = {20, 40, 45};
  for (std::size_t queuedNow : expected) {
    ASSERT_TRUE(controller.runOnce());
    EXPECT_EQ(specNames(queueDir("queue_normal")).size(), queuedNow);
    EXPECT_EQ(specNames(pending).size(), 45 - queuedNow);
  }
  for (const std::string& name : specNames(queueDir("queue_normal"))) {
    const std::string path = queueDir("queue_normal") + "/" + name;
    EXPECT_TRUE(hasKey(path, "queued")) << name;
    EXPECT_FALSE(hasKey(path, "run-id")) << name;
  }
  // Nothing of the group commits is left behind in the folder.
  EXPECT_EQ(
      std::distance(fs::directory_iterator(queueDir("queue_normal")), fs::directory_iterator()),
      45);
  // Without events every pass takes the whole folder, as it always did.
  controller.setWakeOnEvents(false);
  for (int i = 0; i < 25; ++i)
    holdJob("g" + std::to_string(100 + i) + ".spec", "g" + std::to_string(i));
  ASSERT_TRUE(controller.runOnce());
  EXPECT_TRUE(specNames(pending).empty());
}

TEST_F(QueueControllerTest, QueueLimitAndCoresShareOnePassByQueueLevel) {
  cores.setCores(2);
  controller.addQueue(makeQueue("B", 0, 1));
  controller.addQueue(makeQueue("A", 1, 5));
  controller.initQueues();
  for (const char* tag : {"a1", "a2", "a3"}) {
    holdJob(std::string(tag) + ".spec", tag, "\nqueue=A");
  }
  for (const char* tag : {"b1", "b2", "b3"}) {
    holdJob(std::string(tag) + ".spec", tag, "\nqueue=B");
  }
  ASSERT_TRUE(controller.runOnce());

  EXPECT_EQ(specNames(running), (std::vector<std::string>{"a1.spec", "b1.spec"}));
  EXPECT_EQ(specNames(queueDir("A")), (std::vector<std::string>{"a2.spec", "a3.spec"}));
  EXPECT_EQ(specNames(queueDir("B")), (std::vector<std::string>{"b2.spec", "b3.spec"}));
  EXPECT_EQ(cores.getAvailableCores(), 0u);
  EXPECT_EQ(controller.getRunningJobs().size(), 2u);
  EXPECT_TRUE(hasKey(running + "/a1.spec", "pid"));
  EXPECT_TRUE(hasKey(running + "/a1.spec", "started"));

  // A's limit holds even with a core free again: the free core goes to B.
  release("b1");
  ASSERT_TRUE(waitFor([&] { return controller.getRunningJobs().size() == 1; }));
  controller.runOnce();
  EXPECT_EQ(specNames(finished), std::vector<std::string>{"b1.spec"});
  EXPECT_TRUE(hasKey(finished + "/b1.spec", "ended"));
  EXPECT_EQ(readRaw(finished + "/b1.spec").find("exit-status=0") != std::string::npos, true);
  EXPECT_EQ(specNames(running), (std::vector<std::string>{"a1.spec", "b2.spec"}));
  EXPECT_EQ(cores.getAvailableCores(), 0u);
  for (const char* tag : {"a1", "a2", "a3", "b2", "b3"}) release(tag);
}

TEST_F(QueueControllerTest, LaunchesLeftToLaterPassesAreCompletedByTheFirstThatHearsOfThem) {
  cores.setCores(2);
  controller.initQueues();
  controller.setLaunchesAcrossPasses(true);
  holdJob("held.spec", "held");
  writeRaw(pending + "/quick.spec", "executable=" + writeScript(dir, "quick.sh", "exit 3"));
  ASSERT_TRUE(controller.runOnce());
  // Both supervisors run; the pass did not wait for either's word.
  EXPECT_EQ(cores.getAvailableCores(), 0u);
  EXPECT_EQ(specNames(queueDir("queue_normal")),
            (std::vector<std::string>{"held.spec", "quick.spec"}));
  EXPECT_TRUE(specNames(running).empty());

  // The quick job may well end before a pass hears of its launch: it is still stamped with
  // its pid and goes by way of running, like any other.
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return specNames(finished) == std::vector<std::string>{"quick.spec"} &&
           specNames(running) == std::vector<std::string>{"held.spec"};
  }));
  EXPECT_EQ(valueOf(finished + "/quick.spec", "exit-status"), "3");
  EXPECT_NE(valueOf(finished + "/quick.spec", "pid"), "<missing>");
  EXPECT_NE(valueOf(running + "/held.spec", "pid"), "<missing>");
  EXPECT_EQ(cores.getAvailableCores(), 1u);

  // A quit right after a pass completes the launch no pass heard of before it stops the job.
  holdJob("late.spec", "late");
  ASSERT_TRUE(controller.runOnce());
  EXPECT_EQ(specNames(queueDir("queue_normal")), std::vector<std::string>{"late.spec"});
  EXPECT_TRUE(controller.quit());
  EXPECT_EQ(specNames(running), (std::vector<std::string>{"held.spec", "late.spec"}));
  EXPECT_NE(valueOf(running + "/late.spec", "pid"), "<missing>");
  release("held");
  release("late");
}

// Every finished spec says why its job ended; a time limit is kept by the supervisor, and a
// limit that is no duration keeps the file from being a job at all.
TEST_F(QueueControllerTest, FinishedJobsSayWhyTheyEndedAndTimeLimitsAreKept) {
  cores.setCores(3);
  controller.initQueues();
  records->setKillGrace(std::chrono::milliseconds(200));
  const std::string sleeper = writeScript(dir, "sleeper.sh", "exec sleep 30");
  const std::string stubborn =
      writeScript(dir, "stubborn.sh", "trap '' TERM\nwhile :; do sleep 0.05; done");
  writeRaw(pending + "/limited.spec", "executable=" + sleeper + "\ntime-limit=0.4s");
  writeRaw(pending + "/stubborn.spec", "executable=" + stubborn + "\ntime-limit=PT0.4S");
  writeRaw(pending + "/quick.spec",
           "executable=" + writeScript(dir, "quick.sh", "exit 4") + "\nend-reason=forged");
  LogSink log({"JobQueue"});
  for (const char* bad : {"soon", "0s", "10", "1h30", "P1M"}) {
    writeRaw(pending + "/bad-" + std::string(bad) + ".spec",
             "executable=" + sleeper + "\ntime-limit=" + bad);
  }
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return specNames(finished).size() == 3;
  }));
  EXPECT_EQ(valueOf(finished + "/limited.spec", "end-reason"), "time-limit");
  EXPECT_EQ(valueOf(finished + "/limited.spec", "exit-status"), std::to_string(128 + SIGTERM));
  EXPECT_EQ(valueOf(finished + "/stubborn.spec", "end-reason"), "time-limit");
  EXPECT_EQ(valueOf(finished + "/stubborn.spec", "exit-status"), std::to_string(128 + SIGKILL));
  EXPECT_EQ(valueOf(finished + "/quick.spec", "end-reason"), "exit");
  EXPECT_EQ(valueOf(finished + "/quick.spec", "exit-status"), "4");
  EXPECT_EQ(cores.getAvailableCores(), 3u);
  // Refused, each with one line naming it and the key; left where it was.
  EXPECT_EQ(specNames(pending).size(), 5u);
  EXPECT_EQ(log.count("@jobscheduler.load.spec-refused"), 5u);
  EXPECT_TRUE(log.saw("its time-limit \"1h30\" is no duration greater than zero"));
}

// A cancel is answered by the next pass: a queued job never starts, a running one that
// ignores SIGTERM is killed after the grace time, and its core comes back.
TEST_F(QueueControllerTest, CancelFilesAQueuedJobAsFinishedAndEndsARunningOne) {
  cores.setCores(1);
  controller.initQueues();
  records->setKillGrace(std::chrono::milliseconds(300));
  const std::string ready = dir.file("ready");
  writeRaw(pending + "/deaf.spec",
           "executable=" +
               writeScript(dir, "deaf.sh",
                           "trap '' TERM\n: > '" + ready + "'\nwhile :; do sleep 0.05; done") +
               "\ncreated=1");
  writeRaw(pending + "/waiting.spec",
           "executable=" + writeScript(dir, "never.sh", ": > '" + dir.file("ran") + "'") +
               "\ncreated=2");
  ASSERT_TRUE(controller.runOnce());
  ASSERT_TRUE(waitFor([&] { return fs::exists(ready); }));
  ASSERT_EQ(controller.getRunningJobs().size(), 1u);

  const auto cancel = [&](const std::string& name) {
    std::optional<std::string> answer;
    std::atomic<bool> answered{false};
    std::thread client([&] {
      answer = controller.cancel(name, std::chrono::seconds(30));
      answered = true;
    });
    // The loop's pass answers it.
    while (!waitFor([&] { return answered.load(); }, std::chrono::milliseconds(50))) {
      controller.runOnce();
    }
    client.join();
    return answer.value_or("");
  };
  EXPECT_EQ(cancel("waiting").rfind("cancelled ", 0), 0u);
  EXPECT_EQ(valueOf(finished + "/waiting.spec", "end-reason"), "cancelled");
  EXPECT_NE(valueOf(finished + "/waiting.spec", "ended"), "<missing>");
  EXPECT_EQ(valueOf(finished + "/waiting.spec", "exit-status"), "<missing>");
  EXPECT_EQ(cancel("deaf.spec").rfind("cancelling ", 0), 0u);
  EXPECT_EQ(cancel("nobody").rfind("unknown ", 0), 0u);
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return fs::exists(finished + "/deaf.spec");
  }));
  EXPECT_EQ(valueOf(finished + "/deaf.spec", "end-reason"), "cancelled");
  EXPECT_EQ(valueOf(finished + "/deaf.spec", "exit-status"), std::to_string(128 + SIGKILL));
  EXPECT_EQ(cores.getAvailableCores(), 1u);
  EXPECT_FALSE(fs::exists(dir.file("ran")));
  EXPECT_TRUE(controller.getQueues().front().isEmpty());
}

TEST_F(QueueControllerTest, AProgramThatCannotBeExecutedFinishesAsAShellReportsIt) {
  cores.setCores(2);
  controller.initQueues();
  const std::string notExecutable = dir.file("plain.txt");
  writeRaw(notExecutable, "not a program");
  std::filesystem::create_directories(dir.file("folder"));
  writeRaw(pending + "/plain.spec", "executable=" + notExecutable);
  writeRaw(pending + "/folder.spec", "executable=" + dir.file("folder"));
  LogSink log({"QueueCtrl"});
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return specNames(finished).size() == 2;
  }));
  for (const char* name : {"plain.spec", "folder.spec"}) {
    EXPECT_EQ(valueOf(finished + "/" + name, "exit-status"), "126") << name;
    EXPECT_NE(valueOf(finished + "/" + name, "ended"), "<missing>") << name;
  }
  EXPECT_EQ(log.count("@jobscheduler.quectrl-run.job-not-started"), 2u);
  EXPECT_TRUE(log.saw("cannot be executed (%); exit status %. It is not tried again.}; | " +
                      running + "/plain.spec"));
  EXPECT_EQ(cores.getAvailableCores(), 2u);
  EXPECT_TRUE(controller.getQueues().front().isEmpty());
  EXPECT_TRUE(specNames(queueDir("queue_normal")).empty());
  // Not tried again.
  controller.runOnce();
  EXPECT_EQ(log.count("@jobscheduler.quectrl-run.job-not-started"), 2u);
}

TEST_F(QueueControllerTest, AnOutcomeTheSupervisorCannotWriteYetIsLoggedWithItsStatus) {
  // A stand-in for the supervisor, as it behaves when the record cannot take the outcome:
  // it reports the status and waits (with the lock) until it can.
  const std::string gate = dir.file("gate");
  const std::string fake = writeScript(dir, "fake-supervisor.sh",
                                       "echo \"launched $$\" >&4\necho \"unwritten 28 4\" >&4\n"
                                       "while [ ! -e '" +
                                           gate + "' ]; do sleep 0.02; done");
  std::string error;
  controller.setRunRecords(RunRecords::open(dir.file("work/fake-runs"), fake, error));
  ASSERT_TRUE(controller.getRunRecords()) << error;
  controller.initQueues();
  holdJob("a.spec", "a");
  LogSink log({"QueueCtrl"});
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return log.saw("@jobscheduler.quectrl-run.outcome-unwritten");
  }));
  EXPECT_TRUE(log.saw("it keeps trying, and the job counts as running until it can.}; | " +
                      running + "/a.spec | 4 | No space left on device"));
  EXPECT_EQ(controller.getRunningJobs().size(), 1u);
  controller.runOnce();
  EXPECT_EQ(log.count("@jobscheduler.quectrl-run.outcome-unwritten"), 1u);
  writeRaw(gate, "");
}

TEST_F(QueueControllerTest, StopIsAcknowledgedOnlyAfterTheLastRunningJobEnded) {
  cores.setCores(2);
  controller.initQueues();
  holdJob("one.spec", "one");
  holdJob("two.spec", "two");
  controller.runOnce();
  ASSERT_EQ(controller.getRunningJobs().size(), 2u);

  controller.setRunFlags(QueueController::kRunFlagStopped);
  holdJob("late.spec", "late");
  controller.runOnce();
  EXPECT_FALSE(controller.allQueuesInState(1));
  EXPECT_TRUE(controller.allQueuesInState(0));

  release("one");
  ASSERT_TRUE(waitFor([&] { return controller.getRunningJobs().size() == 1; }));
  controller.runOnce();
  EXPECT_TRUE(controller.allQueuesInState(0));
  EXPECT_EQ(specNames(finished), std::vector<std::string>{"one.spec"});
  EXPECT_EQ(cores.getAvailableCores(), 1u);

  release("two");
  ASSERT_TRUE(waitFor([&] { return controller.getRunningJobs().empty(); }));
  controller.runOnce();
  EXPECT_TRUE(controller.allQueuesInState(1));
  EXPECT_EQ(specNames(pending), std::vector<std::string>{"late.spec"});
  EXPECT_EQ(cores.getAvailableCores(), 2u);

  // START (the flag cleared): the waiting file is taken and run.
  controller.setRunFlags(0);
  controller.runOnce();
  EXPECT_TRUE(controller.allQueuesInState(0));
  EXPECT_EQ(specNames(running), std::vector<std::string>{"late.spec"});
  release("late");
}

TEST_F(QueueControllerTest, AStopWhilePausedIsAcknowledgedOnceNoJobRuns) {
  controller.initQueues();
  holdJob("one.spec", "one");
  controller.runOnce();
  ASSERT_EQ(controller.getRunningJobs().size(), 1u);
  // PAUSE, then STOP: the pause holds at once, the stop only once the job has ended.
  controller.setRunFlags(QueueController::kRunFlagPaused);
  controller.runOnce();
  EXPECT_TRUE(controller.allQueuesInState(2));
  controller.setRunFlags(QueueController::kRunFlagPaused | QueueController::kRunFlagStopped);
  controller.runOnce();
  EXPECT_TRUE(controller.allQueuesInState(2));
  EXPECT_FALSE(controller.allQueuesInState(1));
  release("one");
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return controller.allQueuesInState(1);
  }));
  EXPECT_TRUE(controller.allQueuesInState(2));
  EXPECT_FALSE(controller.allQueuesInState(0));
  // RESUME leaves the stop; START then runs normally again.
  controller.setRunFlags(QueueController::kRunFlagStopped);
  controller.runOnce();
  EXPECT_TRUE(controller.allQueuesInState(1));
  EXPECT_FALSE(controller.allQueuesInState(2));
  controller.setRunFlags(0);
  controller.runOnce();
  EXPECT_TRUE(controller.allQueuesInState(0));
}

TEST_F(QueueControllerTest, QuitStopsRunningJobsAndMovesNoFile) {
  cores.setCores(2);
  controller.initQueues();
  const std::string stopped = dir.file("stopped");
  const std::string trapped =
      writeScript(dir, "trapped.sh",
                  "trap 'echo \"$1\" >> \"" + stopped + "\"; exit 0' TERM\necho \"$1\" >> '" +
                      holds.getRanFile() + "'\nwhile [ -e '" + dir.str() +
                      "/hold-'\"$1\" ]; do sleep 0.02; done");
  for (const char* tag : {"x", "y", "z"}) {
    holds.hold(tag);
    writeRaw(pending + "/" + tag + ".spec", "executable=" + trapped + "\narguments=" + tag);
  }
  controller.runOnce();
  ASSERT_EQ(controller.getRunningJobs().size(), 2u);
  // A stop that came before the trap was set would end the job unseen.
  ASSERT_TRUE(waitFor([&] { return readRaw(holds.getRanFile()).size() == 4; }));

  EXPECT_TRUE(controller.quit());
  EXPECT_EQ(controller.getQueues().front().getJobCount(), 0u);
  EXPECT_EQ(specNames(running), (std::vector<std::string>{"x.spec", "y.spec"}));
  EXPECT_EQ(specNames(queueDir("queue_normal")), std::vector<std::string>{"z.spec"});
  ASSERT_TRUE(
      waitFor([&] { return readRaw(stopped) == "x\ny\n" || readRaw(stopped) == "y\nx\n"; }));
  // Asked twice (the destructor quits again): harmless.
  EXPECT_TRUE(controller.quit());
  for (const char* tag : {"x", "y", "z"}) release(tag);
}

TEST_F(QueueControllerTest, AReusedFileNameNeverOverwritesAFinishedSpec) {
  controller.initQueues();
  const std::string quick = writeScript(dir, "quick.sh", "exit 3");
  writeRaw(finished + "/nightly.spec", "earlier run");
  writeRaw(finished + "/nightly.1.spec", "run before that");
  writeRaw(pending + "/nightly.spec", "executable=" + quick);
  LogSink log({"QueueCtrl"});
  controller.runOnce();
  ASSERT_TRUE(waitFor([&] { return controller.getRunningJobs().empty(); }));
  controller.runOnce();

  EXPECT_TRUE(specNames(running).empty());
  EXPECT_EQ(readRaw(finished + "/nightly.spec"), "earlier run");
  EXPECT_EQ(readRaw(finished + "/nightly.1.spec"), "run before that");
  EXPECT_TRUE(hasKey(finished + "/nightly.2.spec", "ended"));
  EXPECT_NE(readRaw(finished + "/nightly.2.spec").find("exit-status=3"), std::string::npos);
  EXPECT_EQ(log.count("@jobscheduler.quectrl-run.finished-name-taken"), 1u);
  EXPECT_EQ(cores.getAvailableCores(), 1u);
}

TEST_F(QueueControllerTest, RunPassesUntilQuitAndRefusesAMissingFlag) {
  controller.initQueues();
  writeRaw(pending + "/quick.spec", "executable=" + writeScript(dir, "quick.sh", "exit 0"));
  bool result = false;
  std::thread loop([&] { result = controller.run(); });
  const bool done = waitFor([&] { return fs::exists(finished + "/quick.spec"); });
  quit.store(1);
  loop.join();
  EXPECT_TRUE(done);
  EXPECT_TRUE(result);
  EXPECT_FALSE(controller.runOnce());

  LogSink log({"QueueCtrl"});
  QueueController orphan(nullptr, cores);
  EXPECT_FALSE(orphan.run());
  EXPECT_FALSE(orphan.runOnce());
  EXPECT_EQ(log.count("@jobscheduler.quectrl-run.quitsignal-error"), 1u);
}

}  // namespace
}  // namespace Zelcor
