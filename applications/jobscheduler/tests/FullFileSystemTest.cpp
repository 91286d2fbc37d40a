// A full file system under the scheduler's folders: no job may start without its start on
// disk, none may be lost, and each runs once when there is room again. Needs a small tmpfs of
// its own, so it runs where mounting is allowed (as root) and is skipped elsewhere.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CorePool.h"
#include "QueueController.h"
#include "support/LogSink.h"
#include "support/SpecFiles.h"
#include "support/Supervision.h"
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

class FullFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(small);
    const std::string mount = "mount -t tmpfs -o size=1m tmpfs '" + small + "' 2>/dev/null";
    if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "a tmpfs cannot be mounted here";
    mounted = true;
  }
  void TearDown() override {
    for (auto at = extraMounts.rbegin(); at != extraMounts.rend(); ++at) {
      run("mount -o remount,rw '" + *at + "'");
      run("umount -l '" + *at + "'");
    }
    if (mounted) {
      run("mount -o remount,rw '" + small + "'");
      run("umount -l '" + small + "'");
    }
  }

  static int run(const std::string& command) {
    return std::system((command + " 2>/dev/null").c_str());
  }
  // A tmpfs of its own at folder (inside the small one), so it can be made read-only alone.
  bool mountApart(const std::string& folder) {
    fs::create_directories(folder);
    if (run("mount -t tmpfs -o size=1m tmpfs '" + folder + "'") != 0) return false;
    extraMounts.push_back(folder);
    return true;
  }
  static bool setReadOnly(const std::string& mount, bool readOnly) {
    return run("mount -o remount," + std::string(readOnly ? "ro" : "rw") + " '" + mount + "'") == 0;
  }

  // Writes until the file system refuses another byte.
  void fill() {
    std::ofstream filler(small + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
           filler.flush()) {
    }
  }

  ZelcorCorelib::test::TempDir dir{"fullfs"};
  const std::string small = dir.file("small");
  bool mounted = false;
  std::vector<std::string> extraMounts;
};

TEST_F(FullFileSystemTest, NoJobStartsWithoutItsRecordAndEachRunsOnceWhenThereIsRoom) {
  const std::string pending = small + "/pending", queued = small + "/queued",
                    running = small + "/running", finished = small + "/finished";
  for (const std::string& folder : {pending, queued, running, finished}) {
    fs::create_directories(folder);
  }
  // The job and what it leaves lie outside the full file system.
  const std::string ran = dir.file("ran");
  const std::string job = writeScript(dir, "job.sh", "echo \"$1\" >> '" + ran + "'\nexit \"$2\"");
  CorePool cores;
  cores.setCores(3);
  std::atomic<std::uint8_t> quit{0};
  QueueController controller(&quit, cores);
  controller.setDirectories(pending, queued, running, finished);
  controller.setRunRecords(test::openRunRecords(small + "/work/runs"));
  controller.initQueues();
  const std::vector<std::pair<std::string, std::string>> jobs = {
      {"a", "0"}, {"b", "3"}, {"c", "7"}};
  for (const auto& [tag, status] : jobs) {
    writeRaw(pending + "/" + tag + ".spec",
             "executable=" + job + "\narguments=" + tag + " " + status);
  }

  fill();
  LogSink log({"QueueCtrl", "JobQueue", "Job"});
  for (int pass = 0; pass < 3; ++pass) controller.runOnce();
  EXPECT_FALSE(fs::exists(ran)) << readRaw(ran);
  EXPECT_TRUE(controller.getRunningJobs().empty());
  EXPECT_EQ(cores.getAvailableCores(), 3u);
  EXPECT_TRUE(controller.getRunRecords()->list().empty());
  std::size_t present = specNames(pending).size() + specNames(queued + "/queue_normal").size();
  EXPECT_EQ(present, jobs.size());
  // One line per job and reason, not one per pass. A first start may add its stamp within the
  // file's own block and fail at the record; the next fails at the rewrite.
  const std::size_t lines = log.count("@jobscheduler.quectrl-run.job-start-error");
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 2 * jobs.size());
  controller.runOnce();
  EXPECT_EQ(log.count("@jobscheduler.quectrl-run.job-start-error"), lines);
  EXPECT_TRUE(log.saw("No space left on device"));

  fs::remove(small + "/filler");
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return specNames(finished).size() == jobs.size();
  }));
  EXPECT_EQ(readRaw(ran).size(), 6u);  // "a\n", "b\n", "c\n" in some order
  for (const auto& [tag, status] : jobs) {
    EXPECT_EQ(valueOf(finished + "/" + tag + ".spec", "exit-status"), status) << tag;
    EXPECT_NE(readRaw(ran).find(tag + "\n"), std::string::npos) << tag;
  }
  EXPECT_TRUE(controller.getRunRecords()->list().empty());
  EXPECT_EQ(cores.getAvailableCores(), 3u);
}

TEST_F(FullFileSystemTest, AMoveThatFailsIsLoggedOnceAndTriedAtEveryPass) {
  const std::string pending = small + "/pending", queued = small + "/queued",
                    running = small + "/running", finished = small + "/finished";
  for (const std::string& folder : {pending, queued, running}) fs::create_directories(folder);
  ASSERT_TRUE(mountApart(finished));
  const std::string release = dir.file("release");
  const std::string job =
      writeScript(dir, "job.sh", "while [ ! -e '" + release + "' ]; do sleep 0.02; done\nexit 4");
  CorePool cores;
  std::atomic<std::uint8_t> quit{0};
  QueueController controller(&quit, cores);
  controller.setDirectories(pending, queued, running, finished);
  controller.setRunRecords(test::openRunRecords(small + "/work/runs"));
  controller.initQueues();
  writeRaw(pending + "/a.spec", "executable=" + job);
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return !controller.getRunningJobs().empty();
  }));

  // The finished folder read-only when the job ends: the outcome is stamped, the move fails,
  // is logged once and tried again at every pass; the core is free meanwhile.
  LogSink log({"QueueCtrl", "Job"});
  ASSERT_TRUE(setReadOnly(finished, true));
  writeRaw(release, "");
  ASSERT_TRUE(waitFor([&] {
    controller.runOnce();
    return valueOf(running + "/a.spec", "exit-status") == "4";
  }));
  for (int pass = 0; pass < 3; ++pass) controller.runOnce();
  EXPECT_EQ(log.count("@jobscheduler.job-move.unable-to-move"), 1u);
  EXPECT_TRUE(log.saw("Read-only file system"));
  EXPECT_TRUE(log.saw("ended with exit status % (%).}; | " + running + "/a.spec | 4 | exit"));
  EXPECT_EQ(cores.getAvailableCores(), 1u);
  EXPECT_EQ(controller.getRunRecords()->list().size(), 1u);

  ASSERT_TRUE(setReadOnly(finished, false));
  controller.runOnce();
  EXPECT_EQ(valueOf(finished + "/a.spec", "exit-status"), "4");
  EXPECT_TRUE(controller.getQueues().front().isEmpty());
  EXPECT_TRUE(controller.getRunRecords()->list().empty());
}

}  // namespace
}  // namespace Zelcor
