#include "CommandProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PrePostProcess.h"
#include "ProcessRegistry.h"
#include "bus/Logger.h"
#include "config/ConfAgent.h"
#include "config/ConfNodeTypes.h"
#include "platform/Threads.h"
#include "support/DirectoryStore.h"
#include "support/LogSink.h"
#include "support/Supervision.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

using test::DirectoryStore;
using test::launchIn;
using test::LogSink;
using test::openRunRecords;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;
namespace core = ZelcorCorelib;

TEST(CommandProcess, RunsTheJobAndKeepsItsExitCodeAfterCollection) {
  TempDir dir;
  std::string script = writeScript(dir, "job.sh", "exit 3");
  CommandProcess job(script, "");
  EXPECT_TRUE(job.configure());
  EXPECT_FALSE(job.isRunning());
  EXPECT_FALSE(job.wasStarted());
  EXPECT_EQ(job.getExitCode(), -1);
  EXPECT_EQ(job.getPid(), 0u);

  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  ASSERT_TRUE(job.start(launchIn(records)));
  std::uint32_t pid = job.getPid();
  EXPECT_GT(pid, 0u);
  EXPECT_EQ(ProcessRegistry::instance().find(pid), job.getProcess());
  CommandProcess copy = job;  // a queue copies its jobs; the copies share the child
  ASSERT_TRUE(waitFor([&] { return !job.isRunning(); }));
  EXPECT_FALSE(job.isAlive());
  EXPECT_TRUE(job.wasStarted());

  collectEndedProcesses();
  EXPECT_FALSE(ProcessRegistry::instance().find(pid));
  EXPECT_EQ(job.getExitCode(), 3);
  EXPECT_EQ(copy.getExitCode(), 3);
  EXPECT_EQ(copy.getPid(), pid);
  EXPECT_FALSE(copy.isRunning());
}

TEST(CommandProcess, FailuresAreLoggedAndReturnFalse) {
  TempDir dir;
  LogSink lines({"CmdProc"});

  // No record folder to write the start into: nothing runs.
  CommandProcess never(dir.file("missing.sh"), "-v");
  EXPECT_FALSE(never.stop());
  EXPECT_FALSE(never.start(launchIn(nullptr)));
  EXPECT_FALSE(never.wasStarted());
  EXPECT_FALSE(never.isRunning());
  EXPECT_NE(never.getStartError(), 0);

  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  std::string script = writeScript(dir, "long.sh", "exec sleep 1000");
  CommandProcess job(script, "");
  ASSERT_TRUE(job.start(launchIn(records)));
  EXPECT_TRUE(job.isRunning());
  EXPECT_TRUE(job.stop());
  ASSERT_TRUE(waitFor([&] { return !job.isRunning(); }));
  EXPECT_EQ(job.getExitCode(), 128 + SIGTERM);
  EXPECT_FALSE(job.stop());

  // Only those of this thread, at error level.
  EXPECT_EQ(lines.texts(core::kLogError, core::platform::currentThreadId()),
            (std::vector<std::string>{
                "@jobscheduler.cmdproc-stop.uninitialized-proc{Uninitialized process. Failed to "
                "stop.};",
                "@jobscheduler.cmdproc-start.run-proc-fail{Failed to start process instance.};",
                "@jobscheduler.cmdproc-stop.stop-fail{Failed stopping process.};"}));
}

TEST(CommandProcess, AJobGetsTheStandardDescriptorsAndNoOther) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  // As a descriptor the scheduler inherited from whoever started it.
  const int inherited = ::open(dir.str().c_str(), O_RDONLY);
  ASSERT_GE(inherited, 0);
  const std::string listing = dir.file("fds");
  CommandProcess job("/bin/sh", "-c \"exec ls /proc/self/fd > '" + listing + "'\"");
  ASSERT_TRUE(job.start(launchIn(records)));
  ASSERT_TRUE(waitFor([&] { return !job.isRunning(); }));
  ::close(inherited);
  EXPECT_EQ(job.getExitCode(), 0);
  // 3 is the folder ls itself opens to list.
  EXPECT_EQ(ZelcorCorelib::test::readRaw(listing), "0\n1\n2\n3\n");
}

TEST(CommandProcess, RecoveryHandsItTheRunOfItsRecord) {
  TempDir dir;
  RunRecords::Pointer records = openRunRecords(dir.file("runs"));
  CommandProcess first("sleep", "1000");
  ASSERT_TRUE(first.start(launchIn(records)));
  std::optional<RunRecord> record = records->read(first.getProcess()->getRunId());
  ASSERT_TRUE(record);
  CommandProcess job("sleep", "1000");
  job.setProcess(ChildProcess::fromRecord(records, *record, true));
  EXPECT_TRUE(job.isAlive());
  EXPECT_EQ(job.getPid(), first.getPid());
  EXPECT_TRUE(job.stop());
  EXPECT_TRUE(waitFor([&] { return !job.isAlive(); }));
  ASSERT_TRUE(waitFor([&] { return !first.isRunning(); }));
  // The outcome comes from the supervisor's record, so the re-attached side learns it too.
  EXPECT_EQ(job.getExitCode(), 128 + SIGTERM);
  EXPECT_EQ(first.getExitCode(), 128 + SIGTERM);
}

TEST(CommandProcess, PrePostSlotIgnoresItsValue) {
  PrePostProcess slot("/bin/anything --with args");
  EXPECT_TRUE(slot.configure());
  EXPECT_EQ(slot.getCommand(), "");
  EXPECT_EQ(slot.getArguments(), "");
  slot.setArguments("-x");
  EXPECT_EQ(slot.getArguments(), "-x");
}

// A configuration store holding Zelcor.directories entries, and the "dirs" keyword, as the
// scheduler registers it.
class CommandProcessReferences : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(directories.isLoaded()); }

  DirectoryStore directories{{{"bin", core::kConfDir, "/opt/zelcor/bin"},
                              {"data", core::kConfString, "/srv/data"},
                              {"log", core::kConfDir, "/var/log/zelcor"}}};
};

TEST_F(CommandProcessReferences, NamesBetweenPercentSignsComeFromTheDirectories) {
  ASSERT_EQ(::setenv("ZELCOR_CMDPROC_TEST", "/from/env", 1), 0);
  struct Case {
    const char* text;
    const char* resolved;
  } cases[] = {
      {"%bin%\\run.sh", "/opt/zelcor/bin/run.sh"},
      {"%BIN%/run.sh", "/opt/zelcor/bin/run.sh"},
      {"-in %data%/a -out %data%/b", "-in /srv/data/a -out /srv/data/b"},
      {"%Bin%/a -l %log%", "/opt/zelcor/bin/a -l /var/log/zelcor"},
      // Fewer than two signs: left exactly as written, backslash and all.
      {"50%\\x", "50%\\x"},
      {"plain\\text", "plain\\text"},
      {"", ""},
      // The path normalisation comes first and expands environment variables of that name.
      {"%ZELCOR_CMDPROC_TEST%/x %bin%", "/from/env/x /opt/zelcor/bin"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CommandProcess::resolveReferences(c.text), c.resolved) << c.text;
  }
  ::unsetenv("ZELCOR_CMDPROC_TEST");

  CommandProcess job("%bin%/run.sh", "-o %data%/out -v");
  EXPECT_EQ(job.getCommand(), "/opt/zelcor/bin/run.sh");
  EXPECT_EQ(job.getArguments(), "-o /srv/data/out -v");
}

TEST_F(CommandProcessReferences, AnUnknownNameLeavesTheConstructor) {
  EXPECT_THROW(CommandProcess("%nothere%/run.sh", ""), core::ConfAgent::Query_NotFound);
  EXPECT_THROW(CommandProcess("/bin/true", "-x %bin% %nothere%"), core::ConfAgent::Query_NotFound);
}

}  // namespace
}  // namespace Zelcor
