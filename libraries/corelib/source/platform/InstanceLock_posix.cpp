#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/Environment.h"
#include "platform/Handle.h"

namespace ZelcorCorelib::platform {

namespace {

std::string privateTmpFolder() {
  std::string folder = "/tmp/zelcor-";
  folder += std::to_string(::geteuid());
  return folder;
}

// Made when missing; refused unless it is a folder (not a link) of this user that nobody else
// may write to. An empty error: usable.
std::string checkDefaultFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), ::geteuid() == 0 ? 0755 : 0700) != 0 && errno != EEXIST) {
    return "\"" + folder + "\": " + errorText(errno);
  }
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) return "\"" + folder + "\": " + errorText(errno);
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 022) != 0) {
    return "\"" + folder +
           "\": the lock folder must be a folder of this user that no one else can write to";
  }
  return {};
}

}  // namespace

InstanceLock::InstanceLock(std::string name) {
  std::optional<std::string> given = getEnvironment("ZELCOR_LOCK_DIR");
  defaultFolder = !given || given->empty();
  folder = lockDirectory();
  std::string prefix = folder;
  if (prefix.back() != '/') prefix += '/';
  path = prefix + name + ".lock";
}

InstanceLock::~InstanceLock() { release(); }

std::string InstanceLock::lockDirectory() {
  std::optional<std::string> folder = getEnvironment("ZELCOR_LOCK_DIR");
  if (folder && !folder->empty()) return *folder;
  if (::geteuid() == 0) {
    struct stat status {};
    return ::stat("/run", &status) == 0 && S_ISDIR(status.st_mode) ? "/run/zelcor"
                                                                   : privateTmpFolder();
  }
  std::optional<std::string> runtime = getEnvironment("XDG_RUNTIME_DIR");
  if (runtime && !runtime->empty() && runtime->front() == '/') return *runtime;
  return privateTmpFolder();
}

InstanceLock::Result InstanceLock::tryAcquire(std::string& error) {
  if (descriptor >= 0) return Result::acquired;
  if (defaultFolder) {
    error = checkDefaultFolder(folder);
    if (!error.empty()) return Result::failed;
  }
  // O_CLOEXEC: a job started by the holder must not inherit the descriptor, or the lock would
  // outlive the holder for as long as the job runs. O_NOFOLLOW: a folder named by
  // $ZELCOR_LOCK_DIR may be one where anybody can plant a link to a file of ours.
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
