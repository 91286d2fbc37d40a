#include "platform/Supervise.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/Descriptor.h"

namespace ZelcorCorelib::platform {

namespace {

// What the handler needs; a handler can reach nothing else. One supervised program per process.
volatile sig_atomic_t programGroup = 0;
volatile sig_atomic_t firstStopSignal = 0;

void passOn(int signal) {
  if (firstStopSignal == 0) firstStopSignal = signal;
  const pid_t group = programGroup;
  if (group > 1) ::kill(-group, signal);
}

constexpr int kForwarded[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t cancelAsked = 0;

void askCancel(int) {
  cancelAsked = 1;
  const pid_t group = programGroup;
  if (group > 1) ::kill(-group, SIGTERM);
}

// The mask the wait for the program runs with: the cancel signal comes through only while
// ppoll waits, so that a cancel between a look at the flag and the wait is never slept over.
sigset_t waitMask;

void installForwarding() {
  struct sigaction action {};
  action.sa_handler = passOn;
  ::sigemptyset(&action.sa_mask);
  // No SA_RESTART: waitpid is looped over EINTR anyway.
  for (int signal : kForwarded) ::sigaction(signal, &action, nullptr);
  struct sigaction cancel {};
  cancel.sa_handler = askCancel;
  ::sigemptyset(&cancel.sa_mask);
  ::sigaction(kCancelSignal, &cancel, nullptr);
  sigset_t blocked;
  ::sigemptyset(&blocked);
  ::sigaddset(&blocked, kCancelSignal);
  ::sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  ::sigdelset(&waitMask, kCancelSignal);
  // A scheduler gone away must not take the supervisor with it through a broken report pipe.
  ::signal(SIGPIPE, SIG_IGN);
}

// 0, or the errno of the step that failed. Runs in the child, which is alone in its process.
int becomeUser(const Account& account) {
  if (::initgroups(account.name.c_str(), static_cast<gid_t>(account.gid)) != 0) return errno;
  if (::setgid(static_cast<gid_t>(account.gid)) != 0) return errno;
  if (::setuid(static_cast<uid_t>(account.uid)) != 0) return errno;
  // Privileges that can be taken back were not given up.
  if (account.uid != 0 && ::setuid(0) == 0) return EPERM;
  const char* shell = account.shell.empty() ? "/bin/sh" : account.shell.c_str();
  if (::setenv("HOME", account.home.c_str(), 1) != 0 ||
      ::setenv("USER", account.name.c_str(), 1) != 0 ||
      ::setenv("LOGNAME", account.name.c_str(), 1) != 0 || ::setenv("SHELL", shell, 1) != 0) {
    return errno;
  }
  // A service account's home often does not exist; the job still runs, from the root.
  if (account.home.empty() || ::chdir(account.home.c_str()) != 0) {
    if (::chdir("/") != 0) return errno;
  }
  return 0;
}

// What the child tells the supervisor when it cannot exec.
struct ChildFailure {
  int step;
  int error;
};

[[noreturn]] void failChild(int statusWrite, SupervisedEnd::Step step, int error, int code) {
  const ChildFailure failure{static_cast<int>(step), error};
  writeAll(statusWrite, reinterpret_cast<const char*>(&failure), sizeof failure);
  ::_exit(code);
}

// Opens path for the program's output as whoever runs it; the descriptor or -errno.
int openOutput(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) return fd;
  if (errno != EEXIST) return -errno;
  // Not blocking: a FIFO without a reader fails at once instead of holding the job.
  fd = ::open(path.c_str(), kFlags | O_NONBLOCK);
  if (fd < 0) return -errno;
  Descriptor opened(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) return -errno;
  // Another user's file, even one they let everyone write, must not receive this job's output.
  if (S_ISREG(status.st_mode) ? status.st_uid != ::geteuid() : !S_ISCHR(status.st_mode)) {
    return -EPERM;
  }
  if (::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) != 0) return -errno;
  return opened.release();
}

[[noreturn]] void runChild(int goRead, int statusWrite, const std::string& program,
                           const std::vector<std::string>& arguments, const Account* runAs,
                           const SupervisedOutput& output) {
  ::setpgid(0, 0);
  // The program gets the dispositions and mask a fresh process has.
  for (int signal : kForwarded) ::signal(signal, SIG_DFL);
  ::signal(SIGPIPE, SIG_DFL);
  ::signal(kCancelSignal, SIG_DFL);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  char go = 0;
  ssize_t got;
  do {
    got = ::read(goRead, &go, 1);
  } while (got < 0 && errno == EINTR);
  // No word from the supervisor: the launch was not recorded, so nothing may run.
  if (got != 1) ::_exit(125);
  using Step = SupervisedEnd::Step;
  if (runAs != nullptr && !output.path.empty() && output.ownFolder) {
    if (const int error = prepareOwnFolder(output.path, *runAs); error != 0) {
      failChild(statusWrite, Step::output, error, 126);
    }
  }
  if (runAs != nullptr) {
    if (const int error = becomeUser(*runAs); error != 0) {
      failChild(statusWrite, Step::account, error, 126);
    }
  }
  if (!output.path.empty()) {
    const int fd = openOutput(output.path);
    if (fd < 0) failChild(statusWrite, Step::output, -fd, 126);
    if (::dup2(fd, STDOUT_FILENO) < 0 || ::dup2(fd, STDERR_FILENO) < 0) {
      failChild(statusWrite, Step::output, errno, 126);
    }
    ::close(fd);
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  ::execvp(program.c_str(), argv.data());
  failChild(statusWrite, Step::exec, errno, 127);
}

// Waits up to milliseconds for child to end, without reaping it; true when it has ended (or
// cannot be watched, so that the caller's blocking wait decides). With untilCancel, false as
// soon as a cancel has been asked for.
bool awaitEnd(pid_t child, std::int64_t milliseconds, bool untilCancel) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  const auto cancelled = [untilCancel] { return untilCancel && cancelAsked != 0; };
  const long opened = ::syscall(SYS_pidfd_open, child, 0);
  if (opened < 0) {
    // A kernel without pidfds (before 5.3): look every 50 ms, leaving the child unreaped.
    for (;;) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) return true;
      } else if (info.si_pid == child) {
        return true;
      }
      if (cancelled() || std::chrono::steady_clock::now() >= deadline) return false;
      sigset_t pending;
      if (::sigpending(&pending) == 0 && ::sigismember(&pending, kCancelSignal) == 1) {
        ::sigsuspend(&waitMask);  // takes the cancel now
        continue;
      }
      ::usleep(50'000);
    }
  }
  Descriptor process(static_cast<int>(opened));
  for (;;) {
    if (cancelled()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd watched{process.get(), POLLIN, 0};
    const std::int64_t slice = std::clamp<std::int64_t>(left, 0, 60'000);
    const timespec wait{static_cast<time_t>(slice / 1000),
                        static_cast<long>(slice % 1000) * 1'000'000};
    const int ready = ::ppoll(&watched, 1, &wait, &waitMask);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;
    if (ready == 0 && left <= 0) return false;
  }
}

// Until the program ends: when its run limit runs out, or a cancel is asked for, its group
// gets SIGTERM, and SIGKILL when anything of it is left after the grace time.
void watchProgram(pid_t child, const SupervisedLimits& limits, SupervisedEnd& end) {
  constexpr std::int64_t kSlice = 3'600'000;
  const bool limited = limits.runMilliseconds > 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.runMilliseconds);
  for (;;) {
    const std::int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
    if (limited && left <= 0) {
      end.timedOut = true;
      ::kill(-child, SIGTERM);
      break;
    }
    if (awaitEnd(child, limited ? std::min(left, kSlice) : kSlice, true)) return;
    if (cancelAsked != 0) {
      // The handler has sent SIGTERM already.
      end.cancelled = true;
      break;
    }
  }
  if (!awaitEnd(child, std::max<std::int64_t>(limits.graceMilliseconds, 0), false)) {
    ::kill(-child, SIGKILL);
  }
}

SupervisedEnd reap(pid_t child, SupervisedEnd end) {
  int raw = 0;
  pid_t answer;
  do {
    answer = ::waitpid(child, &raw, 0);
  } while (answer < 0 && errno == EINTR);
  if (answer == child && end.kind == SupervisedEnd::Kind::ended) {
    if (WIFEXITED(raw)) {
      end.exitCode = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
      end.exitCode = 128 + WTERMSIG(raw);
      end.signaled = true;
    }
  }
  end.stopSignal = firstStopSignal;
  return end;
}

}  // namespace

// The owner's own output folder, made for them when missing; 0 or an errno. Runs as root in
// the child: the folder above is root's, so what is found there is what root (or its user)
// put there, but a symbolic link or another user's folder is still refused.
int prepareOwnFolder(const std::string& file, const Account& owner) {
  const std::string::size_type slash = file.rfind('/');
  if (slash == std::string::npos || slash == 0) return EINVAL;
  const std::string folder = file.substr(0, slash);
  const bool made = ::mkdir(folder.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) return errno;
  Descriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!opened.valid()) return errno;
  if (made &&
      ::fchown(opened.get(), static_cast<uid_t>(owner.uid), static_cast<gid_t>(owner.gid)) != 0) {
    return errno;
  }
  struct stat status {};
  if (::fstat(opened.get(), &status) != 0) return errno;
  if (status.st_uid != static_cast<uid_t>(owner.uid) || (status.st_mode & 022) != 0) return EPERM;
  return 0;
}

void installCancelWatch() {
  struct sigaction cancel {};
  cancel.sa_handler = askCancel;
  ::sigemptyset(&cancel.sa_mask);
  ::sigaction(kCancelSignal, &cancel, nullptr);
  for (int signal : kForwarded) ::signal(signal, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  ::sigemptyset(&blocked);
  ::sigaddset(&blocked, kCancelSignal);
  ::sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  ::sigdelset(&waitMask, kCancelSignal);
}

bool isCancelAsked() {
  // A cancel that came while blocked is taken now.
  sigset_t pending;
  if (cancelAsked == 0 && ::sigpending(&pending) == 0 &&
      ::sigismember(&pending, kCancelSignal) == 1) {
    const timespec none{0, 0};
    ::ppoll(nullptr, 0, &none, &waitMask);
  }
  return cancelAsked != 0;
}

void pauseUnlessCancelled(std::int64_t milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (cancelAsked == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return;
    const timespec wait{static_cast<time_t>(left / 1000),
                        static_cast<long>(left % 1000) * 1'000'000};
    ::ppoll(nullptr, 0, &wait, &waitMask);
  }
}

void keepFromChildren(int descriptor) {
  const int flags = ::fcntl(descriptor, F_GETFD);
  if (flags >= 0) ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
}

int appendDurably(int descriptor, const std::string& text) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return errno;
  off_t offset = status.st_size;
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::pwrite(descriptor, data, left, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
    offset += written;
  }
  return ::fdatasync(descriptor) == 0 ? 0 : errno;
}

SupervisedEnd superviseProgram(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::function<bool(const SupervisedLaunch&)>& beforeExec,
                               const std::function<void(const SupervisedLaunch&)>& afterExec,
                               const Account* runAs, const SupervisedLimits& limits,
                               const SupervisedOutput& output) {
  SupervisedEnd end;
  installForwarding();
  int go[2];
  int status[2];
  if (::pipe2(go, O_CLOEXEC) != 0) {
    end.error = errno;
    return end;
  }
  Descriptor goRead(go[0]), goWrite(go[1]);
  if (::pipe2(status, O_CLOEXEC) != 0) {
    end.error = errno;
    return end;
  }
  Descriptor statusRead(status[0]), statusWrite(status[1]);

  const pid_t child = ::fork();
  if (child < 0) {
    end.error = errno;
    return end;
  }
  if (child == 0) runChild(goRead.get(), statusWrite.get(), program, arguments, runAs, output);
  // Both sides set the group, so that it exists whichever runs first.
  ::setpgid(child, child);
  programGroup = child;
  goRead.reset();
  statusWrite.reset();

  SupervisedLaunch launch;
  launch.pid = static_cast<ProcessId>(child);
  if (auto ticks = processStartTicks(launch.pid)) launch.startTicks = *ticks;
  if (firstStopSignal != 0 || !beforeExec(launch) || firstStopSignal != 0) {
    ::kill(child, SIGKILL);
    end.kind = SupervisedEnd::Kind::refused;
    return reap(child, end);
  }
  const char word = 1;
  writeAll(goWrite.get(), &word, 1);
  goWrite.reset();
  // Closed by exec (close-on-exec): exec went through; a failure: it did not.
  ChildFailure failure{};
  ssize_t got;
  do {
    got = ::read(statusRead.get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    end.kind = SupervisedEnd::Kind::notStarted;
    end.error = failure.error;
    end.failedStep = static_cast<SupervisedEnd::Step>(failure.step);
    return reap(child, end);
  }
  afterExec(launch);
  end.kind = SupervisedEnd::Kind::ended;
  watchProgram(child, limits, end);
  return reap(child, end);
}

}  // namespace ZelcorCorelib::platform
