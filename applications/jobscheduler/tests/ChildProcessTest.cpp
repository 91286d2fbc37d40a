#include "ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
#include "support/Supervision.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;
namespace platform = ZelcorCorelib::platform;
namespace fs = std::filesystem;

using test::launchIn;
using test::openRunRecords;

bool waitUntilEnded(const ChildProcess::Pointer& process) {
  return waitFor([&] { return !process->poll(); });
}

// A process ready to run under the supervisor, recorded in records.
ChildProcess::Pointer prepared(const RunRecords::Pointer& records, const std::string& command,
                               const std::string& arguments) {
  ChildProcess::Pointer process = createChildProcess(command, arguments, false, true);
  if (process) process->setLaunch(launchIn(records));
  return process;
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

TEST(ChildProcess, LaunchesStartedTogetherAreCompletedLaterWithTheSameAnswers) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  const std::string quick = writeScript(dir, "quick.sh", "exit 5");
  const std::string missing = dir.file("no-such-program");
  std::vector<ChildProcess::Pointer> processes;
  for (const std::string& program : {quick, quick, missing}) {
    ChildProcess::Pointer process = createChildProcess(program, "", false, true);
    ASSERT_TRUE(process);
    ChildProcess::Launch launch = launchIn(records);
    launch.awaitLaunch = false;
    process->setLaunch(launch);
    ASSERT_TRUE(process->run());
    processes.push_back(process);
  }
  // One is polled to its end before its launch is completed, as a status listing might.
  ASSERT_TRUE(waitUntilEnded(processes[1]));
  for (const ChildProcess::Pointer& process : processes) {
    ASSERT_TRUE(process->completeLaunch());
    EXPECT_GT(process->getPid(), 0u);
    // Completing twice changes nothing.
    EXPECT_TRUE(process->completeLaunch());
    ASSERT_TRUE(waitUntilEnded(process));
  }
  EXPECT_EQ(processes[0]->getExitCode(), 5);
  EXPECT_EQ(processes[1]->getExitCode(), 5);
  EXPECT_EQ(processes[2]->getExitCode(), 127);
  ASSERT_TRUE(processes[2]->getOutcome().has_value());
  EXPECT_EQ(processes[2]->getOutcome()->endReason, RunRecord::kReasonNotStarted);
}

TEST(ChildProcess, ExitCodesOfRealChildren) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
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
    ChildProcess::Pointer process = prepared(records, script, "");
    ASSERT_TRUE(process);
    EXPECT_EQ(process->getState(), ChildProcess::kNotStarted);
    EXPECT_EQ(process->getExitCode(), -1);
    ASSERT_TRUE(process->run()) << c.body;
    EXPECT_GT(process->getPid(), 0u);
    EXPECT_GT(process->getSupervisorPid(), 0u);
    EXPECT_NE(process->getSupervisorPid(), process->getPid());
    EXPECT_EQ(process->getCommandLine(), script);
    ASSERT_TRUE(waitUntilEnded(process)) << c.body;
    EXPECT_EQ(process->getState(), ChildProcess::kEnded);
    EXPECT_EQ(process->getExitCode(), c.expected) << c.body;
    // The supervisor wrote the same into the record before it went.
    std::optional<RunRecord> record = records->read(process->getRunId());
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->launched);
    EXPECT_EQ(record->jobPid, process->getPid());
    EXPECT_TRUE(record->ended);
    EXPECT_EQ(record->exitStatus, c.expected);
    EXPECT_EQ(record->endReason, c.expected >= 128 ? "signal" : "exit") << c.body;
    EXPECT_EQ(records->lockState(process->getRunId()), platform::LockState::free);
    // An ended child is asked nothing more: no second reap, no signal to a reused pid.
    EXPECT_FALSE(process->requestStop());
    EXPECT_FALSE(process->poll());
    EXPECT_EQ(process->getExitCode(), c.expected);
  }
}

// A cancel asked of the supervisor ends the program as a time limit would, and says so.
TEST(ChildProcess, ACancelEndsTheProgramAfterTheGraceTimeIfItMustAndIsRecorded) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  records->setKillGrace(std::chrono::milliseconds(300));
  const std::string ready = dir.file("ready");
  const std::pair<std::string, int> cases[] = {
      {": > '" + ready + "'; exec sleep 30", 128 + SIGTERM},
      {"trap '' TERM; : > '" + ready + "'; while :; do sleep 0.05; done", 128 + SIGKILL},
  };
  int index = 0;
  for (const auto& [body, expected] : cases) {
    fs::remove(ready);
    ChildProcess::Pointer process =
        prepared(records, writeScript(dir, "c" + std::to_string(index++) + ".sh", body), "");
    ASSERT_TRUE(process && process->run()) << body;
    // The trap is set before the cancel comes.
    ASSERT_TRUE(waitFor([&] { return fs::exists(ready); })) << body;
    EXPECT_TRUE(process->requestCancel()) << body;
    ASSERT_TRUE(waitUntilEnded(process)) << body;
    EXPECT_EQ(process->getExitCode(), expected) << body;
    ASSERT_TRUE(process->getOutcome());
    EXPECT_EQ(process->getOutcome()->endReason, "cancelled") << body;
    EXPECT_FALSE(process->requestCancel());
  }
}

// A removed record's file serves the next run: it never shows through as a record, never
// lends its old lines to the new run, and a later scheduler starts without the old spares.
TEST(ChildProcess, RemovedRecordsServeLaterRunsAndNeverSpeakForAnotherRun) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  const auto runOnce = [&](const std::string& body) {
    ChildProcess::Pointer process = prepared(records, writeScript(dir, "job.sh", body), "");
    EXPECT_TRUE(process && process->run() && waitUntilEnded(process)) << body;
    return process ? process->getRunId() : std::string();
  };
  const std::string first = runOnce("exit 3");
  const std::string firstText = readRaw(dir.file("runs/" + first + ".run"));
  ASSERT_TRUE(records->remove(first));
  EXPECT_TRUE(records->list().empty());
  EXPECT_FALSE(records->read(first));
  struct stat spare {};
  ASSERT_EQ(::stat(dir.file("runs/.spare.1").c_str(), &spare), 0);

  const std::string second = runOnce("exit 4");
  struct stat reused {};
  ASSERT_EQ(::stat(dir.file("runs/" + second + ".run").c_str(), &reused), 0);
  EXPECT_EQ(reused.st_ino, spare.st_ino);
  std::optional<RunRecord> record = records->read(second);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->exitStatus, 4);
  EXPECT_EQ(readRaw(dir.file("runs/" + second + ".run")).find(first), std::string::npos);

  // What a crash may leave in a reused file before the launch is synced: its old lines.
  const std::string third = records->newRunId();
  writeRaw(dir.file("runs/" + third + ".run"), firstText);
  EXPECT_FALSE(records->read(third));
  EXPECT_EQ(records->list().size(), 2u);

  ASSERT_TRUE(records->remove(second));
  ASSERT_TRUE(fs::exists(dir.file("runs/.spare.2")));
  RunRecords::Pointer later = openRunRecords(dir.file("runs"));
  EXPECT_FALSE(fs::exists(dir.file("runs/.spare.2")));
  EXPECT_EQ(later->list(), std::vector<std::string>{third});
}

// The supervisor ends a program that outlives its limit: asked first, killed after the grace
// time when it does not listen; one that ends in time keeps its own end.
TEST(ChildProcess, ARunLimitEndsTheProgramAndIsRecordedAsTheReason) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  records->setKillGrace(std::chrono::milliseconds(300));
  struct Case {
    const char* body;
    int expected;
    const char* reason;
  } cases[] = {
      {"exec sleep 30", 128 + SIGTERM, "time-limit"},
      {"trap '' TERM; while :; do sleep 0.05; done", 128 + SIGKILL, "time-limit"},
      {"exit 5", 5, "exit"},
  };
  int index = 0;
  for (const Case& c : cases) {
    ChildProcess::Pointer process = createChildProcess(
        writeScript(dir, "limited" + std::to_string(index++) + ".sh", c.body), "", false, true);
    ASSERT_TRUE(process);
    ChildProcess::Launch launch = launchIn(records);
    launch.timeLimitMilliseconds = 300;
    process->setLaunch(std::move(launch));
    ASSERT_TRUE(process->run()) << c.body;
    ASSERT_TRUE(waitUntilEnded(process)) << c.body;
    EXPECT_EQ(process->getExitCode(), c.expected) << c.body;
    ASSERT_TRUE(process->getOutcome()) << c.body;
    EXPECT_EQ(process->getOutcome()->endReason, c.reason) << c.body;
  }
}

TEST(ChildProcess, ProgramThatCannotBeExecutedEndsAsAShellReportsIt) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  std::string notExecutable = dir.file("plain.sh");
  std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
  std::filesystem::create_directories(dir.file("folder"));
  struct Case {
    std::string command;
    int status;
  } cases[] = {
      {dir.file("missing.sh"), 127},
      {notExecutable, 126},
      {dir.file("folder"), 126},
      {"zelcor-no-such-program", 127},
  };
  for (const Case& c : cases) {
    ChildProcess::Pointer process = prepared(records, c.command, "-x");
    ASSERT_TRUE(process);
    ASSERT_TRUE(process->run()) << c.command;
    ASSERT_TRUE(waitUntilEnded(process)) << c.command;
    EXPECT_EQ(process->getExitCode(), c.status) << c.command;
    std::optional<RunRecord> outcome = process->getOutcome();
    ASSERT_TRUE(outcome) << c.command;
    EXPECT_EQ(outcome->endReason, "not-started");
    EXPECT_FALSE(outcome->error.empty());
    EXPECT_FALSE(process->requestStop());
  }
}

TEST(ChildProcess, NothingRunsWithoutARecord) {
  TempDir dir;
  std::string marker = dir.file("ran");
  std::string script = writeScript(dir, "mark.sh", "touch '" + marker + "'");
  // No launch at all, and a record folder that has gone away.
  ChildProcess::Pointer bare = createChildProcess(script, "", false, true);
  EXPECT_FALSE(bare->run());
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  std::filesystem::remove_all(dir.file("runs"));
  ChildProcess::Pointer orphan = prepared(records, script, "");
  EXPECT_FALSE(orphan->run());
  EXPECT_NE(orphan->getStartError(), 0);
  EXPECT_EQ(orphan->getState(), ChildProcess::kNotStarted);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(ChildProcess, QuotedArgumentsArriveAsSingleArgvElements) {
  TempDir dir;
  std::string out = dir.file("argv.txt");
  std::string script = writeScript(
      dir, "argv.sh",
      "{ echo \"$#\"; while [ $# -gt 0 ]; do echo \"[$1]\"; shift; done; } > '" + out + "'");
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  ChildProcess::Pointer process =
      prepared(records, script, "-c \"/my dir/job.conf\" --name=\"a b\" \"say \\\"hi\\\"\" plain");
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
  RunRecords::Pointer records = openRunRecords(dir.file("records"));
  ChildProcess::Pointer process = prepared(records, script, "");
  ASSERT_TRUE(process->run());
  EXPECT_FALSE(process->run());  // still running
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(grandchildFile); }));
  int grandchild = std::stoi(readRaw(grandchildFile));
  EXPECT_TRUE(platform::isProcessAlive(grandchild));
  EXPECT_TRUE(process->poll());

  ASSERT_TRUE(process->requestStop());
  ASSERT_TRUE(waitUntilEnded(process));
  EXPECT_EQ(process->getExitCode(), 128 + SIGTERM);
  // A stop the scheduler asked for is no end of the job's own: it runs again later.
  ASSERT_TRUE(process->getOutcome());
  EXPECT_EQ(process->getOutcome()->endReason, "shutdown");
  EXPECT_TRUE(waitFor([&] { return !platform::isProcessAlive(grandchild); }));
}

TEST(ChildProcess, EndedObjectCanRunAgain) {
  TempDir dir;
  std::string counter = dir.file("count");
  std::string script = writeScript(dir, "again.sh", "echo x >> '" + counter + "'\nexit 4");
  RunRecords::Pointer records = openRunRecords(dir.file("records"));
  ChildProcess::Pointer process = createChildProcess(script, "", false, true);
  for (int round = 1; round <= 2; ++round) {
    process->setLaunch(launchIn(records));
    ASSERT_TRUE(process->run());
    ASSERT_TRUE(waitUntilEnded(process));
    EXPECT_EQ(process->getExitCode(), 4);
  }
  EXPECT_EQ(readRaw(counter), "x\nx\n");
}

TEST(ChildProcess, ARunIsWatchedFromItsRecordByALaterObject) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  std::string hold = dir.file("hold");
  std::string script =
      writeScript(dir, "held.sh", "while [ ! -e '" + hold + "' ]; do sleep 0.05; done\nexit 6");
  ChildProcess::Pointer first = prepared(records, script, "");
  ASSERT_TRUE(first->run());
  const std::string runId = first->getRunId();
  EXPECT_EQ(records->lockState(runId), platform::LockState::held);

  // As a scheduler started after a crash finds it.
  std::optional<RunRecord> record = records->read(runId);
  ASSERT_TRUE(record);
  ASSERT_TRUE(record->launched);
  EXPECT_FALSE(record->ended);
  EXPECT_EQ(record->program, script);
  ChildProcess::Pointer later = ChildProcess::fromRecord(records, *record, true);
  ASSERT_TRUE(later);
  EXPECT_FALSE(later->isRegistered());
  EXPECT_EQ(later->getPid(), first->getPid());
  EXPECT_TRUE(later->poll());
  EXPECT_GE(later->getWakeDescriptor(), 0);
  EXPECT_FALSE(later->run());

  writeRaw(hold, "");
  ASSERT_TRUE(waitUntilEnded(later));
  EXPECT_EQ(later->getExitCode(), 6);
  ASSERT_TRUE(waitUntilEnded(first));
  EXPECT_EQ(first->getExitCode(), 6);
  EXPECT_FALSE(later->requestStop());

  // A record without an outcome, whose supervisor has gone: ended, exit code unknown.
  RunRecord lost = *record;
  lost.ended = false;
  ChildProcess::Pointer unknown = ChildProcess::fromRecord(records, lost, false);
  EXPECT_EQ(unknown->getState(), ChildProcess::kEnded);
  EXPECT_EQ(unknown->getExitCode(), -1);
  EXPECT_FALSE(unknown->getOutcome());
}

TEST(ChildProcess, RegistryKeepsTheNewerObjectOfAReusedPid) {
  ProcessRegistry& registry = ProcessRegistry::instance();
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  ChildProcess::Pointer older = prepared(records, "sleep", "1000");
  ChildProcess::Pointer newer = prepared(records, "sleep", "1000");
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
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  ChildProcess::Pointer process = prepared(records, script, "");
  ASSERT_TRUE(process->run());
  auto pid = static_cast<int>(process->getSupervisorPid());
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
