// Tools for the crash-recovery end-to-end tests: a job script that records each of its runs
// (start and end time with its pid) in a file of its own, the readers of those records, a
// census of the spec files in every job folder, the scheduler's own timeline read back from
// its log (when each instance recovered and when each pass began), and the clean-up of job
// processes that outlive a test. One test thread uses these; nothing is shared.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {

// Nanoseconds since 1970 by the wall clock, the clock of the job records and of the log.
std::int64_t wallClockNanos();

// <root>/recording-job.sh ID SECONDS [STATUS]: appends "start PID NANOS" to <root>/runs/ID.log,
// sleeps SECONDS (or, for "hold", until <root>/release-ID exists), appends "end PID NANOS", then
// exits with STATUS (0 when none; "kill": killed by SIGKILL).
std::filesystem::path writeRecordingJob(const Sandbox& sandbox);
std::filesystem::path releaseFile(const Sandbox& sandbox, const std::string& id);

struct JobRun {
  int pid = 0;
  std::int64_t start = 0;
  std::optional<std::int64_t> end;  // none while it runs (or if it was killed)
};
// The runs of job id in start order.
std::vector<JobRun> readRuns(const Sandbox& sandbox, const std::string& id);

// Every *.spec file under <root>/jobs at any depth, by file name, with the folders (relative
// to <root>/jobs) that hold a file of that name.
std::map<std::string, std::vector<std::string>> specCensus(const Sandbox& sandbox);
std::size_t countSpecFiles(const Sandbox& sandbox);

// What one scheduler process wrote into the log (trace level needed): when its recovery had
// checked the running jobs and when each pass of its loop began.
struct InstanceTimeline {
  std::optional<std::int64_t> recovered;
  std::vector<std::int64_t> passStarts;
};
// By process id, from every file of <root>/log. Log times are read as UTC: run the scheduler
// with TZ=UTC.
std::map<int, InstanceTimeline> readTimelines(const Sandbox& sandbox);

// SIGKILL to the process group of every recorded run that has no end and still runs the
// recording script; the number of groups signalled.
int killLeftoverJobs(const Sandbox& sandbox);

// Runs a shell command line to its end; its exit code, or -1.
int runShellCommand(const std::string& command);

}  // namespace Zelcor::e2e
