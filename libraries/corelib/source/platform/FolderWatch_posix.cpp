#include "platform/FolderWatch.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace ZelcorCorelib::platform {

bool FolderWatch::watch(const std::string& folder, std::string& error) {
  Handle watcher(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watcher.valid()) {
    error = errorText(errno);
    return false;
  }
  // Files arrive by rename (the protocol) or are written in place by careless clients; a
  // refused file is looked at again once its owner, mode or links change.
  const std::uint32_t events = IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB | IN_ONLYDIR;
  if (::inotify_add_watch(watcher.get(), folder.c_str(), events) < 0) {
    error = errorText(errno);
    return false;
  }
  handle = std::move(watcher);
  return true;
}

bool FolderWatch::drain() {
  if (!handle.valid()) return false;
  bool any = false;
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(handle.get(), buffer, sizeof buffer);
    if (got > 0) {
      any = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return any;  // EAGAIN: nothing more waiting
  }
}

bool WakeSignal::open() {
  handle = Handle(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  return handle.valid();
}

void WakeSignal::notify() const {
  if (!handle.valid()) return;
  const std::uint64_t one = 1;
  const int saved = errno;  // a signal handler must leave errno as it found it
  [[maybe_unused]] const ssize_t written = ::write(handle.get(), &one, sizeof one);
  errno = saved;
}

bool WakeSignal::drain() {
  if (!handle.valid()) return false;
  std::uint64_t count = 0;
  return ::read(handle.get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

}  // namespace ZelcorCorelib::platform
