#include "platform/SpecFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "files/KeyValueFile.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace ZelcorCorelib::platform {
namespace {

namespace fs = std::filesystem;
using test::readRaw;
using test::TempDir;
using test::writeRaw;

TEST(SpecFolder, ListsKindsWithoutFollowingLinks) {
  TempDir dir;
  writeRaw(dir.file("file"), "x");
  fs::create_directory(dir.file("sub"));
  fs::create_symlink(dir.file("sub"), dir.file("link"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const auto folder = SpecFolder::open(dir.str());
  ASSERT_NE(folder, nullptr);
  auto entries = folder->list();
  ASSERT_TRUE(entries.has_value());
  std::sort(entries->begin(), entries->end());
  const std::vector<std::pair<std::string, EntryKind>> expected = {{"fifo", EntryKind::fifo},
                                                                   {"file", EntryKind::regular},
                                                                   {"link", EntryKind::symlink},
                                                                   {"sub", EntryKind::directory}};
  EXPECT_EQ(*entries, expected);
  EXPECT_EQ(folder->kindOf("link"), EntryKind::symlink);
  EXPECT_EQ(folder->kindOf("none"), EntryKind::missing);
  EXPECT_EQ(SpecFolder::open(dir.file("file")), nullptr);
  EXPECT_EQ(SpecFolder::open(dir.file("none")), nullptr);
}

TEST(SpecFolder, ReadsOnlyRegularFilesWithinTheBoundAndCanSkipTheRead) {
  TempDir dir;
  writeRaw(dir.file("a"), "0123456789");
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const auto folder = SpecFolder::open(dir.str());
  SpecFileRead read = folder->readRegular("a", 10);
  EXPECT_EQ(read.result, ReadResult::ok);
  EXPECT_EQ(read.contents, "0123456789");
  EXPECT_EQ(read.status.size, 10u);
  EXPECT_EQ(folder->readRegular("a", 9).result, ReadResult::tooLarge);
  // Never blocks on a FIFO without a writer.
  read = folder->readRegular("fifo", 10);
  EXPECT_EQ(read.result, ReadResult::notRegular);
  EXPECT_EQ(read.status.kind, EntryKind::fifo);
  bool asked = false;
  read = folder->readRegular("a", 10, [&](const SpecFileStatus& status) {
    asked = status.size == 10;
    return true;
  });
  EXPECT_TRUE(asked);
  EXPECT_EQ(read.result, ReadResult::skipped);
  EXPECT_TRUE(read.contents.empty());
  for (const char* name : {"", ".", "..", "../a", "x/y"}) {
    EXPECT_EQ(folder->readRegular(name, 10).result, ReadResult::missing) << name;
  }
}

TEST(SpecFolder, CreateAndMoveNeverReplaceAndReplaceLeavesNoTemporaryFile) {
  TempDir dir;
  fs::create_directory(dir.file("a"));
  fs::create_directory(dir.file("b"));
  const auto a = SpecFolder::open(dir.file("a"));
  const auto b = SpecFolder::open(dir.file("b"));
  EXPECT_EQ(a->create("x", "one", 0640), FsResult::ok);
  EXPECT_EQ(a->create("x", "two", 0640), FsResult::targetExists);
  EXPECT_EQ(readRaw(dir.file("a/x")), "one");
  EXPECT_EQ(fs::status(dir.file("a/x")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink(dir.file("nowhere"), dir.file("b/x"));
  EXPECT_EQ(a->moveTo("x", *b, "x"), FsResult::targetExists);
  EXPECT_EQ(a->moveTo("x", *b, "y"), FsResult::ok);
  EXPECT_EQ(a->moveTo("x", *b, "z"), FsResult::notFound);
  EXPECT_TRUE(b->replace("y", "three", 0600));
  EXPECT_EQ(readRaw(dir.file("b/y")), "three");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("b")), fs::directory_iterator()), 2);
  EXPECT_EQ(b->remove("y"), FsResult::ok);
  EXPECT_EQ(b->remove("y"), FsResult::notFound);
}

TEST(SpecFolder, AGroupCommitShowsOldContentUntilTheFlushAndNeverHalfOfANewOne) {
  TempDir dir;
  writeRaw(dir.file("a"), "a=1\n");
  writeRaw(dir.file("b"), "b=1\n");
  writeRaw(dir.file("c"), "c=1\n");
  const auto folder = SpecFolder::open(dir.str());
  folder->deferRenames(true);
  EXPECT_TRUE(folder->replace("a", "a=2\n", 0644));
  EXPECT_TRUE(folder->replace("b", "b=2\n", 0644));
  EXPECT_TRUE(folder->append("c", "more=1\n"));
  EXPECT_EQ(folder->deferredRenames(), 3u);
  // Until the flush each name has its old whole content.
  EXPECT_EQ(readRaw(dir.file("a")), "a=1\n");
  EXPECT_EQ(readRaw(dir.file("b")), "b=1\n");
  // A temporary gone before the flush (someone cleaned the folder) loses that one rewrite only.
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".b.", 0) == 0) fs::remove(entry.path());
  }
  EXPECT_FALSE(folder->flushRenames());
  EXPECT_EQ(readRaw(dir.file("a")), "a=2\n");
  EXPECT_EQ(readRaw(dir.file("b")), "b=1\n");
  EXPECT_EQ(readRaw(dir.file("c")), "c=1\nmore=1\n");
  EXPECT_EQ(folder->deferredRenames(), 0u);
  // Undeferred, a replace is done at once; nothing is left behind.
  folder->deferRenames(false);
  EXPECT_TRUE(folder->replace("b", "b=3\n", 0644));
  EXPECT_EQ(readRaw(dir.file("b")), "b=3\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

TEST(SpecFolder, OnlyTheTemporariesOfCutShortRewritesAreRemovedAtStartUp) {
  TempDir dir;
  writeRaw(dir.file("a.spec"), "a=1\n");
  writeRaw(dir.file(".client.tmp"), "x");
  writeRaw(dir.file(".a.spec.0123456789abcdeg.tmp"), "not hex");
  fs::create_directory(dir.file(".b.spec.0123456789abcdef.tmp"));
  {
    const auto crashed = SpecFolder::open(dir.str());
    crashed->deferRenames(true);
    EXPECT_TRUE(crashed->replace("a.spec", "a=2\n", 0644));
    EXPECT_TRUE(crashed->replace("a.spec", "a=3\n", 0644));
    // The process "dies" here: the renames never happen.
  }
  const auto folder = SpecFolder::open(dir.str());
  EXPECT_EQ(folder->removeStaleTemporaries(), 2u);
  EXPECT_EQ(readRaw(dir.file("a.spec")), "a=1\n");
  EXPECT_TRUE(fs::exists(dir.file(".client.tmp")));
  EXPECT_TRUE(fs::exists(dir.file(".a.spec.0123456789abcdeg.tmp")));
  EXPECT_TRUE(fs::is_directory(dir.file(".b.spec.0123456789abcdef.tmp")));
  EXPECT_EQ(folder->removeStaleTemporaries(), 0u);
}

TEST(SpecFolder, AppendTouchesOnlyARegularFileWithOneName) {
  TempDir dir;
  writeRaw(dir.file("one"), "x=1\n");
  writeRaw(dir.file("linked"), "x=1\n");
  fs::create_hard_link(dir.file("linked"), dir.file("other-name"));
  fs::create_symlink(dir.file("one"), dir.file("link"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const auto folder = SpecFolder::open(dir.str());
  int error = 0;
  EXPECT_FALSE(folder->append("linked", "y=2\n", &error));
  EXPECT_FALSE(folder->append("link", "y=2\n", &error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_FALSE(folder->append("fifo", "y=2\n", &error));
  EXPECT_FALSE(folder->append("none", "y=2\n", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(readRaw(dir.file("linked")), "x=1\n");
  EXPECT_EQ(readRaw(dir.file("one")), "x=1\n");
  EXPECT_TRUE(folder->append("one", "y=2\n"));
  EXPECT_EQ(readRaw(dir.file("one")), "x=1\ny=2\n");
}

TEST(SpecFolder, ALockedFileIsHeldWhileAnyCopyOfItsDescriptorLives) {
  TempDir dir;
  auto folder = SpecFolder::open(dir.str());
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->lockState("r.run"), LockState::missing);
  int error = 0;
  Handle held = folder->createLocked("r.run", "first=1\n", 4096, error);
  ASSERT_TRUE(held.valid()) << error;
  EXPECT_EQ(readRaw(dir.file("r.run")), "first=1\n");
  EXPECT_EQ(fs::status(dir.file("r.run")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // Another open of the file (as a later scheduler makes it) finds the lock taken.
  EXPECT_EQ(folder->lockState("r.run"), LockState::held);
  // Never over an existing file, and nothing left behind by the refusal.
  Handle again = folder->createLocked("r.run", "second=2\n", 0, error);
  EXPECT_FALSE(again.valid());
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(readRaw(dir.file("r.run")), "first=1\n");
  held.reset();
  EXPECT_EQ(folder->lockState("r.run"), LockState::free);
  for (const char* bad : {"", "..", "a/b"}) {
    EXPECT_FALSE(folder->createLocked(bad, "x", 0, error).valid()) << bad;
  }
  EXPECT_GE(folder->nameLimit(), 255u);
}

TEST(SpecFolder, AReusedFileIsEmptiedLockedAndRenamedOnlyWhenNobodyHoldsIt) {
  TempDir dir;
  auto folder = SpecFolder::open(dir.str());
  ASSERT_TRUE(folder);
  int error = 0;
  writeRaw(dir.file(".spare.1"), "an earlier run's lines, longer than the new ones\n");
  struct stat before {};
  ASSERT_EQ(::stat(dir.file(".spare.1").c_str(), &before), 0);
  Handle reused = folder->reuseLocked(".spare.1", "r.run", "new=1\n", 4096, error);
  ASSERT_TRUE(reused.valid()) << error;
  struct stat after {};
  ASSERT_EQ(::stat(dir.file("r.run").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(readRaw(dir.file("r.run")), "new=1\n");
  EXPECT_FALSE(fs::exists(dir.file(".spare.1")));
  EXPECT_EQ(folder->lockState("r.run"), LockState::held);

  // Still held (as by a supervisor alive): it is not touched, and goes from the spares.
  ASSERT_EQ(::rename(dir.file("r.run").c_str(), dir.file(".spare.2").c_str()), 0);
  EXPECT_FALSE(folder->reuseLocked(".spare.2", "s.run", "x=1\n", 0, error).valid());
  EXPECT_EQ(error, EWOULDBLOCK);
  EXPECT_FALSE(fs::exists(dir.file(".spare.2")));
  EXPECT_FALSE(fs::exists(dir.file("s.run")));
  reused.reset();

  // Never over an existing record, never through a link, never a file with two names.
  writeRaw(dir.file("taken.run"), "mine=1\n");
  writeRaw(dir.file(".spare.3"), "old\n");
  EXPECT_FALSE(folder->reuseLocked(".spare.3", "taken.run", "x=1\n", 0, error).valid());
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(readRaw(dir.file("taken.run")), "mine=1\n");
  fs::create_symlink(dir.file("taken.run"), dir.file(".spare.4"));
  EXPECT_FALSE(folder->reuseLocked(".spare.4", "t.run", "x=1\n", 0, error).valid());
  EXPECT_EQ(readRaw(dir.file("taken.run")), "mine=1\n");
  fs::create_hard_link(dir.file("taken.run"), dir.file(".spare.5"));
  EXPECT_FALSE(folder->reuseLocked(".spare.5", "t.run", "x=1\n", 0, error).valid());
  EXPECT_EQ(readRaw(dir.file("taken.run")), "mine=1\n");
  EXPECT_FALSE(fs::exists(dir.file("t.run")));
  EXPECT_FALSE(folder->reuseLocked(".spare.none", "t.run", "x=1\n", 0, error).valid());
  EXPECT_EQ(error, ENOENT);

  // A rename that syncs nothing, never over an existing entry.
  writeRaw(dir.file("a"), "a");
  EXPECT_EQ(folder->rename("a", "taken.run"), FsResult::targetExists);
  EXPECT_EQ(folder->rename("a", "b"), FsResult::ok);
  EXPECT_EQ(readRaw(dir.file("b")), "a");
}

TEST(SpecFolder, APrivateFolderIsMadeOwnedAndClosedToOthers) {
  TempDir dir;
  int error = 0;
  auto made = SpecFolder::openPrivate(dir.file("work/runs"), error);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(fs::status(dir.file("work/runs")).permissions() & fs::perms::all, fs::perms::owner_all);
  // An existing folder opened to others is closed again.
  fs::create_directories(dir.file("open"));
  fs::permissions(dir.file("open"), fs::perms::all);
  ASSERT_TRUE(SpecFolder::openPrivate(dir.file("open"), error)) << error;
  EXPECT_EQ(fs::status(dir.file("open")).permissions() & fs::perms::all, fs::perms::owner_all);
  // A link is never taken for the folder, and neither is a file.
  fs::create_directory_symlink(dir.file("open"), dir.file("link"));
  EXPECT_FALSE(SpecFolder::openPrivate(dir.file("link"), error));
  EXPECT_NE(error, 0);
  EXPECT_EQ(fs::status(dir.file("open")).permissions() & fs::perms::all, fs::perms::owner_all);
  writeRaw(dir.file("plain"), "");
  EXPECT_FALSE(SpecFolder::openPrivate(dir.file("plain"), error));
  EXPECT_NE(error, 0);
}

TEST(KeyValueText, ParsesAndFormatsLikeTheFileReaderAndWriter) {
  KeyValueMap entries;
  ASSERT_TRUE(parseKeyValueText("b=2\r\nnoseparator\n=empty\na=1\nb=3\n\nc=", entries));
  EXPECT_EQ(formatKeyValueText(entries), "a=1\nb=2\r\nb=3\nc=");
  std::string many;
  for (std::size_t i = 0; i <= kMaxKeyValueRecords; ++i) many += "k=v\n";
  EXPECT_FALSE(parseKeyValueText(many, entries));
  EXPECT_TRUE(entries.empty());
}

}  // namespace
}  // namespace ZelcorCorelib::platform
