// The record of one run of a job, kept by the scheduler in its own folder (under the working
// folder) as one small text file of "key=value" lines, written in three steps and never
// rewritten: the scheduler writes what it is about to start before the supervisor exists; the
// supervisor adds the launch (its own and the program's process) before the program runs, and
// the outcome before it exits. A step counts only once its last key is there on a whole line
// ("launched", "ended"), so a step cut short by a crash reads as not taken.
// Values; the format is shared by the scheduler and the supervisor program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Zelcor {

struct RunRecord {
  static constexpr const char* kFileSuffix = ".run";
  // Outcome end reasons.
  static constexpr const char* kReasonExit = "exit";
  static constexpr const char* kReasonSignal = "signal";
  static constexpr const char* kReasonNotStarted = "not-started";
  static constexpr const char* kReasonShutdown = "shutdown";
  static constexpr const char* kReasonTimeLimit = "time-limit";
  static constexpr const char* kReasonCancelled = "cancelled";
  // A Slurm job that the cluster no longer knows (its records lost): its end is not known.
  static constexpr const char* kReasonLost = "lost";

  // Written by the scheduler.
  std::string runId;
  std::string spec;  // the spec file's name when the run began
  std::string queue;
  std::string program;
  std::string user;           // the uid the program runs as; empty: the scheduler's
  std::int64_t started = -1;  // Unix seconds
  std::string bootId;

  // Written by the supervisor before the program runs.
  bool launched = false;
  std::uint32_t supervisorPid = 0;
  std::uint64_t supervisorStart = 0;  // start ticks since boot
  std::uint32_t jobPid = 0;
  std::uint64_t jobStart = 0;
  std::int64_t launchedAt = -1;
  // A run on a Slurm cluster: the job's id and the cluster's name (the supervisor is then the
  // job's only local process: jobPid is its own).
  std::string slurmJobId;
  std::string slurmCluster;

  // Written by the supervisor when the program has ended (or could not be executed).
  bool ended = false;
  std::int32_t exitStatus = -1;
  std::string endReason;
  std::string error;
  std::int64_t endedAt = -1;
  // A Slurm job: when the cluster started it (Unix seconds); -1 when it never ran.
  std::int64_t slurmStartedAt = -1;

  std::string intentText() const;
  std::string launchText() const;
  std::string outcomeText() const;
  // Whole lines only; unknown keys are ignored.
  static RunRecord parse(const std::string& text);
};

// A run id is used as a file name: letters, digits and "-" only.
bool isRunId(const std::string& text);

}  // namespace Zelcor
