#include "SlurmRun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Command.h"

namespace Zelcor {
namespace {

// What scontrol and sacct print, as Slurm 22.05 prints it.
TEST(SlurmTools, ReadsTheClustersAnswers) {
  auto state = SlurmTools::parseScontrol(
      "JobId=12 JobName=js-abc-1 UserId=nobody(65534) GroupId=nogroup(65534) Priority=1 "
      "JobState=FAILED Reason=NonZeroExitCode Dependency=(null) ExitCode=3:0 "
      "RunTime=00:00:01 StartTime=2026-12-10T07:48:06 EndTime=2026-12-10T07:48:07 "
      "Command=(null) WorkDir=/tmp\n");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->id, "12");
  EXPECT_EQ(state->name, "js-abc-1");
  EXPECT_EQ(state->state, "FAILED");
  EXPECT_EQ(state->exitCode, 3);
  EXPECT_EQ(state->signal, 0);
  EXPECT_TRUE(state->isFinal());
  EXPECT_EQ(state->startedAt, SlurmTools::parseTime("2026-12-10T07:48:06"));
  EXPECT_GT(state->startedAt, 0);

  // A pending job's start time is a guess, not a start.
  state = SlurmTools::parseScontrol(
      "JobId=13 JobName=x JobState=PENDING ExitCode=0:0 StartTime=2026-12-10T09:00:00");
  ASSERT_TRUE(state);
  EXPECT_FALSE(state->hasRun());
  EXPECT_FALSE(state->isFinal());
  EXPECT_FALSE(SlurmTools::parseScontrol("slurm_load_jobs error: Invalid job id specified"));
  EXPECT_FALSE(SlurmTools::parseScontrol(""));
  // A key inside another value is not the key.
  EXPECT_FALSE(SlurmTools::parseScontrol("Comment=xJobId=5"));

  const std::string sacct =
      "7|js-a|COMPLETED|0:0|2026-12-10T07:48:06\n"
      "8|js-b|CANCELLED by 0|0:15|2026-12-10T07:48:11\n"
      "8.batch|batch|CANCELLED|0:15|2026-12-10T07:48:11\n"
      "9|js-b|FAILED|1:0|Unknown\n"
      "broken line\n";
  state = SlurmTools::parseSacct(sacct, "8", "");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, "CANCELLED");
  EXPECT_EQ(state->signal, 15);
  // By name: the last of that name.
  state = SlurmTools::parseSacct(sacct, "", "js-b");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->id, "9");
  EXPECT_FALSE(state->hasRun());
  EXPECT_FALSE(SlurmTools::parseSacct(sacct, "", "js-c"));
  EXPECT_FALSE(SlurmTools::parseSacct(sacct, "10", ""));
  for (const char* junk : {"Unknown", "None", "", "2026-12-10 07:48:06", "2026-12-10T07:48"}) {
    EXPECT_EQ(SlurmTools::parseTime(junk), -1) << junk;
  }
}

// How each final state ends a run, and a cancel or limit of ours overriding nothing else.
TEST(SlurmTools, FinalStatesBecomeStatusesAndReasons) {
  const auto outcome = [](const char* state, int code, int signal, bool ran = true) {
    SlurmJobState job;
    job.state = state;
    job.exitCode = code;
    job.signal = signal;
    job.startedAt = ran ? 100 : -1;
    RunRecord record;
    SlurmTools::outcomeOf(job, record);
    return std::to_string(record.exitStatus) + " " + record.endReason;
  };
  EXPECT_EQ(outcome("COMPLETED", 0, 0), "0 exit");
  EXPECT_EQ(outcome("FAILED", 3, 0), "3 exit");
  EXPECT_EQ(outcome("FAILED", 0, 9), "137 signal");
  EXPECT_EQ(outcome("FAILED", 0, 0), "1 exit");
  EXPECT_EQ(outcome("CANCELLED", 0, 15), "143 cancelled");
  EXPECT_EQ(outcome("CANCELLED", 0, 0, false), "143 cancelled");
  EXPECT_EQ(outcome("TIMEOUT", 0, 0), "143 time-limit");
  EXPECT_EQ(outcome("OUT_OF_MEMORY", 0, 0), "137 signal");
  EXPECT_EQ(outcome("NODE_FAIL", 0, 0), "137 signal");
}

// The script runs the program with each argument exactly as given, whatever it holds.
TEST(SlurmTools, TheBatchScriptCarriesEveryArgumentUnchanged) {
  const std::vector<std::string> arguments{"two words", "it's", "$HOME", "\"quoted\"",
                                           "",          "a\\b", "`id`"};
  EXPECT_EQ(SlurmTools::batchScript("/usr/bin/printf", {}), "#!/bin/sh\nexec '/usr/bin/printf'\n");
  std::vector<std::string> withFormat{"[%s]"};
  withFormat.insert(withFormat.end(), arguments.begin(), arguments.end());
  const ZelcorCorelib::platform::CommandOutcome run = ZelcorCorelib::platform::runCommand(
      "/bin/sh", {}, SlurmTools::batchScript("/usr/bin/printf", withFormat),
      std::chrono::seconds(10));
  EXPECT_EQ(run.output, "[two words][it's][$HOME][\"quoted\"][][a\\b][`id`]");
  const ZelcorCorelib::platform::CommandOutcome direct = ZelcorCorelib::platform::runCommand(
      "/bin/sh", {}, SlurmTools::batchScript("/bin/echo", arguments), std::chrono::seconds(10));
  EXPECT_EQ(direct.output, "two words it's $HOME \"quoted\"  a\\b `id`\n");
}

TEST(SlurmTools, LimitsAreWholeMinutesAndPrioritiesNiceValues) {
  EXPECT_EQ(SlurmTools::timeLimitText(2'000), "0-00:01:00");
  EXPECT_EQ(SlurmTools::timeLimitText(60'000), "0-00:01:00");
  EXPECT_EQ(SlurmTools::timeLimitText(60'001), "0-00:02:00");
  EXPECT_EQ(SlurmTools::timeLimitText((26 * 60 + 30) * 60'000LL), "1-02:30:00");
  EXPECT_EQ(SlurmTools::niceFor(4), 0);
  EXPECT_EQ(SlurmTools::niceFor(0), 400);
  EXPECT_GT(SlurmTools::niceFor(1), SlurmTools::niceFor(3));
  EXPECT_EQ(SlurmTools::niceFor(99), 0);
  EXPECT_EQ(SlurmTools::niceFor(-5), 400);

  SlurmLaunch launch;
  launch.name = "js-1";
  launch.partition = "batch";
  launch.output = "/o/x.out";
  launch.timeLimitMilliseconds = 90'000;
  launch.nice = 100;
  launch.options = {"--mem=1G", "--qos=low"};
  ZelcorCorelib::platform::Account owner;
  owner.uid = 1000;
  owner.gid = 100;
  owner.home = "/nonexistent-home";
  const std::vector<std::string> expected{"--parsable",   "-J",
                                          "js-1",         "-p",
                                          "batch",        "--time=0-00:02:00",
                                          "--nice=100",   "--uid=1000",
                                          "--gid=100",    "--export=NONE",
                                          "--chdir=/tmp", "-o",
                                          "/o/x.out",     "--open-mode=append",
                                          "--mem=1G",     "--qos=low"};
  EXPECT_EQ(SlurmTools::sbatchArguments(launch, &owner), expected);
}

// A cluster run's record reads back whole; a cluster name cannot forge a line of its own.
TEST(SlurmTools, ARunRecordKeepsTheClustersJob) {
  RunRecord run;
  run.runId = "r-1";
  run.supervisorPid = 42;
  run.jobPid = 42;
  run.slurmJobId = "77";
  run.slurmCluster = "main\nended=1";
  run.launchedAt = 5;
  run.exitStatus = 143;
  run.endReason = RunRecord::kReasonTimeLimit;
  run.slurmStartedAt = 6;
  run.endedAt = 9;
  const RunRecord back = RunRecord::parse(run.intentText() + run.launchText());
  EXPECT_EQ(back.slurmJobId, "77");
  EXPECT_EQ(back.slurmCluster, "main ended=1");
  EXPECT_TRUE(back.launched);
  EXPECT_FALSE(back.ended);
  const RunRecord done = RunRecord::parse(run.intentText() + run.launchText() + run.outcomeText());
  EXPECT_TRUE(done.ended);
  EXPECT_EQ(done.slurmStartedAt, 6);
  EXPECT_EQ(done.endReason, "time-limit");
}

}  // namespace
}  // namespace Zelcor
