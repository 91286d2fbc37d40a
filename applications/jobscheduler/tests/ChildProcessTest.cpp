#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ProcessRegistry.h"
#include "platform/Process.h"
#include "platform/Threads.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;
namespace platform = ZelcorCorelib::platform;

bool waitUntilEnded(const ChildProcess::Pointer& process) {
  return waitFor([&] { return !process->poll(); });
}

TEST(ChildProcess, SplitJoinAndArgv) {
  struct Case {
    const char* arguments;
    std::vector<std::string> list;
    const char* commandLine;  // after "prog"
    std::vector<std::string> argv;
  } cases[] = {
      {"", {}, "prog", {}},
      {"   ", {}, "prog", {}},
      {"  -a   -b  ", {"-a", "-b"}, "prog -a -b", {"-a", "-b"}},
      // A quoted path with a blank is one entry and is quoted again on the command line.
      {"-c \"/my dir/job.conf\" -v",
       {"-c", "/my dir/job.conf", "-v"},
       "prog -c \"/my dir/job.conf\" -v",
       {"-c", "/my dir/job.conf", "-v"}},
      {"-c \"/my dir/job.conf\"",
       {"-c", "/my dir/job.conf"},
       "prog -c \"/my dir/job.conf\"",
       {"-c", "/my dir/job.conf"}},
      // A quote opened inside an entry keeps it whole; the entry is wrapped once more.
      {"--name=\"a b\" x",
       {"--name=\"a b\"", "x"},
       "prog \"--name=\"a b\"\" x",
       {"--name=a b", "x"}},
      // Escaped quotes inside quotes.
      {"\"say \\\"hi\\\"\" x",
       {"say \\\"hi\\\"", "x"},
       "prog \"say \\\"hi\\\"\" x",
       {"say \"hi\"", "x"}},
      // Backslashes: a pair inside quotes is one; outside quotes they stay unless a quote follows.
      {"\"a b\\\\c\" C:\\\\d\\\\",
       {"a b\\\\c", "C:\\\\d\\\\"},
       "prog \"a b\\\\c\" C:\\\\d\\\\",
       {"a b\\c", "C:\\\\d\\\\"}},
      {"\"my dir\\\\\" x", {"my dir\\\\", "x"}, "prog \"my dir\\\\\" x", {"my dir\\", "x"}},
      // Only the last entry loses single quotes; single quotes never group.
      {"'a b' 'c'", {"'a", "b'", "c"}, "prog 'a b' c", {"'a", "b'", "c"}},
      // An empty quoted entry is listed but joins and runs as nothing.
      {"\"\" x \"\"", {"", "x"}, "prog x", {"x"}},
      // An unterminated quote runs to the end.
      {"a \"b c", {"a", "\"b c"}, "prog a \"b c", {"a", "b c"}},
      // Only the blank separates.
      {"a\tb", {"a\tb"}, "prog a\tb", {"a\tb"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> list = ChildProcess::splitArguments(c.arguments);
    EXPECT_EQ(list, c.list) << c.arguments;
    EXPECT_EQ(ChildProcess::buildCommandLine("prog", list), c.commandLine) << c.arguments;
    std::vector<std::string> argv;
    for (const std::string& entry : list) {
      if (!entry.empty()) argv.push_back(ChildProcess::argvElement(entry));
    }
    EXPECT_EQ(argv, c.argv) << c.arguments;
  }
}

TEST(ChildProcess, ExitCodesOfRealChildren) {
  TempDir dir;
  struct Case {
    const char* body;
    int expected;
  } cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"kill -TERM $$", 128 + SIGTERM},
      {"kill -KILL $$", 128 + SIGKILL},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string script = writeScript(dir, "s" + std::to_string(index++) + ".sh", c.body);
    ChildProcess::Pointer process = createChildProcess(script, "", false, true);
    ASSERT_TRUE(process);
    EXPECT_EQ(process->getState(), ChildProcess::kNotStarted);
    EXPECT_EQ(process->getExitCode(), -1);
    ASSERT_TRUE(process->run()) << c.body;
    EXPECT_GT(process->getPid(), 0u);
    EXPECT_EQ(process->getThreadId(), process->getPid());
    EXPECT_EQ(process->getParentPid(), static_cast<std::uint32_t>(platform::currentProcessId()));
    EXPECT_EQ(process->getCommandLine(), script);
    ASSERT_TRUE(waitUntilEnded(process)) << c.body;
    EXPECT_EQ(process->getState(), ChildProcess::kEnded);
    EXPECT_EQ(process->getExitCode(), c.expected) << c.body;
    // An ended child is asked nothing more: no second reap, no signal to a reused pid.
    EXPECT_FALSE(process->requestStop());
    EXPECT_FALSE(process->poll());
    EXPECT_EQ(process->getExitCode(), c.expected);
  }
}

TEST(ChildProcess, ProgramThatCannotStartFailsAtOnce) {
  TempDir dir;
  std::string notExecutable = dir.file("plain.sh");
  std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
  struct Case {
    std::string command;
    int error;
  } cases[] = {
      {dir.file("missing.sh"), ENOENT},
      {notExecutable, EACCES},
      {"zelcor-no-such-program", ENOENT},
  };
  std::size_t registered = ProcessRegistry::instance().size();
  for (const Case& c : cases) {
    ChildProcess::Pointer process = createChildProcess(c.command, "-x", false, true);
    ASSERT_TRUE(process);
    EXPECT_FALSE(process->run()) << c.command;
    EXPECT_EQ(process->getStartError(), c.error) << c.command;
    EXPECT_EQ(process->getState(), ChildProcess::kNotStarted);
    EXPECT_EQ(process->getPid(), 0u);
    EXPECT_FALSE(process->requestStop());
  }
  EXPECT_EQ(ProcessRegistry::instance().size(), registered);
}

TEST(ChildProcess, QuotedArgumentsArriveAsSingleArgvElements) {
  TempDir dir;
  std::string out = dir.file("argv.txt");
  std::string script = writeScript(
      dir, "argv.sh",
      "{ echo \"$#\"; while [ $# -gt 0 ]; do echo \"[$1]\"; shift; done; } > '" + out + "'");
  ChildProcess::Pointer process = createChildProcess(
      script, "-c \"/my dir/job.conf\" --name=\"a b\" \"say \\\"hi\\\"\" plain", false, true);
  ASSERT_TRUE(process->run());
  EXPECT_EQ(process->getCommandLine(),
            script + " -c \"/my dir/job.conf\" \"--name=\"a b\"\" \"say \\\"hi\\\"\" plain");
  ASSERT_TRUE(waitUntilEnded(process));
  EXPECT_EQ(process->getExitCode(), 0);
  EXPECT_EQ(readRaw(out), "5\n[-c]\n[/my dir/job.conf]\n[--name=a b]\n[say \"hi\"]\n[plain]\n");
}

TEST(ChildProcess, StopReachesTheChildsOwnChild) {
  TempDir dir;
  std::string grandchildFile = dir.file("grandchild.pid");
  std::string script = writeScript(dir, "tree.sh",
                                   "sleep 1000 &\necho $! > '" + grandchildFile + ".tmp'\nmv '" +
                                       grandchildFile + ".tmp' '" + grandchildFile + "'\nwait");
  ChildProcess::Pointer process = createChildProcess(script, "", false, true);
  ASSERT_TRUE(process->run());
  EXPECT_FALSE(process->run());  // still running
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(grandchildFile); }));
  int grandchild = std::stoi(readRaw(grandchildFile));
  EXPECT_TRUE(platform::isProcessAlive(grandchild));
  EXPECT_TRUE(process->poll());

  ASSERT_TRUE(process->requestStop());
  ASSERT_TRUE(waitUntilEnded(process));
  EXPECT_EQ(process->getExitCode(), 128 + SIGTERM);
  EXPECT_TRUE(waitFor([&] { return !platform::isProcessAlive(grandchild); }));
}

TEST(ChildProcess, EndedObjectCanRunAgain) {
  TempDir dir;
  std::string counter = dir.file("runs");
  std::string script = writeScript(dir, "again.sh", "echo x >> '" + counter + "'\nexit 4");
  ChildProcess::Pointer process = createChildProcess(script, "", false, true);
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(process->run());
    EXPECT_EQ(process->getExitCode(), -1);
    ASSERT_TRUE(waitUntilEnded(process));
    EXPECT_EQ(process->getExitCode(), 4);
  }
  EXPECT_EQ(readRaw(counter), "x\nx\n");
}

TEST(ChildProcess, AttachedProcessIsWatchedUntilItEnds) {
  std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  // Started outside the registry, as by a scheduler that ran before this one.
  platform::SpawnResult spawned = platform::spawnProcess("sleep", {"1000"});
  ASSERT_GT(spawned.pid, 0);
  auto pid = static_cast<std::uint32_t>(spawned.pid);
  ASSERT_TRUE(waitFor([&] {
    auto line = platform::processCommandLine(spawned.pid);
    return line && !line->empty() && (*line)[0] == "sleep";
  }));

  ChildProcess::Pointer attached = attachChildProcess(pid);
  ASSERT_TRUE(attached);
  EXPECT_TRUE(attached->isAttached());
  EXPECT_TRUE(attached->isRegistered());
  EXPECT_EQ(attached->getState(), ChildProcess::kRunning);
  EXPECT_EQ(attached->getPid(), pid);
  EXPECT_EQ(attached->getThreadId(), pid);
  EXPECT_EQ(std::filesystem::path(attached->getCommand()).filename(), "sleep");
  EXPECT_EQ(attached->getCommandLineElements(), (std::vector<std::string>{"sleep", "1000"}));
  EXPECT_GE(attached->getStartTime(), before - 2);
  EXPECT_LE(attached->getStartTime(), static_cast<std::int64_t>(std::time(nullptr)) + 2);
  EXPECT_FALSE(ProcessRegistry::instance().find(pid));
  EXPECT_TRUE(attached->poll());
  EXPECT_FALSE(attached->run());

  ASSERT_TRUE(attached->requestStop());
  // Ended but unreaped (it is a zombie of this test process): an attached object sees the end.
  ASSERT_TRUE(waitUntilEnded(attached));
  EXPECT_EQ(attached->getState(), ChildProcess::kEnded);
  EXPECT_EQ(attached->getExitCode(), -1);
  EXPECT_FALSE(attached->requestStop());
  platform::ChildStatus reaped;
  ASSERT_TRUE(waitFor([&] {
    reaped = platform::pollChild(spawned.pid);
    return reaped.state != platform::ChildState::running;
  }));
  EXPECT_EQ(reaped.exitCode, 128 + SIGTERM);

  // A pid with no process behind it, and ids that name none.
  for (std::uint32_t gone : {pid, 0u, 0x80000000u}) {
    ChildProcess::Pointer none = attachChildProcess(gone);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->getState(), ChildProcess::kNotStarted) << gone;
    EXPECT_FALSE(none->poll()) << gone;
    EXPECT_FALSE(none->requestStop()) << gone;
    EXPECT_EQ(none->getStartTime(), -1) << gone;
  }
}

TEST(ChildProcess, RegistryKeepsTheNewerObjectOfAReusedPid) {
  ProcessRegistry& registry = ProcessRegistry::instance();
  ChildProcess::Pointer older = createChildProcess("sleep", "1000", false, true);
  ChildProcess::Pointer newer = createChildProcess("sleep", "1000", false, true);
  ASSERT_TRUE(older->run());
  ASSERT_TRUE(newer->run());
  std::uint32_t pid = older->getPid();
  EXPECT_EQ(registry.find(pid), older);
  EXPECT_EQ(registry.find(newer->getPid()), newer);

  // As run does when the system hands out the older one's pid again.
  registry.insert(pid, newer);
  EXPECT_EQ(registry.find(pid), newer);
  collectEndedProcesses();
  EXPECT_EQ(registry.find(pid), newer);
  // The replaced object stays whole for whoever still holds it.
  EXPECT_TRUE(older->poll());
  ASSERT_TRUE(older->requestStop());
  ASSERT_TRUE(newer->requestStop());
  ASSERT_TRUE(waitUntilEnded(older));
  ASSERT_TRUE(waitUntilEnded(newer));
  EXPECT_EQ(older->getExitCode(), 128 + SIGTERM);
  collectEndedProcesses();
  EXPECT_FALSE(registry.find(pid));
  EXPECT_FALSE(registry.find(newer->getPid()));
}

TEST(ChildProcess, CollectionReapsChildrenNobodyWatches) {
  TempDir dir;
  std::string script = writeScript(dir, "quick.sh", "exit 5");
  ChildProcess::Pointer process = createChildProcess(script, "", false, true);
  ASSERT_TRUE(process->run());
  auto pid = static_cast<int>(process->getPid());
  std::weak_ptr<ChildProcess> watch = process;
  process.reset();
  ASSERT_FALSE(watch.expired());  // the registry holds it
  ASSERT_TRUE(waitFor([&] {
    collectEndedProcesses();
    return watch.expired();
  }));
  // Reaped by the collection: no zombie left behind.
  EXPECT_EQ(platform::pollChild(pid).state, platform::ChildState::unknown);
}

}  // namespace
}  // namespace Zelcor
