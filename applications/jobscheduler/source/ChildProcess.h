// One operating-system process of a job: either one this program starts (createChildProcess,
// then run) or one that was already running when the scheduler came up (attachChildProcess,
// used by recovery). Knows the command and its split argument list, the process id, the state
// (not started, running, ended) and the exit code, and asks the process group to stop.
//
// Ownership: objects exist only behind std::shared_ptr. The process registry holds one
// reference to every started object until it has ended and been collected; the job's
// CommandProcess holds another, so it can read the exit code after the registry let go.
// Thread-safety: every operation may be called from any thread; the state changes of one
// object (poll, run, requestStop) are serialised by the object's own mutex, so an ended child
// is reaped exactly once and a stop is never sent to a pid that was already handed back.
//
// Command line and argv: the arguments are split into the argument list once, when the object
// is built; run joins them into the command line text (for logs and status) and hands the
// program one argv element per list entry, with double quotes removed as a Windows C runtime
// removes them from that entry's place on the command line (argvElement).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Zelcor {

class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
  // Keeps construction inside the factories, which alone set the object up.
  struct Key {
    explicit Key() = default;
  };

 public:
  using Pointer = std::shared_ptr<ChildProcess>;

  enum State : int { kNotStarted = 0, kRunning = 1, kEnded = 6 };

  explicit ChildProcess(Key);
  // Closes an output descriptor that was never used.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program. False when the child still runs, when this object describes an
  // attached process, or when the program cannot be started (missing, not executable): that
  // failure is known when run returns, and getStartError names it. A registered object
  // enters the process registry under its new pid, replacing an older entry of that pid.
  bool run();
  // True while the process runs. Our own child is reaped here once it has ended (exit code,
  // or 128 + N for signal N); an attached process has ended when it is gone, a zombie, or its
  // pid now names a process that started at another time; its exit code stays -1.
  bool poll();
  // Sends SIGTERM to the process group; true when sent. False when poll says it does not
  // run. No wait and no forced kill: the caller learns of the end by polling.
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
  const std::u16string& getWideCommand() const { return wideCommand; }
  const std::vector<std::string>& getArgumentList() const { return argumentList; }
  const std::vector<std::u16string>& getWideArgumentList() const { return wideArgumentList; }
  // The joined command line of the last run; empty before.
  std::string getCommandLine() const;
  bool getInheritHandles() const { return inheritHandles; }
  bool getRedirectOutput() const { return redirectOutput; }
  // The descriptor that becomes this program's standard output after a run with
  // redirectOutput; the object takes it over (closing one it held before). -1: none.
  void setOutputDescriptor(int descriptor);

  std::uint32_t getPid() const;
  std::uint32_t getParentPid() const;
  // The pid itself: a POSIX process has no separate primary-thread id to post to.
  std::uint32_t getThreadId() const;
  int getState() const;
  std::int32_t getExitCode() const;
  bool isRegistered() const { return registered; }
  bool isAttached() const { return attached; }
  // errno of the last failed run, 0 when none.
  int getStartError() const;

  // For recovery, of an attached process: the argument vector it runs with (for a script the
  // image is the interpreter and the script is its first or second element) and its start
  // time in Unix seconds (-1 when unknown), to tell a reused pid from the job's own process.
  const std::vector<std::string>& getCommandLineElements() const { return commandLineElements; }
  std::int64_t getStartTime() const { return startTime; }

 private:
  friend Pointer createChildProcess(const std::string& command, const std::string& arguments,
                                    bool redirectOutput, bool inheritHandles);
  friend Pointer attachChildProcess(std::uint32_t pid);

  bool pollLocked();

  std::string command;
  std::u16string wideCommand;
  std::vector<std::string> argumentList;
  std::vector<std::u16string> wideArgumentList;
  bool inheritHandles = true;
  bool redirectOutput = false;
  int outputDescriptor = -1;
  std::uint32_t pid = 0;
  std::uint32_t parentPid = 0;
  std::uint32_t threadId = 0;
  int state = kNotStarted;
  std::int32_t exitCode = -1;
  bool registered = false;

  bool attached = false;
  std::string commandLine;
  int startError = 0;
  std::vector<std::string> commandLineElements;
  std::int64_t startTime = -1;
  // The kernel's start stamp at attach time; 0 when it could not be read.
  std::uint64_t startTicks = 0;

  mutable std::mutex mutex;
};

// A process to be started by run; null when the object cannot be made.
ChildProcess::Pointer createChildProcess(const std::string& command, const std::string& arguments,
                                         bool redirectOutput, bool inheritHandles);
// An object for a process that already runs, filled from what the system tells about it
// (image path as command, argument vector, start time); state running when it is alive, else
// not started. Not put into the registry. Null when the object cannot be made.
ChildProcess::Pointer attachChildProcess(std::uint32_t pid);

}  // namespace Zelcor
