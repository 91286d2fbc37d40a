// The operating-system side of a job's supervisor: a process that runs one program as its
// child, in a process group of the program's own, holds it before exec until the caller has
// recorded the launch, then waits for its end. Used by the supervisor program only; the
// supervisor is single-threaded. Signals SIGTERM, SIGINT and SIGHUP that reach the supervisor
// are passed on to the program's group and remembered, so that the caller can tell an end it
// was asked for from one that came by itself; kCancelSignal cancels the program.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Accounts.h"
#include "platform/Process.h"

namespace ZelcorCorelib::platform {

struct SupervisedLaunch {
  ProcessId pid = 0;
  std::uint64_t startTicks = 0;  // processStartTicks of the program's process
};

struct SupervisedEnd {
  enum class Kind {
    refused,     // beforeExec said no, or a stop came first: the program never ran
    notStarted,  // exec failed; error holds why
    ended,       // the program ran and ended: exitCode
    failed,      // the child could not be made; error holds why
  };
  Kind kind = Kind::failed;
  int error = 0;
  // The exit status, or 128 + N for a program ended by signal N.
  std::int32_t exitCode = -1;
  bool signaled = false;
  // The first signal passed on to the program (0: none came before the end).
  int stopSignal = 0;
  // The run limit ran out and the program was ended for it.
  bool timedOut = false;
  // A cancel (kCancelSignal to the supervisor) ended it.
  bool cancelled = false;
  // For notStarted: the step that failed.
  enum class Step { exec, account, output };
  Step failedStep = Step::exec;
};

// Sent to a supervisor, it cancels the program: SIGTERM to its group at once, SIGKILL after
// the grace time.
inline constexpr int kCancelSignal = SIGUSR1;

// How long the program may run (0: no limit), counted from its exec; when that runs out its
// group gets SIGTERM, and SIGKILL grace later if anything of it is still there.
struct SupervisedLimits {
  std::int64_t runMilliseconds = 0;
  std::int64_t graceMilliseconds = 10'000;
};

// Where the program's standard output and error go (path empty: where the supervisor's go).
// The file is opened as the user the program runs as, appended to, created 0600; one that
// exists must be a regular file of that user (or a character device such as /dev/null).
// With ownFolder (and a runAs), the file's folder is that user's own: made 0700 for them, as
// root, when missing, and refused unless it is a real folder owned by them.
struct SupervisedOutput {
  std::string path;
  bool ownFolder = false;
};

// Runs program (searched on PATH when it holds no "/") with argv program, arguments... The
// child leads a new process group; beforeExec runs once it exists and must make the launch
// durable: false keeps the program from running (it is killed before exec). afterExec runs once
// exec has succeeded. Returns when the program has ended and been reaped.
// runAs, when given, is who the program runs as: its groups (initgroups), primary group and
// user, HOME, USER, LOGNAME and SHELL (/bin/sh when the account names none) set as a login
// sets them, in its home folder (in "/" when that cannot be entered). A switch that fails ends
// like a failed exec, with its errno.
SupervisedEnd superviseProgram(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::function<bool(const SupervisedLaunch&)>& beforeExec,
                               const std::function<void(const SupervisedLaunch&)>& afterExec,
                               const Account* runAs = nullptr, const SupervisedLimits& limits = {},
                               const SupervisedOutput& output = {});

// The folder of file made owner's own (mode 0700, theirs) when missing, as SupervisedOutput's
// ownFolder asks; 0, or the errno why it cannot be (a link, another user's folder, one open to
// others: EPERM). Needs root.
int prepareOwnFolder(const std::string& file, const Account& owner);

// For a supervisor whose program runs elsewhere (on a cluster): kCancelSignal marks a cancel
// (isCancelAsked), and the stop signals are ignored, since a stop of the scheduler must not
// end a job it will re-attach to.
void installCancelWatch();
bool isCancelAsked();
// Waits milliseconds, or less when a cancel is asked for (never sleeps over one).
void pauseUnlessCancelled(std::int64_t milliseconds);

// Keeps descriptor out of every program started from here on (close-on-exec).
void keepFromChildren(int descriptor);
// Writes text at the end of the file descriptor refers to and waits until its data is on disk;
// 0, or the errno value of the failure (the file may then hold a part of text).
int appendDurably(int descriptor, const std::string& text);

}  // namespace ZelcorCorelib::platform
