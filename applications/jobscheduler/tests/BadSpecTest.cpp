// Spec files that are no jobs, met again on every pass of the scheduling loop: each is
// reported once with its path and reason, kept as it is, tried again once it changes; and a
// file of millions of records is refused before it can take the memory of the process.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "JobQueue.h"
#include "files/KeyValueFile.h"
#include "support/LogSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::KeyValueMap;
using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::test::writeScript;

const char* const kRefused = "@jobscheduler.load.spec-refused";

TEST(BadSpec, ARefusedFileIsReportedOnceAndTriedAgainOnceItChanges) {
  TempDir dir;
  const std::string pending = dir.file("pending");
  fs::create_directories(pending);
  const std::string program = writeScript(dir, "run.sh", "exit 0");
  const std::string missing = pending + "/missing.spec";
  const std::string empty = pending + "/empty.spec";
  writeRaw(missing, "executable=" + dir.file("nowhere") + "\n");
  writeRaw(empty, "");
  JobQueue queue;
  queue.setName("nightly");

  test::LogSink log({"JobQueue", "Job"});
  for (int pass = 0; pass < 3; ++pass) {
    queue.load({missing, empty}, dir.file("queued"), 1);
  }
  EXPECT_EQ(log.count(kRefused), 2u);
  EXPECT_EQ(log.count(std::string(kRefused) +
                      "{Spec file \"%\" is not a job: %. It stays where "
                      "it is and is tried again once it changes.}; | " +
                      missing + " | its executable \"" + dir.file("nowhere") + "\" does not exist"),
            1u);
  EXPECT_EQ(log.count("it names no executable"), 1u);
  // The first pass counted both; the later ones had nothing new to say.
  EXPECT_EQ(log.count("JobQueue::load: Found % unreadable job files."), 1u);
  EXPECT_EQ(readRaw(missing), "executable=" + dir.file("nowhere") + "\n");
  EXPECT_EQ(queue.getJobCount(), 0u);

  // Rewritten into a job, the file is taken; removed, it is forgotten.
  writeRaw(missing, "executable=" + program + "\n");
  fs::remove(empty);
  queue.load({missing}, dir.file("queued"), 1);
  EXPECT_EQ(queue.getJobCount(), 1u);
  EXPECT_TRUE(fs::exists(dir.file("queued") + "/nightly/missing.spec"));
  // A new file under the old name is new: it is reported again.
  writeRaw(empty, "");
  queue.load({empty}, dir.file("queued"), 1);
  EXPECT_EQ(log.count("it names no executable"), 2u);
}

TEST(BadSpec, MoreRecordsThanTheBoundAreRefusedWhole) {
  TempDir dir;
  const std::string path = dir.file("many.spec");
  std::string text = "executable=/bin/true\n";
  for (std::size_t i = 1; i < ZelcorCorelib::kMaxKeyValueRecords; ++i) text += "k=v\n";
  writeRaw(path, text);
  KeyValueMap map;
  ASSERT_TRUE(ZelcorCorelib::readKeyValueFile(path, map));
  EXPECT_EQ(map.size(), ZelcorCorelib::kMaxKeyValueRecords);
  // Lines without "=" cost nothing to keep and do not count.
  writeRaw(path, text + "no separator\n\n");
  ASSERT_TRUE(ZelcorCorelib::readKeyValueFile(path, map));
  // One more record, with or without a line feed after it.
  for (const char* last : {"k=v\n", "k=v"}) {
    writeRaw(path, text + last);
    map = {{"stale", "entry"}};
    EXPECT_FALSE(ZelcorCorelib::readKeyValueFile(path, map)) << last;
    EXPECT_TRUE(map.empty()) << last;
  }
}

}  // namespace
}  // namespace Zelcor
