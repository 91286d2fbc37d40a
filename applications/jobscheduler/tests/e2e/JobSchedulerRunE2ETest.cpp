// The scheduler binary at work: jobs dropped by a client run through two queues to the
// finished folder, the command port answers, a second instance is refused while the first
// goes on, and SIGTERM ends the program cleanly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "net/Tcp.h"
#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";
constexpr const char* kClosingBanner = "Closing log file at ";

bool isUnixTime(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
         std::strtoll(text.c_str(), nullptr, 10) > 1'600'000'000;
}

void expectFinishedJob(const fs::path& spec, const std::string& queue, const std::string& script) {
  const auto keys = readSpec(spec);
  auto value = [&](const std::string& key) {
    auto entry = keys.find(key);
    return entry == keys.end() ? std::string("<missing>") : entry->second;
  };
  // The client's keys are carried along unchanged ...
  EXPECT_EQ(value("executable"), script);
  EXPECT_EQ(value("arguments"), "one \"two words\"");
  EXPECT_EQ(value("queue"), queue);
  EXPECT_EQ(value("priority-level"), "high");
  EXPECT_EQ(value("created"), "2026-01-01T00:00:00");
  // ... and the scheduler's stamps follow the job's way.
  EXPECT_TRUE(isUnixTime(value("queued"))) << value("queued");
  EXPECT_TRUE(isUnixTime(value("started"))) << value("started");
  EXPECT_TRUE(isUnixTime(value("ended"))) << value("ended");
  EXPECT_LE(value("queued"), value("started"));
  EXPECT_LE(value("started"), value("ended"));
  EXPECT_GT(std::atoi(value("pid").c_str()), 0) << value("pid");
  EXPECT_EQ(value("exit-status"), "3");
}

TEST(JobSchedulerRun, TwoQueuesRunDroppedJobsToFinishedAndSigtermEndsCleanly) {
  Sandbox sandbox("run-queues");
  sandbox.writeConfiguration();
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(scheduler.started());
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
      << scheduler.standardOutput();

  // The command port is the configured one and speaks the connect protocol.
  ZelcorCorelib::Tcp client;
  EXPECT_TRUE(client.connectToHost("127.0.0.1", sandbox.getPort(), "e2e-client", 1));
  client.close();

  const fs::path fast = sandbox.writeJobScript("fast", 3);
  const fs::path slow = sandbox.writeJobScript("slow", 3);
  for (const auto& [name, queue, script] :
       {std::tuple{"a", "queue_fast", fast}, std::tuple{"b", "queue_slow", slow}}) {
    sandbox.dropJob(sandbox.jobFolder("pending"), name,
                    {{"executable", script.string()},
                     {"arguments", "one \"two words\""},
                     {"queue", queue},
                     {"priority-level", "high"},
                     {"created", "2026-01-01T00:00:00"}});
  }
  const fs::path finishedA = sandbox.jobFolder("finished/a.spec");
  const fs::path finishedB = sandbox.jobFolder("finished/b.spec");
  ASSERT_TRUE(waitForFileText(finishedA, "exit-status=")) << readText(sandbox.logFile());
  ASSERT_TRUE(waitForFileText(finishedB, "exit-status=")) << readText(sandbox.logFile());
  expectFinishedJob(finishedA, "queue_fast", fast.string());
  expectFinishedJob(finishedB, "queue_slow", slow.string());
  EXPECT_EQ(readText(sandbox.path("fast.out")), "one two words\n");
  EXPECT_TRUE(fs::is_empty(sandbox.jobFolder("pending")));
  EXPECT_TRUE(fs::is_empty(sandbox.jobFolder("running")));

  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
  const std::string log = readText(sandbox.logFile());
  EXPECT_NE(log.find("Ending run"), std::string::npos);
  EXPECT_NE(log.rfind(kClosingBanner), std::string::npos) << log;
  EXPECT_EQ(scheduler.standardOutput().find("ERROR"), std::string::npos)
      << scheduler.standardOutput();
}

TEST(JobSchedulerRun, SecondInstanceExitsWithTwoWhileTheFirstKeepsWorking) {
  Sandbox sandbox("run-second");
  sandbox.writeConfiguration();
  SchedulerProcess first(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline)) << first.standardOutput();

  const Outcome second = runToEnd(sandbox, {});
  EXPECT_EQ(second.exitCode, 2);
  EXPECT_NE(second.output.find("ERROR: Another instance of the application is already running"),
            std::string::npos)
      << second.output;
  // Help is still served while an instance runs.
  EXPECT_EQ(runToEnd(sandbox, {"--version"}).exitCode, 0);

  ASSERT_TRUE(first.isRunning());
  const fs::path script = sandbox.writeJobScript("after", 0);
  sandbox.dropJob(sandbox.jobFolder("pending"), "after",
                  {{"executable", script.string()}, {"queue", "queue_slow"}});
  EXPECT_TRUE(waitForFileText(sandbox.jobFolder("finished/after.spec"), "exit-status=0"))
      << readText(sandbox.logFile());
  ASSERT_TRUE(first.signal("TERM"));
  EXPECT_EQ(first.waitForExit(), 0);
}

TEST(JobSchedulerRun, AHangUpDoesNotEndTheScheduler) {
  Sandbox sandbox("run-hangup");
  sandbox.writeConfiguration();
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
      << scheduler.standardOutput();
  ASSERT_TRUE(scheduler.signal("HUP"));
  // Still there, and still working: a job dropped after the hang-up runs.
  const fs::path script = sandbox.writeJobScript("after-hup", 0);
  sandbox.dropJob(sandbox.jobFolder("pending"), "after-hup",
                  {{"executable", script.string()}, {"arguments", "x"}});
  EXPECT_TRUE(waitForFileText(sandbox.jobFolder("finished/after-hup.spec"), "ended=",
                              kJobDeadline));
  EXPECT_TRUE(scheduler.isRunning());
  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
  EXPECT_TRUE(waitForFileText(sandbox.logFile(), kClosingBanner, kStartDeadline));
}

}  // namespace
}  // namespace Zelcor::e2e
