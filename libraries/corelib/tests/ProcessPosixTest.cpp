// Tests of the POSIX process layer; this file alone may call POSIX itself, to check it.
#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace ZelcorCorelib::platform {
namespace {

using test::readRaw;
using test::TempDir;
using test::writeScript;
using testing::waitFor;

// Waits for the child to end and gives its exit code; -1000 when it did not end in time.
int waitForExit(ProcessId pid) {
  ChildStatus last;
  bool ended = waitFor([&] {
    last = pollChild(pid);
    return last.state != ChildState::running;
  });
  if (!ended || last.state != ChildState::ended) return -1000;
  return last.exitCode;
}

TEST(ProcessPosix, ExitStatusAndSignalDeathAreReported) {
  TempDir dir;
  struct Case {
    const char* body;
    int expected;
  } cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"exit 255", 255},
      {"kill -TERM $$", 128 + SIGTERM},
      {"kill -KILL $$", 128 + SIGKILL},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string script = writeScript(dir, "s" + std::to_string(index++) + ".sh", c.body);
    SpawnResult spawned = spawnProcess(script, {});
    ASSERT_GT(spawned.pid, 0) << c.body;
    EXPECT_EQ(waitForExit(spawned.pid), c.expected) << c.body;
    // Reaped: the pid is no child of ours any more.
    EXPECT_EQ(pollChild(spawned.pid).state, ChildState::unknown) << c.body;
  }
}

TEST(ProcessPosix, ProgramThatCannotRunFailsAtSpawn) {
  TempDir dir;
  std::string plain = dir.file("plain.sh");
  std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
  std::filesystem::permissions(
      plain, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  struct Case {
    std::string program;
    int error;
  } cases[] = {
      {dir.file("missing"), ENOENT},
      {plain, EACCES},
      {dir.str(), EACCES},
      {"zelcor-no-such-program-on-path", ENOENT},
      {"", ENOENT},
  };
  for (const Case& c : cases) {
    SpawnResult spawned = spawnProcess(c.program, {"x"});
    EXPECT_EQ(spawned.pid, 0) << c.program;
    EXPECT_EQ(spawned.error, c.error) << c.program;
  }
}

TEST(ProcessPosix, ArgvEnvironmentAndDirectoryReachTheChild) {
  TempDir dir;
  std::string out = dir.file("out.txt");
  std::string script = writeScript(
      dir, "args.sh",
      "{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; echo \"$ZELCOR_SPAWN_TEST\"; "
      "pwd; } > '" +
          out + "'");
  ASSERT_EQ(::setenv("ZELCOR_SPAWN_TEST", "inherited value", 1), 0);
  SpawnResult spawned = spawnProcess(script, {"a b", "", "\"q\"", "*"});
  ::unsetenv("ZELCOR_SPAWN_TEST");
  ASSERT_GT(spawned.pid, 0);
  ASSERT_EQ(waitForExit(spawned.pid), 0);
  std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(readRaw(out), "4\n[a b]\n[]\n[\"q\"]\n[*]\ninherited value\n" + cwd + "\n");

  // A bare name is looked up on PATH.
  spawned = spawnProcess("sh", {"-c", "exit 7"});
  ASSERT_GT(spawned.pid, 0);
  EXPECT_EQ(waitForExit(spawned.pid), 7);
}

TEST(ProcessPosix, ChildStartsWithDefaultSignalsAndEmptyMask) {
  TempDir dir;
  // A shell keeps a signal ignored that was ignored when it started: only a reset disposition
  // lets the SIGPIPE end it.
  std::string script = writeScript(dir, "pipe.sh", "kill -PIPE $$\nexit 0");
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  sigset_t blocked;
  sigset_t oldMask;
  ::sigemptyset(&blocked);
  ::sigaddset(&blocked, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &oldMask), 0);
  SpawnResult pipeChild = spawnProcess(script, {});
  SpawnResult termChild = spawnProcess("sleep", {"1000"});
  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_GT(pipeChild.pid, 0);
  ASSERT_GT(termChild.pid, 0);
  EXPECT_EQ(waitForExit(pipeChild.pid), 128 + SIGPIPE);
  ASSERT_TRUE(terminateProcessGroup(termChild.pid));
  EXPECT_EQ(waitForExit(termChild.pid), 128 + SIGTERM);
}

TEST(ProcessPosix, DescriptorsAreInheritedOnlyWhenAsked) {
  TempDir dir;
  // Opened without close-on-exec on purpose: the one kind a child could inherit.
  int open = ::open(dir.file("held").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(open, 3);
  std::string script = writeScript(
      dir, "fd.sh", "test -e /proc/$$/fd/" + std::to_string(open) + " && exit 10\nexit 20");
  SpawnOptions inherit;
  SpawnOptions closed;
  closed.inheritDescriptors = false;
  SpawnResult a = spawnProcess(script, {}, inherit);
  SpawnResult b = spawnProcess(script, {}, closed);
  ::close(open);
  ASSERT_GT(a.pid, 0);
  ASSERT_GT(b.pid, 0);
  EXPECT_EQ(waitForExit(a.pid), 10);
  EXPECT_EQ(waitForExit(b.pid), 20);
}

TEST(ProcessPosix, StopReachesTheWholeGroup) {
  TempDir dir;
  std::string grandchildPid = dir.file("grandchild.pid");
  std::string script = writeScript(dir, "tree.sh",
                                   "sleep 1000 &\necho $! > '" + grandchildPid + ".tmp'\nmv '" +
                                       grandchildPid + ".tmp' '" + grandchildPid + "'\nwait");
  SpawnResult spawned = spawnProcess(script, {});
  ASSERT_GT(spawned.pid, 0);
  EXPECT_EQ(::getpgid(spawned.pid), spawned.pid);
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(grandchildPid); }));
  ProcessId grandchild = std::atoi(readRaw(grandchildPid).c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_EQ(::getpgid(grandchild), spawned.pid);
  EXPECT_TRUE(isProcessAlive(grandchild));

  ASSERT_TRUE(terminateProcessGroup(spawned.pid));
  EXPECT_EQ(waitForExit(spawned.pid), 128 + SIGTERM);
  // Not our child: init reaps it once it has ended.
  EXPECT_TRUE(waitFor([&] { return !isProcessAlive(grandchild); }));
}

TEST(ProcessPosix, FactsOfARunningProcess) {
  std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  SpawnResult spawned = spawnProcess("sleep", {"1000"});
  ASSERT_GT(spawned.pid, 0);
  ProcessId pid = spawned.pid;
  EXPECT_TRUE(isProcessAlive(pid));
  EXPECT_TRUE(waitFor([&] {
    auto line = processCommandLine(pid);
    return line && *line == std::vector<std::string>{"sleep", "1000"};
  }));
  auto image = processImagePath(pid);
  ASSERT_TRUE(image);
  EXPECT_EQ(std::filesystem::path(*image).filename(), "sleep");
  EXPECT_TRUE(std::filesystem::path(*image).is_absolute());
  auto ticks = processStartTicks(pid);
  ASSERT_TRUE(ticks);
  EXPECT_EQ(processStartTicks(pid), ticks);
  auto started = processStartTime(pid);
  ASSERT_TRUE(started);
  EXPECT_GE(*started, before - 2);
  EXPECT_LE(*started, static_cast<std::int64_t>(std::time(nullptr)) + 2);
  // This process started earlier than its child.
  auto own = processStartTicks(::getpid());
  ASSERT_TRUE(own);
  EXPECT_LE(*own, *ticks);

  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  // Ended but not yet reaped: a zombie is not alive.
  EXPECT_TRUE(waitFor([&] { return !isProcessAlive(pid); }));
  EXPECT_EQ(waitForExit(pid), 128 + SIGKILL);
  EXPECT_FALSE(isProcessAlive(pid));
  EXPECT_FALSE(processCommandLine(pid));
  EXPECT_FALSE(processStartTicks(pid));
}

TEST(ProcessPosix, IdsThatAddressGroupsOrEveryoneAreRefused) {
  for (ProcessId pid : {0, -1, -2}) {
    EXPECT_FALSE(isProcessAlive(pid)) << pid;
    EXPECT_FALSE(processImagePath(pid)) << pid;
    EXPECT_FALSE(processCommandLine(pid)) << pid;
    EXPECT_FALSE(processStartTime(pid)) << pid;
    EXPECT_EQ(pollChild(pid).state, ChildState::unknown) << pid;
  }
  for (ProcessId pid :
       {0, 1, -1, static_cast<ProcessId>(::getpid()), static_cast<ProcessId>(::getpgrp())}) {
    EXPECT_FALSE(terminateProcessGroup(pid)) << pid;
  }
  // Init is alive, but it is not our child.
  EXPECT_TRUE(isProcessAlive(1));
  EXPECT_EQ(pollChild(1).state, ChildState::unknown);
}

TEST(ProcessPosix, StandardOutputCanBeRedirected) {
  TempDir dir;
  std::string target = dir.file("stdout.txt");
  std::fflush(stdout);
  int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  int file = ::open(target.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  ASSERT_TRUE(redirectStandardOutput(file));
  EXPECT_EQ(::fcntl(file, F_GETFD), -1);  // taken over and closed
  std::printf("to the file\n");
  EXPECT_TRUE(redirectStandardOutput(saved));
  EXPECT_FALSE(redirectStandardOutput(-1));
  EXPECT_EQ(readRaw(target), "to the file\n");
}

// Field 6 of /proc/<pid>/stat, the session id; 0 when it cannot be read.
long sessionOf(ProcessId pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string state;
  long parent = 0, group = 0, session = 0;
  fields >> state >> parent >> group >> session;
  return session;
}

TEST(ProcessPosix, HandedDescriptorsAndANewSessionReachTheChild) {
  Handle readEnd, writeEnd;
  ASSERT_TRUE(makePipe(readEnd, writeEnd));
  std::string text;
  EXPECT_EQ(readAvailable(readEnd.get(), text), ReadState::empty);
  SpawnOptions options;
  options.inheritDescriptors = false;
  options.newSession = true;
  // The write end lands on 5 and 3 is taken by nothing handed over; the order of numbers in
  // the list must not matter.
  options.descriptors = {{writeEnd.get(), 5}};
  SpawnResult child = spawnProcess(
      "/bin/sh",
      {"-c", "echo \"hello $$\" >&5; [ -e /proc/self/fd/3 ] || echo closed >&5; exec sleep 30"},
      options);
  ASSERT_GT(child.pid, 0);
  writeEnd.reset();
  ASSERT_TRUE(waitFor([&] {
    readAvailable(readEnd.get(), text);
    return text.find("closed") != std::string::npos;
  })) << text;
  EXPECT_EQ(text, "hello " + std::to_string(child.pid) + "\nclosed\n");
  EXPECT_EQ(sessionOf(child.pid), child.pid);
  EXPECT_NE(sessionOf(child.pid), sessionOf(::getpid()));
  EXPECT_TRUE(waitReadable({readEnd.get()}, std::chrono::milliseconds(0)).empty());

  // A process handle: readable once it ended, and the pipe's end with it.
  Handle process = openProcessHandle(child.pid);
  ASSERT_TRUE(process.valid());
  EXPECT_TRUE(waitReadable({-1, process.get()}, std::chrono::milliseconds(0)).empty());
  ASSERT_TRUE(signalProcessHandle(process, SIGTERM));
  EXPECT_EQ(waitReadable({-1, process.get()}, std::chrono::milliseconds(10'000)),
            std::vector<std::size_t>{1});
  EXPECT_EQ(waitChild(child.pid).exitCode, 128 + SIGTERM);
  EXPECT_EQ(readAvailable(readEnd.get(), text), ReadState::ended);
  // Nothing to open for a process that is gone.
  EXPECT_FALSE(openProcessHandle(child.pid).valid());
  EXPECT_FALSE(openProcessHandle(0).valid());
}

TEST(ProcessPosix, BootIdNamesThisBoot) {
  const std::string id = bootId();
  EXPECT_EQ(id.size(), 36u) << id;
  EXPECT_EQ(id, bootId());
}

}  // namespace
}  // namespace ZelcorCorelib::platform
