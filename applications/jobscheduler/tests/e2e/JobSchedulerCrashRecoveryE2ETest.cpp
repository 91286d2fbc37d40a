// The scheduler killed with SIGKILL and started again over the same folders, registry file,
// lock folder and port: jobs that still run are taken back rather than started again, queued
// jobs run, no spec file is lost or doubled, and every job ends in finished once with the exit
// status it ended with, even when it ended while no scheduler ran. Once with a close look at
// each step, then as a loop of kills at random moments (start-up included) over many short
// jobs, each with an exit status of its own. Every job records its runs, so a job started a
// second time shows up, with the scheduler's own timeline from its log beside it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/CrashLoop.h"
#include "support/SchedulerProcess.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::testing::waitFor;

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";
constexpr std::chrono::milliseconds kDrainDeadline{150'000};

// Kills what the jobs of a sandbox left running, however the test ends.
struct LeftoverJobs {
  const Sandbox& sandbox;
  ~LeftoverJobs() { killLeftoverJobs(sandbox); }
};

// Log level 4 (trace lines included): the log then shows when each instance recovered and
// when it began each pass.
void prepare(Sandbox& sandbox, const std::vector<QueueSetting>& queues, int maxCores) {
  sandbox.environment["TZ"] = "UTC";
  sandbox.environment.erase("ZELCOR_TZ");
  ConfigSettings settings;
  settings.maxCores = maxCores;
  settings.queues = queues;
  sandbox.writeConfiguration(settings);
  std::string text = readText(sandbox.configurationFile());
  const std::string level = "debug-level (Integer) = \"2\"";
  const std::size_t at = text.find(level);
  if (at != std::string::npos) text.replace(at, level.size(), "debug-level (Integer) = \"4\"");
  writeText(sandbox.configurationFile(), text);
  writeText(sandbox.path("tmp/sysinfo"), "os=linux\ncores=8\n");
}

std::string specValue(const fs::path& spec, const std::string& key) {
  const auto keys = readSpec(spec);
  const auto entry = keys.find(key);
  return entry == keys.end() ? std::string("<missing>") : entry->second;
}

fs::path dropRecordingJob(Sandbox& sandbox, const fs::path& script, const std::string& id,
                          const std::string& seconds, const std::string& queue,
                          const std::string& status = "0") {
  return sandbox.dropJob(sandbox.jobFolder("pending"), id,
                         {{"executable", script.string()},
                          {"arguments", id + " " + seconds + " " + status},
                          {"queue", queue},
                          {"created", "2026-01-01T00:00:00"}});
}

// jsctl's status listing, or empty when the scheduler does not answer.
std::string statusListing(const Sandbox& sandbox) {
  const fs::path out = sandbox.path("status.txt");
  const int code = runShellCommand(std::string("'") + JSCTL_BINARY + "' -c '" +
                                   sandbox.configurationFile().string() +
                                   "' --timeout 5 status > '" + out.string() + "' 2>&1");
  return code == 0 ? readText(out) : std::string();
}

bool processGone(const fs::path& spec) {
  const std::string pid = specValue(spec, "pid");
  return pid == "<missing>" || ::kill(static_cast<pid_t>(std::stoi(pid)), 0) != 0;
}

// A job's time limit is kept by its supervisor, scheduler or not: two expire while none runs
// (one ignores SIGTERM and is killed after the grace time), one while its scheduler is killed
// and started again. Each is finished as ended by its limit, within limit + grace + 1 s.
TEST(JobSchedulerCrashRecovery, TimeLimitsExpireOnTimeWhileNoSchedulerRunsAndAcrossARestart) {
  Sandbox sandbox("time-limit");
  LeftoverJobs cleanup{sandbox};
  prepare(sandbox, {{"q_work", 0, 2}}, 4);
  std::string text = readText(sandbox.configurationFile());
  const std::string cores = " max-cores (Integer) = \"4\" { }\n";
  ASSERT_NE(text.find(cores), std::string::npos);
  text.replace(text.find(cores), cores.size(), cores + " kill-grace (TimeSpan) = \"1s\" { }\n");
  writeText(sandbox.configurationFile(), text);
  const fs::path sleeper = sandbox.path("sleeper.sh");
  writeText(sleeper, "#!/bin/sh\nexec sleep 60\n");
  const fs::path stubborn = sandbox.path("stubborn.sh");
  writeText(stubborn, "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 0.05; done\n");
  fs::permissions(sleeper, fs::perms::owner_all);
  fs::permissions(stubborn, fs::perms::owner_all);
  const auto drop = [&](const std::string& id, const fs::path& script) {
    sandbox.dropJob(sandbox.jobFolder("pending"), id,
                    {{"executable", script.string()},
                     {"arguments", id},
                     {"queue", "q_work"},
                     {"time-limit", "2s"}});
  };

  auto first = std::make_unique<SchedulerProcess>(sandbox, std::vector<std::string>{});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline));
  drop("quiet", sleeper);
  drop("deaf", stubborn);
  for (const char* id : {"quiet", "deaf"}) {
    ASSERT_TRUE(waitForFileText(sandbox.jobFolder(std::string("running/") + id + ".spec"), "pid="))
        << readText(sandbox.logFile());
  }
  ASSERT_TRUE(first->signal("KILL"));
  ASSERT_TRUE(first->waitForExit().has_value());
  first.reset();
  for (const char* id : {"quiet", "deaf"}) {
    EXPECT_TRUE(waitFor(
        [&] { return processGone(sandbox.jobFolder(std::string("running/") + id + ".spec")); },
        kJobDeadline))
        << id;
  }

  // The third starts under a scheduler that is killed and replaced before its limit runs out.
  drop("restarted", sleeper);
  auto second = std::make_unique<SchedulerProcess>(sandbox, std::vector<std::string>{});
  ASSERT_TRUE(waitForFileText(sandbox.jobFolder("running/restarted.spec"), "pid=", kStartDeadline))
      << readText(sandbox.logFile());
  ASSERT_TRUE(second->signal("KILL"));
  ASSERT_TRUE(second->waitForExit().has_value());
  second.reset();
  SchedulerProcess third(sandbox, std::vector<std::string>{});

  const std::vector<std::pair<std::string, int>> expected = {
      {"quiet", 128 + SIGTERM}, {"deaf", 128 + SIGKILL}, {"restarted", 128 + SIGTERM}};
  for (const auto& [id, status] : expected) {
    const fs::path spec = sandbox.jobFolder("finished/" + id + ".spec");
    ASSERT_TRUE(waitForFileText(spec, "ended=")) << id << "\n" << readText(sandbox.logFile());
    EXPECT_EQ(specValue(spec, "end-reason"), "time-limit") << id;
    EXPECT_EQ(specValue(spec, "exit-status"), std::to_string(status)) << id;
    // Whole seconds: 2 s of limit, 1 s of grace, 1 s more at most.
    const long long ran =
        std::stoll(specValue(spec, "ended")) - std::stoll(specValue(spec, "started"));
    EXPECT_LE(ran, 4) << id;
    EXPECT_GE(ran, 1) << id;
    EXPECT_EQ(readSpec(spec).count("run-id"), 1u) << id;
  }
  ASSERT_TRUE(third.signal("TERM"));
  EXPECT_EQ(third.waitForExit(), 0) << third.standardOutput();
}

TEST(JobSchedulerCrashRecovery, KilledWhileJobsRunTheirOutcomesAreKeptAndNoneRunsTwice) {
  Sandbox sandbox("crash-once");
  LeftoverJobs cleanup{sandbox};
  prepare(sandbox, {{"q_work", 0, 2}}, 4);
  const fs::path script = writeRecordingJob(sandbox);
  // Three end while the scheduler is down (0, 3, killed by signal 9); one runs on through the
  // restart and ends under the next scheduler with 5.
  struct Held {
    std::string id, status, expected;
  };
  const std::vector<Held> held = {
      {"end-0", "0", "0"}, {"end-3", "3", "3"}, {"end-kill", "kill", "137"}, {"live", "5", "5"}};
  const std::vector<std::string> waiting = {"wait-1", "wait-2", "wait-3"};

  auto first = std::make_unique<SchedulerProcess>(sandbox, std::vector<std::string>{});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
      << first->standardOutput() << first->standardError() << readText(sandbox.logFile());
  for (const Held& job : held)
    dropRecordingJob(sandbox, script, job.id, "hold", "q_work", job.status);
  std::vector<int> heldPids;
  for (const Held& job : held) {
    const fs::path running = sandbox.jobFolder("running/" + job.id + ".spec");
    ASSERT_TRUE(waitForFileText(running, "pid=")) << readText(sandbox.logFile());
    ASSERT_TRUE(waitFor([&] { return readRuns(sandbox, job.id).size() == 1; }));
    heldPids.push_back(readRuns(sandbox, job.id)[0].pid);
    EXPECT_EQ(specValue(running, "pid"), std::to_string(heldPids.back()));
  }
  // Every core is taken: these wait in their queue's folder.
  for (const std::string& id : waiting) dropRecordingJob(sandbox, script, id, "0.1", "q_work");
  for (const std::string& id : waiting) {
    ASSERT_TRUE(waitForFileText(sandbox.jobFolder("queues/q_work/" + id + ".spec"), "queued="));
  }
  ASSERT_EQ(countSpecFiles(sandbox), 7u);

  ASSERT_TRUE(first->signal("KILL"));
  ASSERT_TRUE(first->waitForExit().has_value());
  first.reset();
  // The jobs and their supervisors outlive the scheduler; three of them end now.
  EXPECT_EQ(countSpecFiles(sandbox), 7u);
  for (std::size_t i = 0; i + 1 < held.size(); ++i) writeText(releaseFile(sandbox, held[i].id), "");
  for (std::size_t i = 0; i + 1 < held.size(); ++i) {
    ASSERT_TRUE(waitFor([&] {
      const std::vector<JobRun> runs = readRuns(sandbox, held[i].id);
      return runs.size() == 1 && runs[0].end.has_value();
    })) << held[i].id;
  }
  EXPECT_FALSE(readRuns(sandbox, "live")[0].end.has_value());

  SchedulerProcess second(sandbox, std::vector<std::string>{});
  // Re-attached: the listing shows the live job's process as a running one.
  std::string listing;
  ASSERT_TRUE(waitFor(
      [&] {
        listing = statusListing(sandbox);
        const std::size_t running = listing.find("Running Jobs:");
        const std::size_t finished = listing.find("Finished Jobs:");
        if (running == std::string::npos || finished == std::string::npos) return false;
        const std::string block = listing.substr(running, finished - running);
        return block.find("] " + std::to_string(heldPids.back()) + " ") != std::string::npos;
      },
      kStartDeadline))
      << listing << second.standardOutput() << readText(sandbox.logFile());
  for (const Held& job : held) EXPECT_EQ(readRuns(sandbox, job.id).size(), 1u) << job.id;

  writeText(releaseFile(sandbox, "live"), "");
  std::vector<std::string> all = waiting;
  for (const Held& job : held) all.push_back(job.id);
  for (const std::string& id : all) {
    EXPECT_TRUE(waitForFileText(sandbox.jobFolder("finished/" + id + ".spec"), "ended="))
        << id << "\n"
        << readText(sandbox.logFile());
  }
  for (std::size_t i = 0; i < held.size(); ++i) {
    const fs::path spec = sandbox.jobFolder("finished/" + held[i].id + ".spec");
    EXPECT_EQ(specValue(spec, "pid"), std::to_string(heldPids[i]));
    // Recorded by the job's supervisor, whichever scheduler (if any) watched the end.
    EXPECT_EQ(specValue(spec, "exit-status"), held[i].expected) << held[i].id;
  }
  for (const std::string& id : waiting) {
    EXPECT_EQ(specValue(sandbox.jobFolder("finished/" + id + ".spec"), "exit-status"), "0");
  }
  for (const std::string& id : all) {
    const std::vector<JobRun> runs = readRuns(sandbox, id);
    EXPECT_EQ(runs.size(), 1u) << id;
    if (!runs.empty()) {
      EXPECT_TRUE(runs[0].end.has_value()) << id;
    }
  }
  const auto census = specCensus(sandbox);
  EXPECT_EQ(census.size(), all.size());
  for (const auto& [name, folders] : census) {
    EXPECT_EQ(folders, std::vector<std::string>{"finished"}) << name;
  }
  // The job's end is in the log with its exit status.
  EXPECT_NE(readText(sandbox.logFile()).find("end-3.spec\" ended with exit status 3"),
            std::string::npos);
  ASSERT_TRUE(second.signal("TERM"));
  EXPECT_EQ(second.waitForExit(), 0) << second.standardOutput();
}

// When each scheduler instance of the loop ran, by the test's clock.
struct Lifetime {
  std::int64_t spawned = 0;
  std::int64_t ended = 0;  // the SIGKILL, or the end of the last instance
};

struct LoopFigures {
  int restarts = 0;
  int restartFailures = 0;
  int jobs = 0;
  int lost = 0;
  int duplicated = 0;
  int stuck = 0;
  int neverRan = 0;
  int overlapping = 0;
  int ranTwice = 0;
  int explained = 0;
  int unexplained = 0;
  int wrongStatus = 0;
};

// A later run of a job is explained when no instance of the scheduler could have seen the
// earlier one end: the end fell between an instance's last pass and the next instance's
// recovery. It is not when some instance that already held the job (it had recovered before
// the run ended) began a pass after the end and lived through that pass, yet the job ran again.
bool isRerunExplained(const JobRun& earlier, const JobRun& later,
                      const std::map<int, InstanceTimeline>& timelines,
                      const std::vector<Lifetime>& lifetimes, std::string& why) {
  // The record is written a moment before the process exits, and a pass takes a moment.
  constexpr std::int64_t kExitLag = 500'000'000, kPassLength = 500'000'000;
  // Log times are cut to the millisecond.
  constexpr std::int64_t kLogResolution = 1'000'000;
  for (const auto& [pid, timeline] : timelines) {
    if (!timeline.recovered || *timeline.recovered >= *earlier.end) continue;
    const Lifetime* life = nullptr;
    for (const Lifetime& candidate : lifetimes) {
      if (*timeline.recovered + kLogResolution >= candidate.spawned &&
          *timeline.recovered <= candidate.ended) {
        life = &candidate;
      }
    }
    if (life == nullptr) continue;
    for (std::int64_t pass : timeline.passStarts) {
      if (pass > *earlier.end + kExitLag && pass < later.start &&
          pass + kPassLength < life->ended) {
        std::ostringstream text;
        text << "instance " << pid << " began a pass " << (pass - *earlier.end) / 1'000'000
             << " ms after run " << earlier.pid << " ended and lived "
             << (life->ended - pass) / 1'000'000 << " ms more";
        why = text.str();
        return false;
      }
    }
  }
  return true;
}

// Where the end of an explained earlier run fell, for the figures' explanation.
std::string describeEnd(std::int64_t end, const std::vector<Lifetime>& lifetimes) {
  for (std::size_t i = 0; i < lifetimes.size(); ++i) {
    const Lifetime& life = lifetimes[i];
    if (end < life.spawned) {
      return "ended while the scheduler was down (before start " + std::to_string(i) + ")";
    }
    if (end <= life.ended) {
      return "ended " + std::to_string((life.ended - end) / 1'000'000) + " ms before kill " +
             std::to_string(i) + " (" + std::to_string((end - life.spawned) / 1'000'000) +
             " ms after that start)";
    }
  }
  return "ended after the last instance";
}

int environmentNumber(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

TEST(JobSchedulerCrashRecovery, KillAndRestartLoopLosesNoSpecAndNeverRunsAJobTwiceAtOnce) {
  const unsigned seed = static_cast<unsigned>(
      environmentNumber("ZELCOR_CRASH_SEED", static_cast<int>(std::random_device()() >> 1)));
  const int restarts = environmentNumber("ZELCOR_CRASH_RESTARTS", 20);
  std::cout << "crash-loop seed=" << seed << " (set ZELCOR_CRASH_SEED to repeat)" << std::endl;
  std::mt19937 random(seed);
  auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };

  Sandbox sandbox("crash-loop");
  LeftoverJobs cleanup{sandbox};
  const std::vector<QueueSetting> queues = {{"q_hi", 2, 3}, {"q_mid", 1, 2}, {"q_lo", 0, 1}};
  prepare(sandbox, queues, 3);
  const fs::path script = writeRecordingJob(sandbox);

  std::vector<std::string> ids;
  std::map<std::string, std::string> statusOf;
  auto submit = [&](int count) {
    for (int i = 0; i < count; ++i) {
      char id[16];
      std::snprintf(id, sizeof id, "job-%03zu", ids.size());
      char seconds[16];
      const int millis = uniform(100, 1500);
      std::snprintf(seconds, sizeof seconds, "%d.%03d", millis / 1000, millis % 1000);
      // Each job its own outcome, so that one job's status can never pass for another's.
      const std::string status = std::to_string(uniform(0, 9));
      dropRecordingJob(sandbox, script, id, seconds,
                       queues[static_cast<std::size_t>(uniform(0, 2))].name, status);
      ids.emplace_back(id);
      statusOf[id] = status;
    }
  };

  LoopFigures figures;
  std::vector<Lifetime> lifetimes;
  std::vector<std::string> failures;
  submit(30);
  for (int round = 0; round < restarts; ++round) {
    Lifetime life;
    life.spawned = wallClockNanos();
    SchedulerProcess scheduler(sandbox, std::vector<std::string>{});
    ASSERT_TRUE(scheduler.started());
    // A random moment: some fall into start-up and recovery, most into the loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(uniform(0, 1800)));
    if (!scheduler.isRunning()) {
      ++figures.restartFailures;
      failures.push_back("instance " + std::to_string(round) +
                         " ended by itself: " + scheduler.standardOutput());
    }
    life.ended = wallClockNanos();
    scheduler.signal("KILL");
    ASSERT_TRUE(scheduler.waitForExit().has_value());
    lifetimes.push_back(life);
    ++figures.restarts;
    // New work also arrives while the scheduler is down.
    submit(uniform(0, 3));
  }

  Lifetime last;
  last.spawned = wallClockNanos();
  {
    SchedulerProcess scheduler(sandbox, std::vector<std::string>{});
    auto finishedCount = [&] {
      std::size_t count = 0;
      for (const std::string& id : ids) {
        count += fs::exists(sandbox.jobFolder("finished/" + id + ".spec"));
      }
      return count;
    };
    const bool drained = waitFor([&] { return finishedCount() == ids.size(); }, kDrainDeadline);
    EXPECT_TRUE(drained) << finishedCount() << " of " << ids.size() << " finished\n"
                         << scheduler.standardOutput();
    EXPECT_TRUE(scheduler.isRunning()) << scheduler.standardOutput();
    // Earlier instances may have finished everything: the TERM must not come before this
    // instance can take it as a request to quit.
    EXPECT_TRUE(waitFor([&] { return !statusListing(sandbox).empty(); }, kStartDeadline));
    last.ended = wallClockNanos();
    scheduler.signal("TERM");
    EXPECT_EQ(scheduler.waitForExit(), 0);
  }
  lifetimes.push_back(last);

  figures.jobs = static_cast<int>(ids.size());
  const auto census = specCensus(sandbox);
  for (const std::string& id : ids) {
    const auto entry = census.find(id + ".spec");
    if (entry == census.end()) {
      ++figures.lost;
      failures.push_back(id + ": spec file lost");
      continue;
    }
    if (entry->second.size() > 1) {
      ++figures.duplicated;
      failures.push_back(id + ": spec file in " + std::to_string(entry->second.size()) + " places");
    } else if (entry->second[0] != "finished") {
      ++figures.stuck;
      failures.push_back(id + ": spec file left in " + entry->second[0]);
    }
  }
  for (const auto& [name, folders] : census) {
    const std::string stem = name.substr(0, name.size() - 5);
    if (std::find(ids.begin(), ids.end(), stem) == ids.end()) {
      ++figures.duplicated;
      failures.push_back(name + ": a spec file nobody submitted, in " + folders[0]);
    }
  }

  const std::map<int, InstanceTimeline> timelines = readTimelines(sandbox);
  for (const std::string& id : ids) {
    const std::vector<JobRun> runs = readRuns(sandbox, id);
    if (runs.empty()) {
      ++figures.neverRan;
      failures.push_back(id + ": never ran");
      continue;
    }
    const std::string status =
        specValue(sandbox.jobFolder("finished/" + id + ".spec"), "exit-status");
    if (status != statusOf[id]) {
      ++figures.wrongStatus;
      failures.push_back(id + ": exit-status " + status + ", the job exited with " + statusOf[id]);
    }
    // Kills are no clean shutdown: every job runs once, whatever moment the kill hit.
    if (runs.size() > 1) {
      ++figures.ranTwice;
      failures.push_back(id + ": ran " + std::to_string(runs.size()) + " times");
    }
    bool overlapped = false;
    for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
      const JobRun& earlier = runs[i];
      const JobRun& later = runs[i + 1];
      if (!earlier.end || later.start < *earlier.end) {
        overlapped = true;
        failures.push_back(id + ": run " + std::to_string(later.pid) + " started while run " +
                           std::to_string(earlier.pid) + " was alive");
        continue;
      }
      std::string why;
      if (isRerunExplained(earlier, later, timelines, lifetimes, why)) {
        ++figures.explained;
        std::cout << "crash-loop rerun " << id << ": run " << earlier.pid << " "
                  << describeEnd(*earlier.end, lifetimes) << std::endl;
      } else {
        ++figures.unexplained;
        failures.push_back(id + ": ran again without cause: " + why);
      }
    }
    if (!runs.back().end) failures.push_back(id + ": last run has no end");
    figures.overlapping += overlapped;
  }

  std::cout << "crash-loop figures: seed=" << seed << " restarts=" << figures.restarts
            << " restart-failures=" << figures.restartFailures << " jobs=" << figures.jobs
            << " lost=" << figures.lost << " duplicated=" << figures.duplicated
            << " stuck=" << figures.stuck << " never-ran=" << figures.neverRan
            << " run-twice-while-alive=" << figures.overlapping
            << " ran-more-than-once=" << figures.ranTwice
            << " reruns-explained=" << figures.explained
            << " reruns-unexplained=" << figures.unexplained
            << " wrong-exit-status=" << figures.wrongStatus << std::endl;
  for (const std::string& failure : failures) ADD_FAILURE() << failure;
  // For a look at the log, the records and the folders after a failure.
  if (const char* keep = std::getenv("ZELCOR_CRASH_KEEP"); keep != nullptr && !failures.empty()) {
    std::error_code error;
    fs::copy(sandbox.root(), keep, fs::copy_options::recursive, error);
  }
  EXPECT_EQ(figures.restarts, restarts);
  EXPECT_GE(figures.restarts, 1);
}

}  // namespace
}  // namespace Zelcor::e2e
