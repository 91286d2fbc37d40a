#include "CorePool.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace Zelcor {
namespace {

using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeRaw;

TEST(CorePool, TakeAndReleaseStayWithinZeroAndTotal) {
  CorePool pool;
  EXPECT_EQ(pool.getTotalCores(), 1u);
  EXPECT_EQ(pool.getAvailableCores(), 1u);
  EXPECT_FALSE(pool.releaseCore());
  EXPECT_TRUE(pool.takeCore());
  EXPECT_FALSE(pool.takeCore());
  EXPECT_EQ(pool.getAvailableCores(), 0u);
  EXPECT_TRUE(pool.releaseCore());
  EXPECT_FALSE(pool.releaseCore());
  EXPECT_EQ(pool.getAvailableCores(), 1u);
}

TEST(CorePool, MaxCoresRuleWorksOnTheCurrentValues) {
  struct Case {
    std::uint32_t machine;
    std::vector<std::int32_t> limits;  // applied in order: configured, then command line
    std::uint32_t expected;
  };
  const Case cases[] = {
      {8, {3}, 3},   {8, {0}, 7},       {8, {-2}, 6},    {8, {-7}, 2},    {2, {0}, 2},
      {1, {0}, 1},   {3, {0}, 2},       {2, {-5}, 2},    {3, {-1}, 2},    {8, {0, 0}, 6},
      {8, {12}, 12}, {8, {INT_MIN}, 2}, {8, {5, -2}, 3}, {8, {-2, 1}, 1},
  };
  for (const Case& c : cases) {
    CorePool pool;
    pool.setCores(c.machine);
    for (std::int32_t limit : c.limits) pool.applyMaxCores(limit);
    EXPECT_EQ(pool.getTotalCores(), c.expected) << c.machine << " cores, first " << c.limits[0];
    EXPECT_EQ(pool.getAvailableCores(), c.expected) << c.machine;
  }

  // Cores in use stay in use when the pool shrinks by one.
  CorePool pool;
  pool.setCores(4);
  pool.takeCore();
  pool.applyMaxCores(0);
  EXPECT_EQ(pool.getTotalCores(), 3u);
  EXPECT_EQ(pool.getAvailableCores(), 2u);
}

TEST(CorePool, SysinfoGivesTheCoresOnlyWhenItHoldsAUsableCount) {
  TempDir dir("corepool");
  struct Case {
    const char* content;
    bool accepted;
    std::uint32_t cores;  // after reading, starting from 3
  };
  const Case cases[] = {
      {"cores=8", true, 8},
      {"os=linux\ncores= 12abc\nmemory=4096", true, 12},
      {"cores=4\ncores=9", true, 4},
      {"cores=0", false, 3},
      {"cores=-1", false, 3},
      {"cores=-4294967295", false, 3},
      {"cores=", false, 3},
      {"cores=many", false, 3},
      {"memory=4096\ncores =8", false, 3},
      {"", false, 3},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string path = dir.file("sysinfo" + std::to_string(index++));
    writeRaw(path, c.content);
    CorePool pool;
    pool.setCores(3);
    EXPECT_EQ(pool.readSysinfo(path), c.accepted) << c.content;
    EXPECT_EQ(pool.getTotalCores(), c.cores) << c.content;
    EXPECT_EQ(pool.getAvailableCores(), c.cores) << c.content;
    EXPECT_EQ(pool.getSysinfoPath(), path);
  }

  CorePool pool;
  EXPECT_FALSE(pool.readSysinfo(dir.file("missing")));
  EXPECT_EQ(pool.getSysinfoPath(), dir.file("missing"));
  EXPECT_FALSE(pool.readSysinfo(dir.str()));
  EXPECT_EQ(pool.getTotalCores(), 1u);

  // No file and a configured 0: one job at a time.
  pool.applyMaxCores(0);
  EXPECT_EQ(pool.getTotalCores(), 1u);
}

}  // namespace
}  // namespace Zelcor
