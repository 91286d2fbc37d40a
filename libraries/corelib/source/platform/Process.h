// The operating-system calls behind the scheduler's child processes: starting a program in a
// process group of its own, polling and reaping it, asking its group to stop, and reading what
// the system knows about a process that this program did not start (after a restart).
// Called by the scheduler's ChildProcess only. Stateless; every function is safe from any
// thread, but the caller serialises work on one process (a reaped pid may be reused at once).
// Nothing throws: failures come back as results with the errno value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZelcorCorelib::platform {

using ProcessId = std::int32_t;

struct SpawnOptions {
  // False: the child gets only its standard input, output and error, whatever else is open.
  bool inheritDescriptors = true;
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
// The ids of every process now in the system (the entries of /proc), ascending; empty when
// they cannot be listed.
std::vector<ProcessId> listProcessIds();
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

// Makes descriptor this process's standard output and closes descriptor; false (nothing
// changed, descriptor still open) when that fails.
bool redirectStandardOutput(int descriptor);

}  // namespace ZelcorCorelib::platform
