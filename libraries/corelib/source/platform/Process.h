// The operating-system calls behind the scheduler's child processes: starting a program in a
// process group of its own, polling and reaping it, asking its group to stop, and reading what
// the system knows about a process that this program did not start (after a restart).
// Called by the scheduler's ChildProcess only. Stateless; every function is safe from any
// thread, but the caller serialises work on one process (a reaped pid may be reused at once).
// Nothing throws: failures come back as results with the errno value.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Handle.h"

namespace ZelcorCorelib::platform {

using ProcessId = std::int32_t;

struct SpawnOptions {
  // False: the child gets only its standard input, output and error (and descriptors below),
  // whatever else is open.
  bool inheritDescriptors = true;
  // A session of its own instead of a process group: no terminal's signals reach it.
  bool newSession = false;
  // (descriptor here, number in the child): handed over whatever their close-on-exec flags.
  std::vector<std::pair<int, int>> descriptors;
};

struct SpawnResult {
  ProcessId pid = 0;  // > 0 once started
  int error = 0;      // errno of the failure, 0 on success
};

// Starts program with argv = program, arguments... in a new process group whose id is the
// child's pid, with this process's environment, working directory and standard descriptors,
// an empty signal mask and default signal dispositions. A program containing "/" is run as
// given, a bare name is searched on PATH. A program that cannot be executed (missing, not
// executable, not a valid image) is reported here as a failure, never as a started child.
SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const SpawnOptions& options = {});

enum class ChildState {
  running,
  ended,
  unknown,  // not a child of this process (never was, or already reaped elsewhere)
};

struct ChildStatus {
  ChildState state = ChildState::unknown;
  // For ended: the exit status, or 128 + N for a child ended by signal N.
  std::int32_t exitCode = -1;
  int error = 0;
};

// Never blocks. An ended child is reaped by this call: afterwards its pid may be reused, so the
// caller must not signal or poll that pid again.
// Requires: pid names a child of this process.
ChildStatus pollChild(ProcessId pid);

// Sends SIGTERM to the process group pid; a pid that leads no group (a process started by
// someone else) gets the signal alone. False when nothing was sent.
bool terminateProcessGroup(ProcessId pid);

// For any process: false when no such process exists, or it has ended and waits to be reaped
// (a zombie). A process of another user counts as alive.
bool isProcessAlive(ProcessId pid);
// The executable image (/proc/<pid>/exe); nullopt when it cannot be read (another user's
// process, a kernel thread, no such process).
std::optional<std::string> processImagePath(ProcessId pid);
// The argument vector as the process holds it now (/proc/<pid>/cmdline).
std::optional<std::vector<std::string>> processCommandLine(ProcessId pid);
// When the process started, in clock ticks since boot: unchanged for the life of the process,
// so a different value for the same pid means the pid was reused.
std::optional<std::uint64_t> processStartTicks(ProcessId pid);
// When the process started, in whole Unix seconds (boot time plus start ticks); the boot time
// has one-second resolution, so compare with a second's tolerance.
std::optional<std::int64_t> processStartTime(ProcessId pid);

// Waits without a timeout and reaps; for a child known to be ending (its descriptors closed).
ChildStatus waitChild(ProcessId pid);

// Sends signal to the process group pid (the process alone when it leads none). False when
// nothing was sent; never addresses this process's own group, init or every process.
bool signalProcessGroup(ProcessId pid, int signal);
// Sends signal to pid only. Only for a child not yet reaped, whose pid cannot have been reused.
bool signalChild(ProcessId pid, int signal);

// A handle that stays bound to this very process (a pidfd): readable once it has ended, and
// signalled without the risk of hitting a process that took over its pid. Invalid when the
// process does not exist or the system has no such handles.
Handle openProcessHandle(ProcessId pid);
bool signalProcessHandle(const Handle& process, int signal);

// A pipe whose ends are both close-on-exec; the read end does not block. False on failure.
bool makePipe(Handle& readEnd, Handle& writeEnd);
enum class ReadState { data, empty, ended, failed };
// Appends what can be read now without blocking; ended once the last writer has closed.
ReadState readAvailable(int descriptor, std::string& into);
// Every byte, across short writes and signals; false on failure.
bool writeText(int descriptor, const std::string& text);
// The positions in descriptors of those readable (or closed, or ended) within timeout; empty
// when none became so. Negative entries are skipped.
std::vector<std::size_t> waitReadable(const std::vector<int>& descriptors,
                                      std::chrono::milliseconds timeout);

// This boot of the machine (/proc/sys/kernel/random/boot_id); empty when unknown. Process
// start ticks count from the boot, so they identify a process only with it.
std::string bootId();

// Makes descriptor this process's standard output and closes descriptor; false (nothing
// changed, descriptor still open) when that fails.
bool redirectStandardOutput(int descriptor);

}  // namespace ZelcorCorelib::platform
