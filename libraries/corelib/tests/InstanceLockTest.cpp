#include "platform/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/Process.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitFor.h"

namespace ZelcorCorelib::platform {
namespace {

namespace fs = std::filesystem;
using Result = InstanceLock::Result;

constexpr const char* kFlockTool = "/usr/bin/flock";

class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("ZELCOR_LOCK_DIR", folder.str().c_str(), 1); }
  void TearDown() override { ::unsetenv("ZELCOR_LOCK_DIR"); }

  static Result attempt(InstanceLock& lock) {
    std::string error;
    Result result = lock.tryAcquire(error);
    EXPECT_EQ(error, "");
    return result;
  }

  // Waits for the child to end and gives its exit code; -1 when it did not end in time.
  static int exitCodeOf(ProcessId pid) {
    ChildStatus status;
    bool ended = testing::waitFor([&] {
      status = pollChild(pid);
      return status.state != ChildState::running;
    });
    return ended && status.state == ChildState::ended ? status.exitCode : -1;
  }

  test::TempDir folder{"instance-lock"};
};

TEST_F(InstanceLockTest, SecondHolderRefusedUntilTheFirstGoes) {
  auto first = std::make_unique<InstanceLock>("JobScheduler_Single");
  EXPECT_EQ(first->getPath(), folder.file("JobScheduler_Single.lock"));
  EXPECT_EQ(attempt(*first), Result::acquired);
  EXPECT_EQ(attempt(*first), Result::acquired);  // the holder asking again

  // flock excludes a second open file of the same process, as a named mutex would.
  InstanceLock second("JobScheduler_Single");
  EXPECT_EQ(attempt(second), Result::busy);
  EXPECT_FALSE(second.isHeld());
  InstanceLock other("Other_Single");
  EXPECT_EQ(attempt(other), Result::acquired);

  first.reset();
  EXPECT_EQ(attempt(second), Result::acquired);
  second.release();
  EXPECT_FALSE(second.isHeld());
  InstanceLock third("JobScheduler_Single");
  EXPECT_EQ(attempt(third), Result::acquired);
}

TEST_F(InstanceLockTest, ExcludesOtherProcessesAndDiesWithTheHolder) {
  if (!fs::exists(kFlockTool)) GTEST_SKIP() << "needs " << kFlockTool;
  InstanceLock lock("JobScheduler_Single");

  // Another process holds it: refused until that process has ended.
  const std::string ready = folder.file("ready");
  SpawnResult holder = spawnProcess(
      kFlockTool, {"-x", lock.getPath(), "-c", "touch '" + ready + "'; exec sleep 60"});
  ASSERT_GT(holder.pid, 0);
  ASSERT_TRUE(testing::waitFor([&] { return fs::exists(ready); }));
  EXPECT_EQ(attempt(lock), Result::busy);
  ASSERT_TRUE(terminateProcessGroup(holder.pid));
  EXPECT_NE(exitCodeOf(holder.pid), -1);
  // The holder's own child (the shell's sleep) shares the lock and ends a moment later.
  EXPECT_TRUE(testing::waitFor([&] { return attempt(lock) == Result::acquired; }));

  // We hold it: another process is refused, and admitted once we let go.
  SpawnResult refused = spawnProcess(kFlockTool, {"-n", lock.getPath(), "true"});
  ASSERT_GT(refused.pid, 0);
  EXPECT_EQ(exitCodeOf(refused.pid), 1);
  lock.release();
  SpawnResult admitted = spawnProcess(kFlockTool, {"-n", lock.getPath(), "true"});
  ASSERT_GT(admitted.pid, 0);
  EXPECT_EQ(exitCodeOf(admitted.pid), 0);
}

TEST_F(InstanceLockTest, ChildrenDoNotInheritTheLock) {
  InstanceLock lock("JobScheduler_Single");
  ASSERT_EQ(attempt(lock), Result::acquired);
  // A job that outlives the scheduler must not keep the next scheduler from starting.
  SpawnResult job = spawnProcess("sleep", {"60"});
  ASSERT_GT(job.pid, 0);
  lock.release();
  InstanceLock next("JobScheduler_Single");
  EXPECT_EQ(attempt(next), Result::acquired);
  terminateProcessGroup(job.pid);
  exitCodeOf(job.pid);
}

TEST_F(InstanceLockTest, FolderFromTheEnvironmentElseAPrivateOneAndUnusableFolderReported) {
  ::unsetenv("ZELCOR_LOCK_DIR");
  const std::string byDefault = InstanceLock::lockDirectory() + "/A_Single.lock";
  EXPECT_EQ(InstanceLock("A_Single").getPath(), byDefault);
  if (::geteuid() == 0 && fs::is_directory("/run")) {
    EXPECT_EQ(byDefault, "/run/zelcor/A_Single.lock");
  }
  ::setenv("ZELCOR_LOCK_DIR", "", 1);
  EXPECT_EQ(InstanceLock("A_Single").getPath(), byDefault);
  ::setenv("ZELCOR_LOCK_DIR", (folder.str() + "/").c_str(), 1);
  EXPECT_EQ(InstanceLock("A_Single").getPath(), folder.file("A_Single.lock"));

  const std::string missing = folder.file("missing");
  ::setenv("ZELCOR_LOCK_DIR", missing.c_str(), 1);
  InstanceLock lock("A_Single");
  std::string error;
  EXPECT_EQ(lock.tryAcquire(error), Result::failed);
  EXPECT_EQ(error, "\"" + missing + "/A_Single.lock\": No such file or directory");
  EXPECT_FALSE(lock.isHeld());

  // A link planted where the lock file goes is not followed.
  ::setenv("ZELCOR_LOCK_DIR", folder.str().c_str(), 1);
  fs::create_symlink(folder.file("elsewhere"), folder.file("B_Single.lock"));
  InstanceLock linked("B_Single");
  EXPECT_EQ(linked.tryAcquire(error), Result::failed);
  EXPECT_FALSE(fs::exists(folder.file("elsewhere")));
}

// An ordinary user's default folder: $XDG_RUNTIME_DIR, or a private one in /tmp; a folder that
// others can write to (where anybody could hold the lock first) is refused.
TEST_F(InstanceLockTest, AnOrdinaryUsersDefaultFolderIsTheirsAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const std::string runtime = folder.file("runtime");
  fs::create_directories(runtime);
  ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
  fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::others_exec);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit codes name the first check that failed.
    ::unsetenv("ZELCOR_LOCK_DIR");
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    fs::permissions(runtime, fs::perms::owner_all);
    std::string error;
    InstanceLock mine("R_Single");
    if (mine.getPath() != runtime + "/R_Single.lock") ::_exit(11);
    if (mine.tryAcquire(error) != Result::acquired) ::_exit(12);
    mine.release();
    fs::permissions(runtime, fs::perms::all);
    InstanceLock open("S_Single");
    if (open.tryAcquire(error) != Result::failed) ::_exit(13);
    if (error.find("no one else can write to") == std::string::npos) ::_exit(14);
    ::unsetenv("XDG_RUNTIME_DIR");
    if (InstanceLock::lockDirectory() != "/tmp/zelcor-65534") ::_exit(15);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ZelcorCorelib::platform
