#include "platform/LockedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/Descriptor.h"
#include "platform/FileSystem.h"
#include "platform/Handle.h"

namespace ZelcorCorelib::platform {

namespace {

// The one place where an errno becomes what callers see.
void setError(FileError& error, int number) {
  switch (number) {
    case EACCES:
    case EPERM:
    case EROFS:
      error.kind = FileError::Kind::accessDenied;
      break;
    case ENOMEM:
      error.kind = FileError::Kind::outOfMemory;
      break;
    default:
      error.kind = FileError::Kind::other;
      break;
  }
  error.text = errorText(number);
}

std::string folderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FileLock::FileLock(std::string path) : path(std::move(path)) {}

FileLock::~FileLock() { release(); }

FileLock::Result FileLock::acquire(FileError& error) {
  if (descriptor >= 0) return Result::acquired;
  int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0) {
    setError(error, errno);
    return Result::openFailed;
  }
  // flock, not fcntl locks: those do not exclude two threads of one process, nor survive
  // the closing of any other descriptor of the file.
  while (::flock(file, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    setError(error, errno);
    ::close(file);
    return Result::lockFailed;
  }
  descriptor = file;
  return Result::acquired;
}

void FileLock::release() {
  if (descriptor < 0) return;
  // Closing the only descriptor of the open file drops the lock.
  ::close(descriptor);
  descriptor = -1;
}

ReadOutcome readWholeFile(const std::string& path, std::string& bytes, FileOwnership& ownership,
                          FileError& error) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, for ever; on a
  // regular file it changes nothing.
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) {
    int number = errno;
    setError(error, number);
    return (number == ENOENT || number == ENOTDIR) ? ReadOutcome::missing : ReadOutcome::failed;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    setError(error, errno);
    return ReadOutcome::failed;
  }
  if (!S_ISREG(info.st_mode)) {
    setError(error, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    return ReadOutcome::failed;
  }
  ownership.mode = info.st_mode & 07777;
  ownership.user = info.st_uid;
  ownership.group = info.st_gid;
  bytes.clear();
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      setError(error, errno);
      return ReadOutcome::failed;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return ReadOutcome::ok;
}

bool replaceFileDurably(const std::string& target, std::string_view text, const FileOwnership* keep,
                        FileError& error) {
  const std::string temporary = target + ".tmp";
  // A temporary file left by a crash goes first; O_EXCL then makes sure the data lands in a
  // file of our own, not in one that a link planted under that name leads to.
  ::unlink(temporary.c_str());
  Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         keep != nullptr ? keep->mode : 0666));
  if (!file.valid()) {
    setError(error, errno);
    return false;
  }
  bool ok = writeAll(file.get(), text.data(), text.size());
  if (ok && keep != nullptr) {
    // The temporary file was made with the umask; the file keeps its owner and mode.
    if (::fchown(file.get(), keep->user, keep->group) != 0) {
      // Only the owner or root may give a file away; a writer who may not keeps its own.
    }
    ok = ::fchmod(file.get(), keep->mode) == 0;
  }
  ok = ok && ::fsync(file.get()) == 0;
  int number = ok ? 0 : errno;
  if (!file.reset() && ok) {
    ok = false;
    number = errno;
  }
  if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    number = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    setError(error, number);
    return false;
  }
  // The rename itself reaches the disk only with its folder.
  syncDirectory(folderOf(target));
  return true;
}

bool makeFolders(const std::string& folder, FileError& error) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return true;
  if (errno != ENOENT) {
    setError(error, errno);
    return false;
  }
  std::string parent = folderOf(folder);
  if (parent != folder && !makeFolders(parent, error)) return false;
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    setError(error, errno);
    return false;
  }
  return true;
}

std::string resolveLinkTarget(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  return resolved != nullptr ? std::string(resolved.get()) : path;
}

}  // namespace ZelcorCorelib::platform
