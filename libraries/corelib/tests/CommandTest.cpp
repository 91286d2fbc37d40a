#include "platform/Command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace ZelcorCorelib::platform {
namespace {

using namespace std::chrono_literals;

// Input in, both streams out, the status as a shell gives it; a program that does not end in
// time is killed with what it started, and a missing one is a start failure, not a status.
TEST(Command, TakesInputGivesBothStreamsAndKeepsToItsTime) {
  const std::string big(300'000, 'x');
  CommandOutcome cat = runCommand("cat", {}, big, 10s);
  EXPECT_TRUE(cat.succeeded());
  EXPECT_EQ(cat.output, big);

  CommandOutcome shell = runCommand("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"}, "", 10s);
  EXPECT_EQ(shell.exitCode, 3);
  EXPECT_FALSE(shell.succeeded());
  EXPECT_EQ(shell.output, "out\n");
  EXPECT_EQ(shell.errors, "err\n");

  CommandOutcome killed = runCommand("/bin/sh", {"-c", "kill -9 $$"}, "", 10s);
  EXPECT_EQ(killed.exitCode, 128 + 9);

  const auto start = std::chrono::steady_clock::now();
  CommandOutcome slow = runCommand("/bin/sh", {"-c", "sleep 30 & sleep 30"}, "", 300ms);
  EXPECT_TRUE(slow.timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

  // Ended, but a child it left holds its output: still within its time, then killed.
  CommandOutcome left = runCommand("/bin/sh", {"-c", "sleep 30 & echo gone"}, "", 300ms);
  EXPECT_TRUE(left.timedOut);
  EXPECT_EQ(left.output, "gone\n");

  CommandOutcome missing = runCommand("no-such-program-here", {}, "", 1s);
  EXPECT_EQ(missing.startError, ENOENT);
  EXPECT_FALSE(missing.succeeded());

  // A program that reads none of a large input still ends normally.
  CommandOutcome deaf = runCommand("/bin/true", {}, std::string(1 << 20, 'y'), 10s);
  EXPECT_TRUE(deaf.succeeded());
}

}  // namespace
}  // namespace ZelcorCorelib::platform
