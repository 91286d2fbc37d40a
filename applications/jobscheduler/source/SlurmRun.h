// A job run on a Slurm cluster, by its supervisor: the supervisor submits it with sbatch
// (under a name unique to the job, looked up first, so that a submission whose answer was lost
// is found again rather than made twice), records the cluster's job id in the run record, then
// watches the job with scontrol (or sacct, once the controller has dropped it) until it ends,
// and records the outcome like a local run. A cancel becomes scancel; a stop of the scheduler
// is ignored (the job goes on; the next scheduler re-attaches to the supervisor, or a new
// supervisor to the job by its name). Every tool runs with a timeout; an unreachable controller
// is waited out. Used by the supervisor program only; single-threaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RunRecord.h"
#include "platform/Accounts.h"

namespace Zelcor {

// What the scheduler asks of one Slurm run.
struct SlurmLaunch {
  // Given to the tools as SLURM_CONF; empty: their own default.
  std::string conf;
  std::string partition;
  // Extra sbatch options, one word each.
  std::vector<std::string> options;
  // The job's name on the cluster (-J): the same for every run of one job.
  std::string name;
  // The name was made for this run: no job can have it yet, so the first submission needs no
  // look-up (every later one does).
  bool freshName = false;
  std::string output;
  std::int64_t timeLimitMilliseconds = 0;
  std::int32_t nice = 0;
};

struct SlurmJobState {
  std::string id;
  std::string name;
  std::string state;  // JobState: PENDING, RUNNING, COMPLETED, FAILED, CANCELLED, TIMEOUT...
  std::int32_t exitCode = 0;
  std::int32_t signal = 0;
  std::int64_t startedAt = -1;  // Unix seconds; -1 before it ran

  // The job has ended for good.
  bool isFinal() const;
  bool hasRun() const { return startedAt >= 0; }
};

class SlurmTools {
 public:
  // One "scontrol show job -o" line; nothing when it names no job.
  static std::optional<SlurmJobState> parseScontrol(const std::string& text);
  // The line of "sacct -n -P -o jobid,jobname,state,exitcode,start" whose id is id (or, with id
  // empty, whose name is name; the last such); nothing when there is none.
  static std::optional<SlurmJobState> parseSacct(const std::string& text, const std::string& id,
                                                 const std::string& name);
  // "2026-12-10T07:48:06" in local time as Unix seconds; -1 for "Unknown", "None" or junk.
  static std::int64_t parseTime(const std::string& text);
  // A shell script that runs program with arguments, each quoted for the shell.
  static std::string batchScript(const std::string& program,
                                 const std::vector<std::string>& arguments);
  // --time's value: whole minutes, rounded up (the cluster's unit), as D-HH:MM:00.
  static std::string timeLimitText(std::int64_t milliseconds);
  // The nice value for a priority level 0 (very low) .. 4 (very high): a higher level is less
  // nice; never negative, which only an operator may ask for.
  static std::int32_t niceFor(std::int32_t priorityLevel);
  // The exit status and end reason of a final state; cancelAsked: the cancel was ours.
  static void outcomeOf(const SlurmJobState& state, RunRecord& record);
  // The sbatch command line for launch, run as owner (none: as the supervisor).
  static std::vector<std::string> sbatchArguments(const SlurmLaunch& launch,
                                                  const ZelcorCorelib::platform::Account* owner);
};

// Runs the job on the cluster and records it in recordFd, reporting to reportFd as a local
// supervisor does ("slurm <id> <cluster>", then "launched <own pid>"). The exit code of the
// supervisor program.
int superviseSlurmJob(const SlurmLaunch& launch, const std::string& program,
                      const std::vector<std::string>& arguments,
                      const ZelcorCorelib::platform::Account* owner, RunRecord& record,
                      int recordFd, int reportFd);

}  // namespace Zelcor
