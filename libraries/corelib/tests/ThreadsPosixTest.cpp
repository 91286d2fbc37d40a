// Tests of the POSIX thread facts; this file alone may call POSIX itself, to check them.
#include "platform/Threads.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace ZelcorCorelib::platform {
namespace {

TEST(ThreadsPosix, ThreadIdIsPerThreadAndFreshAfterFork) {
  std::uint32_t mainId = currentThreadId();
  EXPECT_EQ(mainId, currentThreadId());
  std::uint32_t otherId = 0;
  std::thread([&] { otherId = currentThreadId(); }).join();
  EXPECT_NE(otherId, 0u);
  EXPECT_NE(otherId, mainId);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // In the child the forking thread's id is the child's pid, not the parent's cached id.
    ::_exit(currentThreadId() == static_cast<std::uint32_t>(::getpid()) &&
                    currentProcessId() == ::getpid()
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ZelcorCorelib::platform
