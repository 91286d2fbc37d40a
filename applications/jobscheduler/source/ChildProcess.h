// One run of a job's program, under its supervisor (Supervisor.h): either one this program
// starts (createChildProcess, setLaunch, then run) or one that an earlier scheduler started and
// whose supervisor still lives or has recorded the outcome (fromRecord, used by recovery).
// Knows the command and its split argument list, the program's process id, the state (not
// started, running, ended), the exit code and the rest of the outcome as the supervisor
// recorded it, and asks the supervisor to stop the program's process group.
//
// How an end is learnt: from a started run, the end of the pipe the supervisor reports on;
// from a recovered one, the process handle (pidfd) of the supervisor, or else its lock on the
// record. getWakeDescriptor gives what the scheduling loop may wait on.
//
// Ownership: objects exist only behind std::shared_ptr. The process registry holds one
// reference to every started object until it has ended and been collected; the job's
// CommandProcess holds another, so it can read the exit code after the registry let go.
// Thread-safety: every operation may be called from any thread; the state changes of one
// object (poll, run, requestStop) are serialised by the object's own mutex, so a supervisor
// is reaped exactly once and a stop is never sent to a pid that was already handed back.
//
// Command line and argv: the arguments are split into the argument list once, when the object
// is built; run joins them into the command line text (for logs and status) and hands the
// program one argv element per list entry, with double quotes removed as a Windows C runtime
// removes them from that entry's place on the command line (argvElement).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "RunRecords.h"
#include "SlurmSettings.h"
#include "platform/Handle.h"

namespace Zelcor {

class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
  // Keeps construction inside the factories, which alone set the object up.
  struct Key {
    explicit Key() = default;
  };

 public:
  using Pointer = std::shared_ptr<ChildProcess>;

  enum State : int { kNotStarted = 0, kRunning = 1, kEnded = 6 };

  // What run needs to know besides the command: where the record goes and what it names.
  struct Launch {
    RunRecords::Pointer records;
    std::string runId;
    std::string spec;
    std::string queue;
    std::int64_t started = -1;
    // Who the program runs as; none: as the scheduler.
    std::optional<std::uint32_t> runAs;
    // How long the program may run (0: no limit); the supervisor keeps to it, with or without
    // a scheduler, giving the program the records' kill grace to stop.
    std::int64_t timeLimitMilliseconds = 0;
    // The file the program's output and errors go to (empty: the scheduler's own), and
    // whether its folder is the runAs user's own (see JobOutputs).
    std::string output;
    bool outputOwnFolder = false;
    // Set: the job runs on a Slurm cluster under this name; the supervisor submits and
    // watches it (SlurmRun.h) and is its only local process.
    std::optional<SlurmSettings> slurm;
    std::string slurmName;
    // The name was stamped by this start: no job on the cluster can have it yet.
    bool slurmFreshName = false;
    std::int32_t priorityLevel = 2;
    // False: run returns once the supervisor is started, and completeLaunch waits for its word
    // on the launch, so that a caller can start several supervisors before it waits.
    bool awaitLaunch = true;
  };

  explicit ChildProcess(Key);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void setLaunch(Launch launch);
  // Records the run and starts the supervisor, which starts the program once the launch is on
  // disk. True when the program runs, or could not be executed (then the object has ended at
  // once with exit code 127 or 126 and getOutcome says why). False, with getStartError, when
  // nothing ran: no launch set, the record could not be written, the supervisor could not be
  // started. A registered object enters the process registry under the program's pid.
  bool run();
  // The rest of a run started without awaitLaunch: the same answer run would have given.
  bool completeLaunch();
  // A run started without awaitLaunch whose completeLaunch has not been called yet.
  bool hasPendingLaunch() const;
  // Whether completeLaunch would answer at once: the supervisor has given its word on the
  // launch, has gone, or has let the launch deadline pass. Reads what the supervisor reported.
  bool isLaunchSettled();
  // True while the program runs. Once the supervisor has gone, the object has ended with the
  // recorded outcome: exit code, or 128 + N for signal N; -1 when the supervisor went without
  // recording one (getOutcome then has none).
  bool poll();
  // Asks the supervisor to stop the program's process group (SIGTERM, passed on); true when
  // asked. False when poll says it does not run. No wait: the caller learns of the end by
  // polling.
  // Asks the supervisor to cancel the program (its group gets SIGTERM, then SIGKILL after the
  // kill grace; the outcome's reason is "cancelled"). False when it has ended, or its launch
  // has not been heard of yet (ask again later).
  bool requestCancel();
  bool requestStop();

  // The rule for the arguments string, byte by byte (see the .cpp for the details).
  static std::vector<std::string> splitArguments(const std::string& arguments);
  // An entry as it appears on the command line: quoted when it holds a blank and does not
  // begin with a double quote.
  static std::string commandLineEntry(const std::string& entry);
  // The command, a blank and the non-empty entries joined by blanks; just the command when
  // there are none.
  static std::string buildCommandLine(const std::string& command,
                                      const std::vector<std::string>& argumentList);
  // The argv element for one entry: commandLineEntry(entry) with its quotes removed.
  // Unescaped double quotes open and close quoted parts and vanish; a run of n backslashes
  // before a double quote gives n/2 backslashes, and for odd n a literal double quote; inside
  // quotes "\\" gives one backslash; every other byte is kept.
  static std::string argvElement(const std::string& entry);

  const std::string& getCommand() const { return command; }
  const std::vector<std::string>& getArgumentList() const { return argumentList; }
  // The joined command line of the last run; empty before.
  std::string getCommandLine() const;
  bool getInheritHandles() const { return inheritHandles; }

  std::uint32_t getPid() const;
  // The Slurm job's id and cluster, once the supervisor has reported or recorded them.
  std::string getSlurmJobId() const;
  std::string getSlurmCluster() const;
  bool isSlurmRun() const { return launch.slurm.has_value(); }
  // Once: when the cluster started the job (Unix seconds), after the supervisor reported it.
  std::optional<std::int64_t> takeClusterStart();
  // Once per change: what keeps the supervisor from reaching the cluster (empty: it answers
  // again).
  std::optional<std::string> takeClusterTrouble();
  std::uint32_t getSupervisorPid() const;
  int getState() const;
  std::int32_t getExitCode() const;
  bool isRegistered() const { return registered; }
  // errno of the last failed run, 0 when none.
  int getStartError() const;
  const std::string& getRunId() const { return launch.runId; }
  // The record as read when the run ended; nullopt before, or when it holds no outcome.
  std::optional<RunRecord> getOutcome() const;
  // Once per run: (errno, exit status) when the program has ended but its supervisor cannot
  // write the outcome yet; it keeps trying and the run counts as running until it can.
  std::optional<std::pair<int, std::int32_t>> takeUnwrittenOutcome();
  // A descriptor that becomes readable when poll has news; -1 when there is nothing to wait on.
  int getWakeDescriptor() const;

  // For recovery: an object for the run that record describes. With alive, the supervisor is
  // taken to live (its lock is held): the object runs until it goes. Without, the object has
  // ended with the record's outcome (when it has one). Not put into the registry.
  static Pointer fromRecord(const RunRecords::Pointer& records, const RunRecord& record,
                            bool alive);

 private:
  friend Pointer createChildProcess(const std::string& command, const std::string& arguments,
                                    bool redirectOutput, bool inheritHandles);

  bool pollLocked();
  // Reads the report pipe; true when the supervisor has gone.
  bool readReportLocked();
  // Waits until the supervisor reports the launch, refuses it or goes; false when refused.
  bool awaitLaunchLocked(std::uint32_t& startedPid);
  // After the supervisor has gone: reap it (when ours), read the outcome.
  void endLocked();

  std::string command;
  std::vector<std::string> argumentList;
  bool inheritHandles = true;
  std::uint32_t pid = 0;
  std::uint32_t supervisorPid = 0;
  bool ownSupervisor = false;
  int state = kNotStarted;
  std::int32_t exitCode = -1;
  bool registered = false;
  std::string commandLine;
  int startError = 0;
  Launch launch;
  bool launchPending = false;
  std::chrono::steady_clock::time_point launchDeadline;
  ZelcorCorelib::platform::Handle report;
  std::string reportText;
  ZelcorCorelib::platform::Handle supervisorHandle;
  std::optional<RunRecord> outcome;
  std::string slurmJobId;
  std::string slurmCluster;
  std::optional<std::int64_t> clusterStart;
  std::optional<std::string> clusterTrouble;
  std::optional<std::pair<int, std::int32_t>> unwritten;
  bool unwrittenTaken = false;

  mutable std::mutex mutex;
};

// A process to be started by run (after setLaunch); null when the object cannot be made.
// redirectOutput is not supported by supervised runs and is ignored.
ChildProcess::Pointer createChildProcess(const std::string& command, const std::string& arguments,
                                         bool redirectOutput, bool inheritHandles);

}  // namespace Zelcor
