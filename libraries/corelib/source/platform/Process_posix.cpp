#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/Descriptor.h"

extern char** environ;

namespace ZelcorCorelib::platform {

namespace {

// Owns the spawn attribute and file-action objects for one call.
class SpawnSetup {
 public:
  SpawnSetup() {
    attributesReady = ::posix_spawnattr_init(&attributes) == 0;
    actionsReady = ::posix_spawn_file_actions_init(&actions) == 0;
  }
  ~SpawnSetup() {
    if (actionsReady) ::posix_spawn_file_actions_destroy(&actions);
    if (attributesReady) ::posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // 0 or the errno of the step that failed.
  int prepare(const SpawnOptions& options) {
    if (!attributesReady || !actionsReady) return ENOMEM;
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    // Ignored dispositions survive exec: the scheduler ignores SIGPIPE, its jobs must not.
    ::sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    flags |= options.newSession ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
    if (int e = ::posix_spawnattr_setflags(&attributes, flags)) return e;
    // Group id 0: the child leads a new group, so a stop reaches whatever it starts itself.
    if (int e = ::posix_spawnattr_setpgroup(&attributes, 0)) return e;
    if (int e = ::posix_spawnattr_setsigmask(&attributes, &none)) return e;
    if (int e = ::posix_spawnattr_setsigdefault(&attributes, &all)) return e;
    // Copies above every wanted number first, so that one dup2 never overwrites the source
    // of the next; dup2 to the wanted number then clears close-on-exec.
    int highest = 2;
    for (const auto& [source, target] : options.descriptors) highest = std::max(highest, target);
    for (const auto& [source, target] : options.descriptors) {
      const int copy = ::fcntl(source, F_DUPFD_CLOEXEC, highest + 1);
      if (copy < 0) return errno;
      copies.emplace_back(copy);
      if (int e = ::posix_spawn_file_actions_adddup2(&actions, copy, target)) return e;
    }
    if (!options.inheritDescriptors) {
      // Below the handed-over numbers, whatever the child would inherit and was not handed.
      for (int fd = 3; fd <= highest; ++fd) {
        const bool handed = std::any_of(options.descriptors.begin(), options.descriptors.end(),
                                        [fd](const auto& entry) { return entry.second == fd; });
        const int flags = ::fcntl(fd, F_GETFD);
        if (handed || flags < 0 || (flags & FD_CLOEXEC) != 0) continue;
        if (int e = ::posix_spawn_file_actions_addclose(&actions, fd)) return e;
      }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
      if (int e = ::posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1)) return e;
#endif
      // Elsewhere only close-on-exec keeps descriptors back; every one the program opens is.
    }
    return 0;
  }

  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;

 private:
  std::vector<Handle> copies;
  bool attributesReady = false;
  bool actionsReady = false;
};

std::optional<std::string> readWholeFile(const std::string& path) {
  int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(descriptor);
      return std::nullopt;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(descriptor);
  return content;
}

std::string procPath(ProcessId pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// The fields of /proc/<pid>/stat from the third (the state) on. The second field is the
// command name in parentheses, which may itself hold blanks and ")": cut at the last ")".
std::optional<std::vector<std::string>> statFields(ProcessId pid) {
  if (pid <= 0) return std::nullopt;
  auto content = readWholeFile(procPath(pid, "stat"));
  if (!content) return std::nullopt;
  std::size_t close = content->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::vector<std::string> fields;
  std::string_view rest(*content);
  rest.remove_prefix(close + 1);
  while (!rest.empty()) {
    std::size_t start = rest.find_first_not_of(" \n");
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    std::size_t end = rest.find_first_of(" \n");
    fields.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end);
  }
  if (fields.empty()) return std::nullopt;
  return fields;
}

std::optional<std::uint64_t> parseUnsigned(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

std::optional<std::int64_t> bootTime() {
  auto content = readWholeFile("/proc/stat");
  if (!content) return std::nullopt;
  std::size_t at = content->find("\nbtime ");
  if (at == std::string::npos) return std::nullopt;
  at += 7;
  std::size_t end = content->find('\n', at);
  auto value = parseUnsigned(content->substr(at, end == std::string::npos ? end : end - at));
  if (!value) return std::nullopt;
  return static_cast<std::int64_t>(*value);
}

}  // namespace

SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const SpawnOptions& options) {
  SpawnResult result;
  if (program.empty()) {
    result.error = ENOENT;
    return result;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnSetup setup;
  if (int e = setup.prepare(options)) {
    result.error = e;
    return result;
  }
  // glibc (2.24 on) creates the child with a vfork-style clone and returns the exec failure
  // itself, so a program that cannot run never shows up as a child that exits with 127.
  pid_t child = 0;
  int e = ::posix_spawnp(&child, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                         environ);
  if (e != 0) {
    result.error = e;
    return result;
  }
  result.pid = static_cast<ProcessId>(child);
  return result;
}

namespace {

// waitpid with options, across signals, as a ChildStatus.
ChildStatus waitForChild(ProcessId pid, int options) {
  ChildStatus status;
  if (pid <= 0) {
    status.error = ECHILD;
    return status;
  }
  int raw = 0;
  pid_t answer;
  do {
    answer = ::waitpid(static_cast<pid_t>(pid), &raw, options);
  } while (answer < 0 && errno == EINTR);
  if (answer == 0) {
    status.state = ChildState::running;
  } else if (answer < 0) {
    status.error = errno;
  } else if (WIFEXITED(raw)) {
    status.state = ChildState::ended;
    status.exitCode = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status.state = ChildState::ended;
    status.exitCode = 128 + WTERMSIG(raw);
  } else {
    // Stop and continue reports are not asked for; should one come, the child still lives.
    status.state = ChildState::running;
  }
  return status;
}

}  // namespace

ChildStatus pollChild(ProcessId pid) { return waitForChild(pid, WNOHANG); }

bool terminateProcessGroup(ProcessId pid) { return signalProcessGroup(pid, SIGTERM); }

bool isProcessAlive(ProcessId pid) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // kill() also succeeds for a zombie, which has ended and only waits for its parent.
  auto fields = statFields(pid);
  if (!fields) return false;
  const std::string& state = (*fields)[0];
  return state != "Z" && state != "X" && state != "x";
}

std::optional<std::string> processImagePath(ProcessId pid) {
  if (pid <= 0) return std::nullopt;
  std::string link = procPath(pid, "exe");
  std::string target(4096, '\0');
  ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

std::optional<std::vector<std::string>> processCommandLine(ProcessId pid) {
  if (pid <= 0) return std::nullopt;
  auto content = readWholeFile(procPath(pid, "cmdline"));
  if (!content) return std::nullopt;
  std::vector<std::string> elements;
  std::size_t start = 0;
  while (start < content->size()) {
    std::size_t end = content->find('\0', start);
    if (end == std::string::npos) end = content->size();
    elements.push_back(content->substr(start, end - start));
    start = end + 1;
  }
  return elements;
}

std::optional<std::uint64_t> processStartTicks(ProcessId pid) {
  auto fields = statFields(pid);
  // Field 22 of the file; the list starts at field 3.
  constexpr std::size_t kStartTimeIndex = 22 - 3;
  if (!fields || fields->size() <= kStartTimeIndex) return std::nullopt;
  return parseUnsigned((*fields)[kStartTimeIndex]);
}

std::optional<std::int64_t> processStartTime(ProcessId pid) {
  auto ticks = processStartTicks(pid);
  auto boot = bootTime();
  long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  if (!ticks || !boot || ticksPerSecond <= 0) return std::nullopt;
  return *boot + static_cast<std::int64_t>(*ticks / static_cast<std::uint64_t>(ticksPerSecond));
}

ChildStatus waitChild(ProcessId pid) { return waitForChild(pid, 0); }

bool signalProcessGroup(ProcessId pid, int signal) {
  if (pid <= 1 || pid == ::getpid() || pid == ::getpgrp()) return false;
  if (::kill(-static_cast<pid_t>(pid), signal) == 0) return true;
  if (errno != ESRCH) return false;
  return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

bool signalChild(ProcessId pid, int signal) {
  if (pid <= 1 || pid == ::getpid()) return false;
  return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

Handle openProcessHandle(ProcessId pid) {
  if (pid <= 0) return Handle();
  // The glibc wrapper arrived in 2.36; the system call is older (Linux 5.3).
  const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return Handle();
  const int value = static_cast<int>(fd);
  ::fcntl(value, F_SETFD, FD_CLOEXEC);
  return Handle(value);
}

bool signalProcessHandle(const Handle& process, int signal) {
  if (!process.valid()) return false;
  return ::syscall(SYS_pidfd_send_signal, process.get(), signal, nullptr, 0) == 0;
}

bool makePipe(Handle& readEnd, Handle& writeEnd) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  readEnd = Handle(ends[0]);
  writeEnd = Handle(ends[1]);
  const int flags = ::fcntl(ends[0], F_GETFL);
  return flags >= 0 && ::fcntl(ends[0], F_SETFL, flags | O_NONBLOCK) == 0;
}

ReadState readAvailable(int descriptor, std::string& into) {
  bool got = false;
  char buffer[512];
  for (;;) {
    const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
    if (count > 0) {
      into.append(buffer, static_cast<std::size_t>(count));
      got = true;
      continue;
    }
    if (count == 0) return ReadState::ended;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return got ? ReadState::data : ReadState::empty;
    return ReadState::failed;
  }
}

bool writeText(int descriptor, const std::string& text) {
  return writeAll(descriptor, text.data(), text.size());
}

std::vector<std::size_t> waitReadable(const std::vector<int>& descriptors,
                                      std::chrono::milliseconds timeout) {
  std::vector<pollfd> watched;
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < descriptors.size(); ++i) {
    if (descriptors[i] < 0) continue;
    watched.push_back(pollfd{descriptors[i], POLLIN, 0});
    positions.push_back(i);
  }
  std::vector<std::size_t> ready;
  const int wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, timeout.count()));
  const int answer = ::poll(watched.data(), watched.size(), wait);
  if (answer <= 0) return ready;
  for (std::size_t i = 0; i < watched.size(); ++i) {
    if (watched[i].revents != 0) ready.push_back(positions[i]);
  }
  return ready;
}

namespace {

std::string readBootId() {
  auto content = readWholeFile("/proc/sys/kernel/random/boot_id");
  if (!content) return {};
  while (!content->empty() && (content->back() == '\n' || content->back() == ' ')) {
    content->pop_back();
  }
  return *content;
}

}  // namespace

std::string bootId() {
  // It cannot change while this process lives; a failed first read is tried again.
  static const std::string kept = readBootId();
  return kept.empty() ? readBootId() : kept;
}

bool redirectStandardOutput(int descriptor) {
  if (descriptor < 0) return false;
  // What stdio holds back belongs to the old target.
  std::fflush(stdout);
  if (descriptor == STDOUT_FILENO) return true;
  int answer;
  do {
    answer = ::dup2(descriptor, STDOUT_FILENO);
  } while (answer < 0 && errno == EINTR);
  if (answer < 0) return false;
  ::close(descriptor);
  return true;
}

}  // namespace ZelcorCorelib::platform
