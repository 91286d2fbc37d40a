#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "platform/Environment.h"

namespace ZelcorCorelib::platform {

namespace {

constexpr const char* kDefaultLockDirectory = "/tmp";

std::string errorText(int error) { return std::generic_category().message(error); }

}  // namespace

InstanceLock::InstanceLock(std::string name) {
  std::string folder = lockDirectory();
  if (folder.back() != '/') folder += '/';
  path = folder + name + ".lock";
}

InstanceLock::~InstanceLock() { release(); }

std::string InstanceLock::lockDirectory() {
  std::optional<std::string> folder = getEnvironment("ZELCOR_LOCK_DIR");
  return folder && !folder->empty() ? *folder : kDefaultLockDirectory;
}

InstanceLock::Result InstanceLock::tryAcquire(std::string& error) {
  if (descriptor >= 0) return Result::acquired;
  // O_CLOEXEC: a job started by the holder must not inherit the descriptor, or the lock would
  // outlive the holder for as long as the job runs. O_NOFOLLOW: the default folder is /tmp,
  // where anybody may plant a link to a file of ours.
  int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (file < 0 && (errno == EACCES || errno == EPERM)) {
    // Made by another user: flock needs no write access.
    file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  }
  if (file < 0) {
    error = "\"" + path + "\": " + errorText(errno);
    return Result::failed;
  }
  // flock rather than fcntl locks: fcntl locks belong to the process, so a second lock of the
  // same process would succeed, and closing any descriptor of the file would drop them.
  int result;
  do {
    result = ::flock(file, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    int reason = errno;
    ::close(file);
    if (reason == EWOULDBLOCK) return Result::busy;
    error = "\"" + path + "\": " + errorText(reason);
    return Result::failed;
  }
  descriptor = file;
  return Result::acquired;
}

void InstanceLock::release() {
  if (descriptor < 0) return;
  // Closing the only descriptor of the open file drops the lock.
  ::close(descriptor);
  descriptor = -1;
}

}  // namespace ZelcorCorelib::platform
