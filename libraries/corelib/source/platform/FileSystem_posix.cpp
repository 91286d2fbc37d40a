#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/Descriptor.h"

namespace ZelcorCorelib::platform {

namespace {

// The C calls stop at a NUL byte and would act on a shorter, different path.
bool usable(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

FileStatus toStatus(const struct stat& st) {
  FileStatus status;
  status.isDirectory = S_ISDIR(st.st_mode);
  status.isRegular = S_ISREG(st.st_mode);
  status.isSymlink = S_ISLNK(st.st_mode);
  status.size = static_cast<std::uint64_t>(st.st_size);
  status.device = static_cast<std::uint64_t>(st.st_dev);
  status.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  return status;
}

FsResult copyContents(int in, int out, std::size_t bufferSize) {
  std::vector<char> buffer(bufferSize == 0 ? 4096 : bufferSize);
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return fsResultOf(errno);
    }
    if (got == 0) return FsResult::ok;
    if (!writeAll(out, buffer.data(), static_cast<std::size_t>(got))) return fsResultOf(errno);
  }
}

}  // namespace

std::optional<FileStatus> fileStatus(const std::string& path) {
  struct stat st {};
  if (!usable(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return toStatus(st);
}

std::optional<FileStatus> linkStatus(const std::string& path) {
  struct stat st {};
  if (!usable(path) || ::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return toStatus(st);
}

bool pathExists(const std::string& path) {
  return usable(path) && ::access(path.c_str(), F_OK) == 0;
}

std::optional<std::string> readSymlink(const std::string& path) {
  if (!usable(path)) return std::nullopt;
  // readlink does not say whether it truncated; grow until the answer fits with room to spare.
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    if (buffer.size() >= (1u << 20)) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

bool makeDirectory(const std::string& path) {
  return usable(path) && ::mkdir(path.c_str(), 0777) == 0;
}

bool removeDirectory(const std::string& path) { return usable(path) && ::rmdir(path.c_str()) == 0; }

std::optional<std::vector<DirectoryEntry>> readDirectory(const std::string& directory) {
  if (!usable(directory)) return std::nullopt;
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<DirectoryEntry> entries;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    DirectoryEntry item;
    item.name = name;
    // d_type is DT_UNKNOWN on some file systems (XFS without ftype, some network mounts),
    // and a link must be followed to learn whether it leads to a directory.
    if (entry->d_type == DT_DIR) {
      item.isDirectory = true;
    } else if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st {};
      item.isDirectory = ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(item));
  }
  ::closedir(dir);
  return entries;
}

FsResult renameNoReplace(const std::string& source, const std::string& target) {
  if (!usable(source) || !usable(target)) return FsResult::failed;
  // RENAME_NOREPLACE checks and moves in one step; a separate exists() test would leave a
  // window in which a newly created target gets overwritten.
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return FsResult::ok;
  }
  int error = errno;
  // EINVAL: the file system does not know the flag (older NFS, some FUSE); ENOSYS: old kernel.
  if (error == EINVAL || error == ENOSYS) return linkThenUnlink(source, target);
  return fsResultOf(error);
}

FsResult linkThenUnlink(const std::string& source, const std::string& target) {
  if (!usable(source) || !usable(target)) return FsResult::failed;
  if (::link(source.c_str(), target.c_str()) != 0) {
    int error = errno;
    // EPERM here mostly means "no hard links on this file system" (FAT, some FUSE).
    if (error == EPERM || error == EOPNOTSUPP) return FsResult::notSupported;
    return fsResultOf(error);
  }
  if (::unlink(source.c_str()) != 0) {
    int error = errno;
    ::unlink(target.c_str());
    return fsResultOf(error);
  }
  return FsResult::ok;
}

FsResult renameReplace(const std::string& source, const std::string& target) {
  if (!usable(source) || !usable(target)) return FsResult::failed;
  if (::rename(source.c_str(), target.c_str()) == 0) return FsResult::ok;
  return fsResultOf(errno);
}

FsResult copyFile(const std::string& source, const std::string& target, bool exclusive,
                  std::size_t bufferSize) {
  if (!usable(source) || !usable(target)) return FsResult::failed;
  Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return fsResultOf(errno);
  struct stat sourceStat {};
  if (::fstat(in.get(), &sourceStat) != 0) return fsResultOf(errno);
  if (S_ISDIR(sourceStat.st_mode)) return FsResult::failed;

  // O_TRUNC is left out so that a target that is the source itself (the same name or a hard
  // link) can be recognised before its contents are destroyed.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : 0);
  Descriptor out(::open(target.c_str(), flags, 0600));
  if (!out.valid()) return fsResultOf(errno);
  struct stat targetStat {};
  if (::fstat(out.get(), &targetStat) != 0) {
    FsResult result = fsResultOf(errno);
    out.reset();
    if (exclusive) ::unlink(target.c_str());
    return result;
  }
  if (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino) {
    return FsResult::failed;
  }

  FsResult result = FsResult::ok;
  if (::ftruncate(out.get(), 0) != 0) result = fsResultOf(errno);
  if (result == FsResult::ok) result = copyContents(in.get(), out.get(), bufferSize);
  if (result == FsResult::ok) {
    // Best effort, like mv: a file system without modes or times still gets the data.
    ::fchmod(out.get(), sourceStat.st_mode & 07777);
    struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
    ::futimens(out.get(), times);
    // The source is deleted next; the copy must be on disk before that.
    if (::fsync(out.get()) != 0) result = fsResultOf(errno);
  }
  if (!out.reset() && result == FsResult::ok) result = FsResult::failed;
  if (result != FsResult::ok) ::unlink(target.c_str());
  return result;
}

FsResult unlinkFile(const std::string& path) {
  if (!usable(path)) return FsResult::failed;
  if (::unlink(path.c_str()) == 0) return FsResult::ok;
  return fsResultOf(errno);
}

bool setPermissions(const std::string& path, std::uint32_t mode) {
  return usable(path) && ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) == 0;
}

std::optional<std::uint32_t> addOwnerWrite(const std::string& path) {
  auto status = fileStatus(path);
  if (!status) return std::nullopt;
  if (!setPermissions(path, status->mode | S_IWUSR)) return std::nullopt;
  return status->mode;
}

std::FILE* openStream(const std::string& path, StreamMode mode) {
  if (!usable(path)) return nullptr;
  // 'e' is glibc's O_CLOEXEC: set in the same call, so a job started by another thread in
  // between cannot inherit the descriptor.
  return std::fopen(path.c_str(), mode == StreamMode::read ? "rbe" : "abe");
}

std::optional<std::uint64_t> streamSize(std::FILE* stream) {
  if (stream == nullptr || std::fflush(stream) != 0) return std::nullopt;
  struct stat st {};
  if (::fstat(::fileno(stream), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::int64_t streamTell(std::FILE* stream) {
  if (stream == nullptr) return -1;
  return static_cast<std::int64_t>(::ftello(stream));
}

bool streamSeek(std::FILE* stream, std::int64_t position) {
  if (stream == nullptr || position < 0) return false;
  return ::fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

int openReadDescriptor(const std::string& path) {
  if (!usable(path)) return -1;
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

void closeDescriptor(int descriptor) {
  if (descriptor >= 0) ::close(descriptor);
}

// Some file systems refuse fsync on a directory (EINVAL); the entries are in place all the same.
void syncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace ZelcorCorelib::platform
