#include "QuitSignal.h"

#include <gtest/gtest.h>

#include <csignal>

namespace ZelcorCorelib {
namespace {

TEST(QuitSignal, EachQuitSignalSetsTheFlagAndABrokenPipeIsIgnored) {
  ASSERT_TRUE(installSignalHandler());
  for (int number : {SIGINT, SIGTERM}) {
    quitSignal.store(0);
    ASSERT_EQ(std::raise(number), 0);
    EXPECT_EQ(quitSignal.load(), 1) << "signal " << number;
  }
  // Without the handler SIGPIPE would end this test program.
  quitSignal.store(0);
  ASSERT_EQ(std::raise(SIGPIPE), 0);
  EXPECT_EQ(quitSignal.load(), 0);
}

TEST(QuitSignal, AbortStillEndsTheProgramAfterSettingTheFlag) {
  // The flag is set, and abort goes on to end the process as before.
  EXPECT_EXIT(
      {
        installSignalHandler();
        quitSignal.store(0);
        std::raise(SIGABRT);
        std::_Exit(quitSignal.load() == 1 ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_DEATH(
      {
        installSignalHandler();
        std::abort();
      },
      "");
}

}  // namespace
}  // namespace ZelcorCorelib
