#include "JobWait.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::test::writeRaw;

ZelcorCorelib::KeyValueMap keys(
    std::initializer_list<std::pair<const std::string, std::string>> l) {
  return ZelcorCorelib::KeyValueMap(l);
}

// A job is found under its own name or a free one the scheduler gave it, never as an earlier
// namesake, a file of another stem, a file not yet stamped as ended, or a link.
TEST(JobWait, FindsTheJobsFinishedFileByNameAndCreated) {
  ZelcorCorelib::test::TempDir finished;
  writeRaw(finished.file("nightly.spec"), "created=1\nended=5\nexit-status=0");
  writeRaw(finished.file("nightly.1.spec"), "created=2\nended=6\nexit-status=3");
  writeRaw(finished.file("nightly.x.spec"), "created=3\nended=6\nexit-status=4");
  writeRaw(finished.file("nightly-2.spec"), "created=3\nended=6\nexit-status=4");
  writeRaw(finished.file("nightly.2.spec"), "created=4\nexit-status=4");
  fs::create_symlink(finished.file("nightly.spec"), finished.file("nightly.3.spec"));

  auto found = JobWait::findFinished(finished.str(), "nightly", "");
  ASSERT_TRUE(found);
  EXPECT_EQ(fs::path(found->path).filename(), "nightly.spec");
  found = JobWait::findFinished(finished.str(), "nightly", "2");
  ASSERT_TRUE(found);
  EXPECT_EQ(fs::path(found->path).filename(), "nightly.1.spec");
  for (const char* created : {"3", "4", "9"}) {
    EXPECT_FALSE(JobWait::findFinished(finished.str(), "nightly", created)) << created;
  }
  EXPECT_FALSE(JobWait::findFinished(finished.str(), "night", ""));
  EXPECT_FALSE(JobWait::findFinished(finished.file("missing"), "nightly", ""));
  EXPECT_EQ(JobWait::stemOf("a.spec"), "a");
  EXPECT_EQ(JobWait::stemOf("a"), "a");
  EXPECT_EQ(JobWait::stemOf(".spec"), ".spec");
}

TEST(JobWait, ExitCodesFollowTheStatusAndTheEndReason) {
  EXPECT_EQ(JobWait::exitCodeOf(keys({{"exit-status", "7"}, {"end-reason", "exit"}})), 7);
  EXPECT_EQ(JobWait::exitCodeOf(keys({{"exit-status", "137"}, {"end-reason", "signal"}})), 137);
  EXPECT_EQ(JobWait::exitCodeOf(keys({{"exit-status", "127"}, {"end-reason", "not-started"}})),
            127);
  EXPECT_EQ(JobWait::exitCodeOf(keys({{"exit-status", "143"}, {"end-reason", "time-limit"}})),
            JobWait::kExitTimeLimit);
  EXPECT_EQ(JobWait::exitCodeOf(keys({{"exit-status", "143"}, {"end-reason", "cancelled"}})),
            JobWait::kExitCancelled);
  // Written before end reasons existed: the status alone.
  EXPECT_EQ(JobWait::exitCodeOf(keys({{"exit-status", "0"}})), 0);
  for (const char* bad : {"", "-1", "256", "1000", "7x", " 7"}) {
    EXPECT_FALSE(JobWait::exitCodeOf(keys({{"exit-status", bad}}))) << bad;
  }
  EXPECT_FALSE(JobWait::exitCodeOf(keys({})));
}

}  // namespace
}  // namespace Zelcor
