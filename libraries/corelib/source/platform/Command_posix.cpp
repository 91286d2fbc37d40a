#include "platform/Command.h"

#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Descriptor.h"
#include "platform/Process.h"

namespace ZelcorCorelib::platform {

namespace {

bool makeNonBlockingPipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  return true;
}

// Reads what is there; false at the end (or a failure).
bool drain(int descriptor, std::string& into) {
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
    if (got > 0) {
      const std::size_t room = kCommandOutputCap - std::min(into.size(), kCommandOutputCap);
      into.append(buffer, std::min(static_cast<std::size_t>(got), room));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && errno == EAGAIN;
  }
}

// A write to a pipe whose reader has gone, without the SIGPIPE that would end this process:
// the signal is blocked for the write and one it raised is taken back.
ssize_t writeWithoutSigpipe(int descriptor, const char* data, std::size_t size) {
  sigset_t pipeOnly, before;
  ::sigemptyset(&pipeOnly);
  ::sigaddset(&pipeOnly, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &before);
  sigset_t pending;
  ::sigpending(&pending);
  const bool alreadyPending = ::sigismember(&pending, SIGPIPE) == 1;
  const ssize_t sent = ::write(descriptor, data, size);
  const int error = errno;
  if (sent < 0 && error == EPIPE && !alreadyPending) {
    const timespec none{0, 0};
    ::sigtimedwait(&pipeOnly, nullptr, &none);
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return sent;
}

}  // namespace

CommandOutcome runCommand(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& input, std::chrono::milliseconds timeout) {
  CommandOutcome outcome;
  int in[2], out[2], err[2];
  if (!makeNonBlockingPipe(in)) {
    outcome.startError = errno;
    return outcome;
  }
  Descriptor inRead(in[0]), inWrite(in[1]);
  if (!makeNonBlockingPipe(out)) {
    outcome.startError = errno;
    return outcome;
  }
  Descriptor outRead(out[0]), outWrite(out[1]);
  if (!makeNonBlockingPipe(err)) {
    outcome.startError = errno;
    return outcome;
  }
  Descriptor errRead(err[0]), errWrite(err[1]);
  // The child's ends block, as a program expects of its standard streams.
  for (int end : {in[0], out[1], err[1]}) ::fcntl(end, F_SETFL, 0);
  SpawnOptions options;
  options.inheritDescriptors = false;
  options.descriptors = {{inRead.get(), 0}, {outWrite.get(), 1}, {errWrite.get(), 2}};
  const SpawnResult spawned = spawnProcess(program, arguments, options);
  inRead.reset();
  outWrite.reset();
  errWrite.reset();
  if (spawned.pid <= 0) {
    outcome.startError = spawned.error != 0 ? spawned.error : ENOENT;
    return outcome;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t written = 0;
  if (input.empty()) inWrite.reset();
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      outcome.timedOut = true;
      break;
    }
    pollfd watched[3] = {{outOpen ? outRead.get() : -1, POLLIN, 0},
                         {errOpen ? errRead.get() : -1, POLLIN, 0},
                         {inWrite.valid() ? inWrite.get() : -1, POLLOUT, 0}};
    const int ready = ::poll(watched, 3, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (watched[0].revents != 0) outOpen = drain(outRead.get(), outcome.output);
    if (watched[1].revents != 0) errOpen = drain(errRead.get(), outcome.errors);
    if (inWrite.valid() && watched[2].revents != 0) {
      const ssize_t sent =
          writeWithoutSigpipe(inWrite.get(), input.data() + written, input.size() - written);
      if (sent > 0) written += static_cast<std::size_t>(sent);
      // A program that does not read its input gets no more of it.
      if (written == input.size() || (sent < 0 && errno != EAGAIN && errno != EINTR)) {
        inWrite.reset();
      }
    }
  }
  // Its streams closed; a program that lives on without them still keeps to the deadline.
  while (!outcome.timedOut) {
    const ChildStatus status = pollChild(spawned.pid);
    if (status.state != ChildState::running) {
      if (status.state == ChildState::ended) outcome.exitCode = status.exitCode;
      return outcome;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      outcome.timedOut = true;
      break;
    }
    ::usleep(2'000);
  }
  signalProcessGroup(spawned.pid, SIGKILL);
  waitChild(spawned.pid);
  return outcome;
}

}  // namespace ZelcorCorelib::platform
