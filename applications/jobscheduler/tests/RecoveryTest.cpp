#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../../../libraries/corelib/tests/support/TempDir.h"
#include "../../../libraries/corelib/tests/support/WaitFor.h"
#include "ChildProcess.h"
#include "QueueController.h"
#include "runtime/KeyValueFile.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::testing::waitFor;

void writeRaw(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string valueOf(const std::string& path, const std::string& key) {
  ZelcorCorelib::KeyValueMap spec;
  ZelcorCorelib::readKeyValueFile(path, spec);
  auto it = spec.lower_bound(key);
  return it != spec.end() && it->first == key ? it->second : "<missing>";
}

std::vector<std::string> specNames(const std::string& directory) {
  std::vector<std::string> names;
  if (!fs::is_directory(directory)) return names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".spec") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Every spec file under root, at any depth.
std::size_t countSpecFiles(const std::string& root) {
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    count += entry.is_regular_file() && entry.path().extension() == ".spec";
  }
  return count;
}

std::string now(std::int64_t offset = 0) {
  return std::to_string(static_cast<std::int64_t>(std::time(nullptr)) + offset);
}

// The job folders of one scheduler installation, shared by the run that "crashes" and the
// run that recovers. The hold script ignores the stop request, as a job of a killed scheduler
// is never asked to stop, and records every start. The hold files go with the folder, so a
// job still held when a test fails ends by itself.
class RecoveryTest : public ::testing::Test {
 protected:
  RecoveryTest() {
    for (const std::string& folder : {pending, queued, running, finished}) {
      fs::create_directories(folder);
    }
    hold = dir.file("hold.sh");
    writeRaw(hold, "#!/bin/sh\ntrap '' TERM\necho \"$1\" >> '" + ran +
                       "'\nwhile [ -e '" + dir.str() + "/hold-'\"$1\" ]; do sleep 0.02; done\n");
    fs::permissions(hold, fs::perms::owner_all);
  }

  std::unique_ptr<QueueController> scheduler(CorePool& pool) {
    auto controller = std::make_unique<QueueController>(&quit, pool);
    controller->setDirectories(pending, queued, running, finished);
    controller->initQueues();
    return controller;
  }
  std::string holdSpec(const std::string& tag, const std::string& extra = "") {
    writeRaw(dir.str() + "/hold-" + tag, "");
    return "executable=" + hold + "\narguments=" + tag + extra;
  }
  void release(const std::string& tag) { fs::remove(dir.str() + "/hold-" + tag); }
  std::size_t starts(const std::string& tag) const {
    std::istringstream lines(readRaw(ran));
    std::size_t n = 0;
    for (std::string line; std::getline(lines, line);) n += line == tag;
    return n;
  }
  // Passes until nothing is left in any queue, every hold released.
  void drain(QueueController& controller) {
    ASSERT_TRUE(waitFor([&] {
      controller.runOnce();
      for (const JobQueue& queue : controller.getQueues()) {
        if (!queue.isEmpty()) return false;
      }
      return true;
    }));
  }

  TempDir dir{"recovery"};
  const std::string pending = dir.file("pending");
  const std::string queued = dir.file("queued");
  const std::string running = dir.file("running");
  const std::string finished = dir.file("finished");
  const std::string normalQueue = dir.file("queued") + "/queue_normal";
  const std::string ran = dir.file("ran");
  std::string hold;
  std::atomic<std::uint8_t> quit{0};
};

TEST_F(RecoveryTest, AKilledSchedulerLosesNoSpecFileAndRunsEveryJobOnce) {
  {
    CorePool pool;
    auto first = scheduler(pool);
    writeRaw(pending + "/a.spec", holdSpec("a", "\ncreated=1"));
    writeRaw(pending + "/b.spec", holdSpec("b", "\ncreated=2"));
    writeRaw(pending + "/c.spec", holdSpec("c", "\ncreated=3"));
    first->runOnce();
    ASSERT_EQ(specNames(running), std::vector<std::string>{"a.spec"});
    ASSERT_EQ(specNames(normalQueue), (std::vector<std::string>{"b.spec", "c.spec"}));
    // Once its trap is set, job a outlives the stop request of the destructor.
    ASSERT_TRUE(waitFor([&] { return starts("a") == 1; }));
    // Gone as a crash would leave it: job a keeps running, no file moves.
  }
  ASSERT_EQ(starts("a"), 1u);
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
  EXPECT_EQ(starts("b"), 0u);
  release("a");
  ASSERT_TRUE(waitFor([&] { return second->getRunningJobs().empty(); }));
  second->runOnce();
  EXPECT_EQ(specNames(finished), std::vector<std::string>{"a.spec"});
  EXPECT_NE(valueOf(finished + "/a.spec", "ended"), "<missing>");
  EXPECT_EQ(valueOf(finished + "/a.spec", "exit-status"), "-1");
  EXPECT_TRUE(waitFor([&] { return starts("b") == 1; }));

  release("b");
  release("c");
  drain(*second);
  EXPECT_EQ(specNames(finished), (std::vector<std::string>{"a.spec", "b.spec", "c.spec"}));
  EXPECT_EQ(countSpecFiles(dir.str()), before);
  EXPECT_EQ(starts("a"), 1u);
  EXPECT_EQ(starts("b"), 1u);
  EXPECT_EQ(starts("c"), 1u);
  EXPECT_EQ(pool.getAvailableCores(), 1u);
}

TEST_F(RecoveryTest, ALivePidIsTakenOnlyWhenItRunsTheJobsProgramSinceItsStart) {
  // Processes that this test starts itself, standing in for what a pid may name after a
  // restart: the job's own program, the same program started later, and another program.
  ChildProcess::Pointer own = createChildProcess(hold, "own", false, true);
  ChildProcess::Pointer later = createChildProcess(hold, "later", false, true);
  ChildProcess::Pointer other = createChildProcess("/bin/sh", "-c \"sleep 30\"", false, true);
  writeRaw(dir.str() + "/hold-own", "");
  writeRaw(dir.str() + "/hold-later", "");
  ASSERT_TRUE(own->run());
  ASSERT_TRUE(later->run());
  ASSERT_TRUE(other->run());
  ASSERT_TRUE(waitFor([&] { return starts("own") == 1 && starts("later") == 1; }));

  const std::string pidOf[] = {std::to_string(own->getPid()), std::to_string(later->getPid()),
                               std::to_string(other->getPid())};
  writeRaw(running + "/1-own.spec", holdSpec("own", "\nstarted=" + now() + "\npid=" + pidOf[0]));
  // A pid that started a minute after the job did is a later process of the same program.
  writeRaw(running + "/2-later.spec",
           holdSpec("later", "\nstarted=" + now(-60) + "\npid=" + pidOf[1]));
  writeRaw(running + "/3-other.spec",
           holdSpec("other", "\nstarted=" + now() + "\npid=" + pidOf[2]));
  writeRaw(running + "/4-nopid.spec", holdSpec("nopid", "\nstarted=" + now()));
  // An executable written with "." and ".." still names the same program.
  fs::create_directories(dir.file("sub"));
  const std::string dotted = dir.str() + "/./sub/../hold.sh";
  writeRaw(running + "/5-dotted.spec", "executable=" + dotted + "\narguments=own2\nstarted=" +
                                           now() + "\npid=" + pidOf[0]);

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
    return starts("later") == 2 && starts("other") == 1 && starts("nopid") == 1;
  }));
  EXPECT_EQ(starts("own"), 1u);
  EXPECT_EQ(specNames(running),
            (std::vector<std::string>{"2-later.spec", "3-other.spec", "4-nopid.spec"}));
  EXPECT_NE(valueOf(running + "/3-other.spec", "pid"), pidOf[2]);

  for (const char* tag : {"own", "later", "other", "nopid"}) release(tag);
  other->requestStop();
  drain(*controller);
  EXPECT_EQ(specNames(finished).size(), 5u);
  EXPECT_EQ(pool.getAvailableCores(), 8u);
  ASSERT_TRUE(waitFor([&] { return !own->poll() && !later->poll() && !other->poll(); }));
}

TEST_F(RecoveryTest, QueuedJobsComeBackBehindRunningOnesAndNotWhileStopped) {
  fs::create_directories(normalQueue);
  writeRaw(normalQueue + "/q-high.spec", holdSpec("qhigh", "\npriority-level=very high"));
  writeRaw(running + "/r-low.spec", holdSpec("rlow", "\npriority-level=very low"));
  writeRaw(pending + "/p.spec", holdSpec("p", "\npriority-level=very high"));

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
  EXPECT_TRUE(waitFor([&] { return starts("rlow") == 1; }));
  EXPECT_EQ(starts("qhigh"), 0u);
  EXPECT_EQ(controller->getQueues().front().getJobCount(), 3u);
  for (const char* tag : {"rlow", "qhigh", "p"}) release(tag);
  drain(*controller);
  EXPECT_EQ(readRaw(ran), "rlow\nqhigh\np\n");
}

TEST_F(RecoveryTest, AQuitRaisedBeforeTheFirstPassSkipsTheLoop) {
  writeRaw(running + "/r.spec", holdSpec("r"));
  writeRaw(pending + "/p.spec", holdSpec("p"));
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
