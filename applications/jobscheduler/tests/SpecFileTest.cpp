#include "SpecFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Job.h"
#include "QueueController.h"
#include "support/JobFolders.h"
#include "support/LogSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using Outcome = SpecFile::Outcome;
using ZelcorCorelib::platform::EntryKind;
using ZelcorCorelib::platform::FsResult;
using ZelcorCorelib::platform::SpecFolder;
using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeRaw;

std::size_t entriesIn(const std::string& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(SpecFile, ReadsARegularFileOnceAndWorksFromMemoryAfterwards) {
  TempDir dir;
  writeRaw(dir.file("a.spec"), "queue=first\nexecutable=/bin/true\nqueue=second\njunk\n=x");
  const SpecFile::Folder folder = SpecFolder::open(dir.str());
  SpecFile spec = SpecFile::read(folder, "a.spec");
  ASSERT_EQ(spec.getOutcome(), Outcome::read);
  EXPECT_EQ(spec.getKind(), EntryKind::regular);
  EXPECT_EQ(spec.getOwnerUid(), ::getuid());
  EXPECT_EQ(spec.getOwnerGid(), ::getgid());
  EXPECT_EQ(spec.getPath(), dir.file("a.spec"));
  // The three readings of a duplicate key: grouping, Job, stamp.
  EXPECT_EQ(spec.firstValue("queue"), "first");
  EXPECT_EQ(spec.lastValue("queue"), "second");
  EXPECT_EQ(Job(spec).getQueueName(), "second");
  EXPECT_FALSE(spec.firstValue("missing").has_value());
  EXPECT_FALSE(spec.lastValue("missing").has_value());

  // Changed behind its back, the file is not read again: the stamp writes what was read.
  writeRaw(dir.file("a.spec"), "executable=/bin/false");
  ASSERT_TRUE(spec.stamp({{"queue", "stamped"}, {"queued", "17"}}));
  EXPECT_EQ(readRaw(dir.file("a.spec")),
            "executable=/bin/true\nqueue=stamped\nqueue=second\nqueued=17");
  EXPECT_EQ(entriesIn(dir.str()), 1u) << "a temporary file was left behind";
}

TEST(SpecFile, EntriesThatAreNoRegularFileAreRefusedWithoutBeingOpenedAsFiles) {
  TempDir dir;
  writeRaw(dir.file("secret.conf"), "executable=/bin/true\nkeep=me");
  fs::create_symlink(dir.file("secret.conf"), dir.file("link.spec"));
  fs::create_symlink("/dev/zero", dir.file("zero.spec"));
  fs::create_directory(dir.file("folder.spec"));
  ASSERT_EQ(::mkfifo(dir.file("fifo.spec").c_str(), 0600), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::mknod(dir.file("device.spec").c_str(), S_IFCHR | 0600, makedev(1, 5)), 0);
  }
  const SpecFile::Folder folder = SpecFolder::open(dir.str());
  struct Case {
    const char* name;
    EntryKind kind;
  };
  std::vector<Case> cases = {{"link.spec", EntryKind::symlink},
                             {"zero.spec", EntryKind::symlink},
                             {"folder.spec", EntryKind::directory},
                             {"fifo.spec", EntryKind::fifo}};
  if (root) cases.push_back({"device.spec", EntryKind::device});
  for (const Case& entry : cases) {
    // A FIFO without a writer would block here for ever if it were opened blocking.
    const SpecFile spec = SpecFile::read(folder, entry.name);
    EXPECT_EQ(spec.getOutcome(), Outcome::notRegular) << entry.name;
    EXPECT_EQ(spec.getKind(), entry.kind) << entry.name;
    EXPECT_TRUE(spec.getRecords().empty()) << entry.name;
  }
  EXPECT_EQ(SpecFile::read(folder, "gone.spec").getOutcome(), Outcome::missing);
  EXPECT_EQ(SpecFile::read(folder, "../secret.conf").getOutcome(), Outcome::missing);
  EXPECT_EQ(readRaw(dir.file("secret.conf")), "executable=/bin/true\nkeep=me");
}

TEST(SpecFile, SizeAndRecordBoundsRefuseWithoutHoldingTheFile) {
  TempDir dir;
  const SpecFile::Folder folder = SpecFolder::open(dir.str());
  writeRaw(dir.file("big.spec"), std::string(SpecFile::kMaxBytes + 1, 'x'));
  writeRaw(dir.file("edge.spec"),
           "executable=/bin/true\n" + std::string(SpecFile::kMaxBytes - 21, 'y'));
  std::string records;
  for (std::size_t i = 0; i <= ZelcorCorelib::kMaxKeyValueRecords; ++i) {
    records += "k" + std::to_string(i) + "=v\n";
  }
  writeRaw(dir.file("records.spec"), records);
  EXPECT_EQ(SpecFile::read(folder, "big.spec").getOutcome(), Outcome::tooLarge);
  const SpecFile edge = SpecFile::read(folder, "edge.spec");
  EXPECT_EQ(edge.getOutcome(), Outcome::read);
  EXPECT_EQ(edge.firstValue("executable"), "/bin/true");
  const SpecFile many = SpecFile::read(folder, "records.spec");
  EXPECT_EQ(many.getOutcome(), Outcome::tooManyRecords);
  EXPECT_TRUE(many.getRecords().empty());
}

TEST(SpecFile, StampReplacesTheNameAndNeverWritesThroughALinkSwappedIn) {
  TempDir dir;
  writeRaw(dir.file("target"), "precious");
  writeRaw(dir.file("a.spec"), "executable=/bin/true");
  SpecFile spec = SpecFile::read(SpecFolder::open(dir.str()), "a.spec");
  ASSERT_TRUE(spec.isRead());
  fs::remove(dir.file("a.spec"));
  fs::create_symlink(dir.file("target"), dir.file("a.spec"));
  ASSERT_TRUE(spec.stamp({{"started", "5"}}));
  EXPECT_EQ(readRaw(dir.file("target")), "precious");
  EXPECT_FALSE(fs::is_symlink(dir.file("a.spec")));
  EXPECT_EQ(readRaw(dir.file("a.spec")), "executable=/bin/true\nstarted=5");
  EXPECT_EQ(entriesIn(dir.str()), 2u);

  // A folder that refuses the temporary file: nothing changes, in memory or on disk.
  if (::geteuid() != 0) {
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(spec.stamp({{"started", "6"}}));
    EXPECT_EQ(spec.firstValue("started"), "5");
    fs::permissions(dir.path(), fs::perms::owner_all);
  }
}

TEST(SpecFile, InAGroupCommitAStampThatOnlyAddsKeysIsAddedAtTheEnd) {
  TempDir dir;
  writeRaw(dir.file("add.spec"), "executable=/bin/true\nz=last\n");
  writeRaw(dir.file("drop.spec"), "executable=/bin/true\nrun-id=forged\n");
  writeRaw(dir.file("open.spec"), "executable=/bin/true");
  const SpecFile::Folder folder = SpecFolder::open(dir.str());
  SpecFile add = SpecFile::read(folder, "add.spec");
  SpecFile drop = SpecFile::read(folder, "drop.spec");
  SpecFile open = SpecFile::read(folder, "open.spec");
  folder->deferRenames(true);
  EXPECT_TRUE(add.stamp({{"queued", "100"}}, {"run-id"}));
  // A key to drop, and a last line without its end, need the whole file rewritten.
  EXPECT_TRUE(drop.stamp({{"queued", "100"}}, {"run-id"}));
  EXPECT_TRUE(open.stamp({{"queued", "100"}}, {"run-id"}));
  ASSERT_TRUE(folder->flushRenames());
  folder->deferRenames(false);
  EXPECT_EQ(readRaw(dir.file("add.spec")), "executable=/bin/true\nz=last\nqueued=100\n");
  for (SpecFile* spec : {&add, &drop, &open}) {
    // What is on disk reads back as the records the scheduler works from.
    const SpecFile again = SpecFile::read(folder, spec->getName());
    EXPECT_EQ(again.getRecords(), spec->getRecords()) << spec->getName();
    EXPECT_EQ(again.firstValue("queued"), "100");
    EXPECT_FALSE(again.firstValue("run-id").has_value());
  }
}

TEST(SpecFile, MoveNeverReplacesAndFollowsTheFileIntoItsFolder) {
  TempDir dir;
  fs::create_directories(dir.file("from"));
  fs::create_directories(dir.file("to"));
  writeRaw(dir.file("from/a.spec"), "executable=/bin/true");
  writeRaw(dir.file("to/a.spec"), "earlier=run");
  const SpecFile::Folder from = SpecFolder::open(dir.file("from"));
  const SpecFile::Folder to = SpecFolder::open(dir.file("to"));
  SpecFile spec = SpecFile::read(from, "a.spec");
  EXPECT_EQ(spec.moveTo(to), FsResult::targetExists);
  EXPECT_EQ(readRaw(dir.file("to/a.spec")), "earlier=run");
  EXPECT_EQ(spec.getPath(), dir.file("from/a.spec"));
  // A dangling link is a name too.
  fs::create_symlink(dir.file("nowhere"), dir.file("to/b.spec"));
  EXPECT_EQ(spec.moveTo(to, "b.spec"), FsResult::targetExists);
  EXPECT_EQ(spec.moveTo(to, "a.1.spec"), FsResult::ok);
  EXPECT_EQ(spec.getPath(), dir.file("to/a.1.spec"));
  EXPECT_FALSE(fs::exists(dir.file("from/a.spec")));
  ASSERT_TRUE(spec.stamp({{"ended", "9"}}));
  EXPECT_EQ(readRaw(dir.file("to/a.1.spec")), "executable=/bin/true\nended=9\n");
  EXPECT_EQ(spec.moveTo(nullptr), FsResult::failed);
}

const std::string kNotRegular = "not a regular file. It stays where it is.}; | ";

class SpecFileScan : public test::JobFolders {
 protected:
  SpecFileScan() : JobFolders("specfile") { giveFoldersTo(controller); }
  std::atomic<std::uint8_t> quit{0};
  CorePool cores;
  QueueController controller{&quit, cores};
};

TEST_F(SpecFileScan, NonRegularEntriesAreReportedOnceEachWhileThereAndNeverRead) {
  controller.initQueues();
  const std::string secret = dir.file("secret.conf");
  writeRaw(secret, "executable=/bin/true\nqueue=queue_normal\nkeep=me");
  fs::create_symlink(secret, pending + "/link.spec");
  fs::create_symlink("/dev/zero", pending + "/zero.spec");
  fs::create_directory(pending + "/folder.spec");
  ASSERT_EQ(::mkfifo((pending + "/fifo.spec").c_str(), 0600), 0);
  test::LogSink log({"QueueCtrl"});
  for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(controller.runOnce());
  for (const char* name : {"link.spec", "zero.spec", "folder.spec", "fifo.spec"}) {
    EXPECT_EQ(log.count(kNotRegular + pending + "/" + name + " | "), 1u) << name;
  }
  EXPECT_EQ(readRaw(secret), "executable=/bin/true\nqueue=queue_normal\nkeep=me");
  EXPECT_TRUE(fs::is_symlink(pending + "/link.spec"));
  EXPECT_TRUE(controller.getQueues().front().isEmpty());
  // Gone and back: reported again, once.
  fs::remove(pending + "/fifo.spec");
  ASSERT_TRUE(controller.runOnce());
  ASSERT_EQ(::mkfifo((pending + "/fifo.spec").c_str(), 0600), 0);
  ASSERT_TRUE(controller.runOnce());
  ASSERT_TRUE(controller.runOnce());
  EXPECT_EQ(log.count(kNotRegular + pending + "/fifo.spec | "), 2u);
}

}  // namespace
}  // namespace Zelcor
