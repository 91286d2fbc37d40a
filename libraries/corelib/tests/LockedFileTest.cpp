#include "platform/LockedFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace ZelcorCorelib::platform {
namespace {

namespace fs = std::filesystem;
using test::readRaw;
using test::writeRaw;

// Whether somebody holds an exclusive flock on path, asked through a descriptor of our own.
bool lockedByAnother(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return busy;
}

std::uint32_t modeOf(const std::string& path) {
  return static_cast<std::uint32_t>(fs::status(path).permissions() & fs::perms::mask);
}

TEST(FileLock, ExcludesEveryOtherHolderUntilReleased) {
  test::TempDir folder;
  const std::string path = folder.file("store.reg.lock");
  FileError error;
  FileLock first(path);
  ASSERT_EQ(first.acquire(error), FileLock::Result::acquired) << error.text;
  EXPECT_TRUE(first.isHeld());
  EXPECT_TRUE(lockedByAnother(path));
  // Closing some other descriptor of the file drops an fcntl lock, not this one.
  ::close(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(lockedByAnother(path));

  // A second holder in another thread of the same process waits for the first.
  std::atomic<bool> released{false};
  std::atomic<bool> acquiredAfterRelease{false};
  std::atomic<bool> done{false};
  FileLock second(path);
  std::thread waiter([&] {
    FileError waitError;
    if (second.acquire(waitError) == FileLock::Result::acquired) {
      acquiredAfterRelease = released.load();
    }
    done = true;
  });
  released = true;
  first.release();
  EXPECT_FALSE(first.isHeld());
  EXPECT_TRUE(testing::waitFor([&] { return done.load(); }));
  waiter.join();
  EXPECT_TRUE(acquiredAfterRelease);
  EXPECT_TRUE(lockedByAnother(path));
  second.release();
  EXPECT_FALSE(lockedByAnother(path));
  EXPECT_TRUE(fs::exists(path));  // left behind, and harmless

  FileLock nowhere(folder.file("missing/store.reg.lock"));
  EXPECT_EQ(nowhere.acquire(error), FileLock::Result::openFailed);
  EXPECT_EQ(error.kind, FileError::Kind::other);
  EXPECT_EQ(error.text, "No such file or directory");
  EXPECT_FALSE(nowhere.isHeld());
}

TEST(LockedFile, ReadWholeFileTellsMissingFromUnreadableAndNeverWaits) {
  test::TempDir folder;
  const std::string file = folder.file("store.reg");
  writeRaw(file, std::string(40000, 'x') + "end");
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                  fs::perm_options::replace);
  const std::string fifo = folder.file("fifo.reg");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  std::string bytes;
  FileOwnership ownership;
  FileError error;
  ASSERT_EQ(readWholeFile(file, bytes, ownership, error), ReadOutcome::ok);
  EXPECT_EQ(bytes, std::string(40000, 'x') + "end");
  EXPECT_EQ(ownership.mode, 0640u);
  EXPECT_EQ(ownership.user, ::getuid());

  struct Case {
    std::string path;
    ReadOutcome outcome;
    std::string text;
  };
  const Case cases[] = {
      {folder.file("none.reg"), ReadOutcome::missing, "No such file or directory"},
      {file + "/inside.reg", ReadOutcome::missing, "Not a directory"},
      {folder.str(), ReadOutcome::failed, "Is a directory"},
      // No writer will ever open it: a blocking open would wait for ever.
      {fifo, ReadOutcome::failed, "Invalid argument"},
  };
  for (const Case& one : cases) {
    bytes = "unchanged";
    EXPECT_EQ(readWholeFile(one.path, bytes, ownership, error), one.outcome) << one.path;
    EXPECT_EQ(error.text, one.text) << one.path;
    EXPECT_EQ(error.kind, FileError::Kind::other) << one.path;
  }

  if (::geteuid() != 0) {  // root reads anything
    fs::permissions(file, fs::perms::none, fs::perm_options::replace);
    EXPECT_EQ(readWholeFile(file, bytes, ownership, error), ReadOutcome::failed);
    EXPECT_EQ(error.kind, FileError::Kind::accessDenied);
    EXPECT_EQ(error.text, "Permission denied");
  }
}

TEST(LockedFile, ReplaceKeepsModeOrMakesANewFile) {
  test::TempDir folder;
  const std::string target = folder.file("store.reg");
  writeRaw(target, "old contents, longer than the new");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                  fs::perm_options::replace);
  std::string bytes;
  FileOwnership ownership;
  FileError error;
  ASSERT_EQ(readWholeFile(target, bytes, ownership, error), ReadOutcome::ok);

  ASSERT_TRUE(replaceFileDurably(target, "new", &ownership, error)) << error.text;
  EXPECT_EQ(readRaw(target), "new");
  EXPECT_EQ(modeOf(target), 0640u);
  EXPECT_FALSE(fs::exists(target + ".tmp"));

  const std::string fresh = folder.file("fresh.reg");
  ASSERT_TRUE(replaceFileDurably(fresh, "", nullptr, error)) << error.text;
  EXPECT_TRUE(fs::is_regular_file(fresh));
  EXPECT_EQ(readRaw(fresh), "");
  EXPECT_FALSE(fs::exists(fresh + ".tmp"));
}

TEST(LockedFile, FailedReplaceLeavesTargetAndNoTemporaryFile) {
  test::TempDir folder;
  // A folder where the file should be: the temporary file is written, the rename refuses.
  const std::string target = folder.file("store.reg");
  fs::create_directories(target + "/kept");
  FileError error;
  EXPECT_FALSE(replaceFileDurably(target, "new", nullptr, error));
  EXPECT_EQ(error.kind, FileError::Kind::other);
  EXPECT_EQ(error.text, "Is a directory");
  EXPECT_TRUE(fs::is_directory(target + "/kept"));
  EXPECT_FALSE(fs::exists(target + ".tmp"));

  const std::string nowhere = folder.file("missing/store.reg");
  EXPECT_FALSE(replaceFileDurably(nowhere, "new", nullptr, error));
  EXPECT_EQ(error.text, "No such file or directory");
  EXPECT_FALSE(fs::exists(nowhere));
}

TEST(LockedFile, ReplaceNeverWritesThroughWhatLiesUnderTheTemporaryName) {
  test::TempDir folder;
  const std::string target = folder.file("store.reg");
  const std::string temporary = target + ".tmp";
  const std::string victim = folder.file("victim");
  writeRaw(victim, "precious");
  FileError error;

  // What a crash leaves, a symbolic link and a hard link that someone planted.
  writeRaw(temporary, "half a file from a crash");
  ASSERT_TRUE(replaceFileDurably(target, "one", nullptr, error)) << error.text;
  EXPECT_EQ(readRaw(target), "one");

  fs::create_symlink(victim, temporary);
  ASSERT_TRUE(replaceFileDurably(target, "two", nullptr, error)) << error.text;
  EXPECT_EQ(readRaw(target), "two");
  EXPECT_EQ(readRaw(victim), "precious");

  fs::create_hard_link(victim, temporary);
  ASSERT_TRUE(replaceFileDurably(target, "three", nullptr, error)) << error.text;
  EXPECT_EQ(readRaw(target), "three");
  EXPECT_EQ(readRaw(victim), "precious");
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
}

}  // namespace
}  // namespace ZelcorCorelib::platform
