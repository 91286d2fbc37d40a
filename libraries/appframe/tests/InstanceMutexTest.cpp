#include "InstanceMutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "errors/Exception.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class InstanceMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("ZELCOR_LOCK_DIR", folder.str().c_str(), 1); }
  void TearDown() override { ::unsetenv("ZELCOR_LOCK_DIR"); }

  test::TempDir folder{"instance-mutex"};
};

TEST_F(InstanceMutexTest, NameIsMadeSafeForTheSystem) {
  InstanceMutex mutex("a/b:c\\d_Single");
  EXPECT_FALSE(mutex.isPrepared());
  ASSERT_TRUE(mutex.lock(100));
  EXPECT_EQ(mutex.getPreparedName(), "a_b_c_d_Single");
  EXPECT_TRUE(fs::exists(folder.file("a_b_c_d_Single.lock")));
}

TEST_F(InstanceMutexTest, OwnerCountsUpAndAnotherHolderWaitsAbout104Milliseconds) {
  auto first = std::make_unique<InstanceMutex>("JobScheduler_Single");
  ASSERT_TRUE(first->lock(100));
  EXPECT_EQ(first->getLockCount(), 1u);
  EXPECT_GT(first->getOwnerProcessId(), 0);
  ASSERT_TRUE(first->lock(100));
  EXPECT_EQ(first->getLockCount(), 2u);

  InstanceMutex second("JobScheduler_Single");
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(second.lock(100));
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  // Eight tries, 13 ms apart: at least 104 ms of sleep, and no endless wait.
  EXPECT_GE(waited.count(), 104);
  EXPECT_LT(waited.count(), 2000);
  EXPECT_FALSE(second.isLocked());
  EXPECT_EQ(second.getOwnerProcessId(), 0);

  first.reset();
  EXPECT_TRUE(second.lock(100));
}

TEST_F(InstanceMutexTest, EmptyNameFailsAtOnceAndUnusableFolderRaises) {
  InstanceMutex unnamed("");
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(unnamed.lock(100));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(13));
  EXPECT_FALSE(unnamed.isPrepared());

  ::setenv("ZELCOR_LOCK_DIR", folder.file("missing").c_str(), 1);
  InstanceMutex mutex("JobScheduler_Single");
  try {
    mutex.lock(100);
    FAIL() << "no exception";
  } catch (const InstanceMutex::Lock_Failed& failure) {
    EXPECT_EQ(failure.toString(), "Lock_Failed: Cannot use the single-instance lock file \"" +
                                      folder.file("missing") +
                                      "/JobScheduler_Single.lock\": No such file or directory");
  }
}

}  // namespace
}  // namespace ZelcorCorelib
