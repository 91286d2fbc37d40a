// The job supervisor (the program "jobscheduler-run"): the scheduler starts one for every job.
// It runs the job's program in a process group of its own and keeps the job's run record
// (RunRecord): the launch is on disk before the program runs, the outcome before the
// supervisor exits. It lives in a session of its own, so a crash or kill of the scheduler does
// not touch it; the lock on the record, which it holds while it lives, tells a later scheduler
// that it still runs.
//
// Command line: --record-fd=N --report-fd=M [--user=UID] -- PROGRAM [ARGUMENT...]
//   UID: the program runs as that user's account (platform superviseProgram); an account that
//   cannot be found runs nothing (outcome 126, not started).
//   N: the record, open for writing and locked (RunRecords::begin); M: a pipe to the scheduler,
//   which gets one line per step: "launched <pid>", "refused <errno>" (the launch could not be
//   recorded; the program did not run), "not-started <errno>" (exec failed; outcome recorded),
//   "unwritten <errno>" (the outcome could not be recorded yet; tried again every second).
//   The pipe's end tells the scheduler that the supervisor has gone.
//   With --slurm the job runs on a Slurm cluster instead (SlurmRun.h), and the pipe also gets
//   "slurm <id> <cluster>" before "launched", "running <start>", and "trouble <text>" /
//   "answering" while the cluster does not answer and once it does again.
// Other options: --time-limit-ms, --kill-grace-ms, --output=/PATH [--output-own-folder], and
// the --slurm-... settings (see the usage text).
// Exit status: 0 once the outcome is recorded, 2 for a bad command line, 3 when the program
// was refused.
#pragma once

#include <string>
#include <vector>

#include "RunRecord.h"

namespace Zelcor {

// Stamps the end time and appends record's outcome to recordFd; a file system that is full or
// read-only is waited out (reported once as "unwritten" on reportFd). 0, or 1 when recordFd is
// no writable file.
int recordOutcome(RunRecord& record, int recordFd, int reportFd);

// arguments: the command line without the program's own name.
int runSupervisor(const std::vector<std::string>& arguments);

}  // namespace Zelcor
