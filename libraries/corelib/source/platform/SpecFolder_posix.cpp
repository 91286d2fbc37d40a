#include "platform/SpecFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>

#include "platform/Descriptor.h"
#include "platform/LockedFile.h"

namespace ZelcorCorelib::platform {

namespace {

// A name, never a path: a slash would reach into another folder.
bool usableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

EntryKind kindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::regular;
  if (S_ISDIR(mode)) return EntryKind::directory;
  if (S_ISLNK(mode)) return EntryKind::symlink;
  if (S_ISFIFO(mode)) return EntryKind::fifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return EntryKind::device;
  if (S_ISSOCK(mode)) return EntryKind::socket;
  return EntryKind::other;
}

std::string temporaryName(const std::string& name) {
  // Seeded once per thread: a random device per name is costly, and O_EXCL settles a clash.
  thread_local std::mt19937_64 random = [] {
    std::random_device device;
    return std::mt19937_64((static_cast<std::uint64_t>(device()) << 32) ^ device());
  }();
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  // Hidden and ending in ".tmp", so that no "*.spec" listing ever picks it up. Appended, not
  // concatenated: g++ 12 at -O3 reports a false -Wrestrict overlap for `"." + text`.
  std::string result = ".";
  result.append(name, 0, 200);
  result += '.';
  result += suffix;
  result += ".tmp";
  return result;
}

void fillStatus(SpecFileStatus& status, const struct stat& info) {
  status.kind = kindOfMode(info.st_mode);
  status.size = static_cast<std::uint64_t>(info.st_size);
  status.modifiedNanoseconds =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  status.mode = info.st_mode & 07777;
  status.uid = info.st_uid;
  status.gid = info.st_gid;
  status.links = static_cast<std::uint64_t>(info.st_nlink);
}

// A privileged writer's new file goes to owner; anyone else's stays its own (it could not
// give it away, and nothing runs as another user then).
bool giveTo(int file, const FileOwner* owner) {
  if (owner == nullptr || ::geteuid() != 0) return true;
  return ::fchown(file, owner->uid, owner->gid) == 0;
}

}  // namespace

std::shared_ptr<const SpecFolder> SpecFolder::open(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  // O_CLOEXEC: no job inherits the folder.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_shared<const SpecFolder>(OpenKey{}, path, fd);
}

std::shared_ptr<const SpecFolder> SpecFolder::openPrivate(const std::string& path, int& error) {
  error = EINVAL;
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    FileError failure;
    if (!makeFolders(path.substr(0, slash), failure)) {
      error = errno != 0 ? errno : EACCES;
      return nullptr;
    }
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = errno;
    return nullptr;
  }
  Handle folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) {
    error = errno;
    return nullptr;
  }
  struct stat status {};
  if (::fstat(folder.get(), &status) != 0) {
    error = errno;
    return nullptr;
  }
  if (status.st_uid != ::geteuid()) {
    error = EPERM;
    return nullptr;
  }
  if ((status.st_mode & 07777) != 0700 && ::fchmod(folder.get(), 0700) != 0) {
    error = errno;
    return nullptr;
  }
  auto opened = std::make_shared<const SpecFolder>(OpenKey{}, path, folder.get());
  // The folder object closes it from now on.
  (void)folder.release();
  error = 0;
  return opened;
}

SpecFolder::SpecFolder(OpenKey, std::string path, int descriptor)
    : path(std::move(path)), descriptor(descriptor) {}

SpecFolder::~SpecFolder() { ::close(descriptor); }

SpecFileRead SpecFolder::readRegular(const std::string& name, std::size_t maxBytes,
                                     const std::function<bool(const SpecFileStatus&)>& skip) const {
  SpecFileRead read;
  if (!usableName(name)) return read;
  // A file refused before and unchanged costs one stat, not an open: bad files left in a
  // folder must not cost a pass more than they must.
  if (skip) {
    struct stat before {};
    if (::fstatat(descriptor, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(before.st_mode)) {
      fillStatus(read.status, before);
      if (skip(read.status)) {
        read.result = ReadResult::skipped;
        return read;
      }
    }
    read.status = SpecFileStatus();
  }
  // O_NOFOLLOW: a link is refused (ELOOP), not read as root wherever it leads; O_NONBLOCK: a
  // FIFO opens at once instead of waiting for a writer, and the fstat below refuses it.
  Descriptor file(::openat(descriptor, name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    const int error = errno;
    if (error == ENOENT) return read;
    if (error == ELOOP) {
      read.result = ReadResult::notRegular;
      read.status.kind = EntryKind::symlink;
      return read;
    }
    read.result = ReadResult::unreadable;
    read.status.kind = kindOf(name);
    if (read.status.kind != EntryKind::regular && read.status.kind != EntryKind::missing) {
      read.result = ReadResult::notRegular;
    }
    return read;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    read.result = ReadResult::unreadable;
    return read;
  }
  fillStatus(read.status, info);
  if (read.status.kind != EntryKind::regular) {
    read.result = ReadResult::notRegular;
    return read;
  }
  if (skip && skip(read.status)) {
    read.result = ReadResult::skipped;
    return read;
  }
  if (read.status.size > maxBytes) {
    read.result = ReadResult::tooLarge;
    return read;
  }
  // The size is a hint only: the file may grow while it is read, so the bound holds per byte.
  read.contents.resize(static_cast<std::size_t>(read.status.size) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == read.contents.size()) {
      if (read.contents.size() > maxBytes) {
        read.contents.clear();
        read.result = ReadResult::tooLarge;
        return read;
      }
      read.contents.resize(std::min(maxBytes + 1, read.contents.size() * 2 + 4096));
    }
    const ssize_t got =
        ::read(file.get(), read.contents.data() + filled, read.contents.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      read.contents.clear();
      read.result = ReadResult::unreadable;
      return read;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > maxBytes) {
    read.contents.clear();
    read.result = ReadResult::tooLarge;
    return read;
  }
  read.contents.resize(filled);
  read.result = ReadResult::ok;
  return read;
}

bool SpecFolder::replace(const std::string& name, std::string_view data, std::uint32_t mode,
                         int* error, const FileOwner* owner) const {
  int ignored = 0;
  int& reason = error != nullptr ? *error : ignored;
  reason = EINVAL;
  if (!usableName(name)) return false;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string temporary = temporaryName(name);
    // O_EXCL with O_NOFOLLOW: never a name someone else picked or planted.
    Descriptor file(::openat(descriptor, temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
      if (errno == EEXIST) continue;
      reason = errno;
      return false;
    }
    bool ok = giveTo(file.get(), owner);
    if (!ok) reason = errno;
    // Best effort, like an editor saving: a file system without modes still gets the data.
    (void)::fchmod(file.get(), mode & 07777);
    std::unique_lock<std::mutex> deferred(renamesLock);
    if (!renamesDeferred) deferred.unlock();
    // A deferred replace is synced with all the others by flushRenames.
    ok = ok && writeAll(file.get(), data.data(), data.size()) &&
         (deferred.owns_lock() || ::fsync(file.get()) == 0);
    if (!ok && reason == EINVAL) reason = errno;
    if (!file.reset() && ok) {
      ok = false;
      reason = errno;
    }
    if (ok && deferred.owns_lock()) {
      pendingRenames.emplace_back(temporary, name);
      return true;
    }
    // renameat replaces the entry itself: a link swapped in is replaced, its target untouched.
    if (ok) {
      if (::renameat(descriptor, temporary.c_str(), descriptor, name.c_str()) == 0) {
        sync();
        return true;
      }
      reason = errno;
    }
    ::unlinkat(descriptor, temporary.c_str(), 0);
    return false;
  }
  return false;
}

FsResult SpecFolder::create(const std::string& name, std::string_view data, std::uint32_t mode,
                            int* error, const FileOwner* owner) const {
  int ignored = 0;
  int& reason = error != nullptr ? *error : ignored;
  reason = EINVAL;
  if (!usableName(name)) return FsResult::failed;
  Descriptor file(::openat(descriptor, name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 07777));
  if (!file.valid()) {
    reason = errno;
    return fsResultOf(reason);
  }
  bool ok = giveTo(file.get(), owner) && writeAll(file.get(), data.data(), data.size()) &&
            ::fsync(file.get()) == 0;
  if (!ok) reason = errno;
  if (!file.reset() && ok) {
    ok = false;
    reason = errno;
  }
  if (!ok) {
    ::unlinkat(descriptor, name.c_str(), 0);
    return FsResult::failed;
  }
  sync();
  return FsResult::ok;
}

Handle SpecFolder::createLocked(const std::string& name, std::string_view data, std::size_t reserve,
                                int& error) const {
  error = EINVAL;
  if (!usableName(name)) return Handle();
  Handle file(
      ::openat(descriptor, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) {
    error = errno;
    return Handle();
  }
  bool ok = ::flock(file.get(), LOCK_EX | LOCK_NB) == 0;
  // Blocks held past the end: later appends do not need the space the file system lacks.
  // Not every file system can; the appends then take their chance.
  if (ok && reserve > 0 &&
      ::fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(reserve)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS) {
    ok = false;
  }
  ok = ok && writeAll(file.get(), data.data(), data.size()) && ::fsync(descriptor) == 0;
  if (!ok) {
    error = errno;
    ::unlinkat(descriptor, name.c_str(), 0);
    return Handle();
  }
  error = 0;
  return file;
}

Handle SpecFolder::reuseLocked(const std::string& spare, const std::string& name,
                               std::string_view data, std::size_t reserve, int& error) const {
  error = EINVAL;
  if (!usableName(spare) || !usableName(name)) return Handle();
  Handle file(::openat(descriptor, spare.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    error = errno;
    return Handle();
  }
  struct stat info {};
  bool ok = ::fstat(file.get(), &info) == 0;
  if (ok && (!S_ISREG(info.st_mode) || info.st_nlink != 1)) {
    errno = EINVAL;
    ok = false;
  }
  // A lock still held: a process has the file open from its earlier life, and may write to it.
  ok = ok && ::flock(file.get(), LOCK_EX | LOCK_NB) == 0;
  ok = ok && ::ftruncate(file.get(), 0) == 0;
  if (ok && reserve > 0 &&
      ::fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(reserve)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS) {
    ok = false;
  }
  ok = ok && writeAll(file.get(), data.data(), data.size()) &&
       ::renameat2(descriptor, spare.c_str(), descriptor, name.c_str(), RENAME_NOREPLACE) == 0;
  if (!ok) {
    error = errno;
    ::unlinkat(descriptor, spare.c_str(), 0);
    return Handle();
  }
  if (::fsync(descriptor) != 0) {
    error = errno;
    ::unlinkat(descriptor, name.c_str(), 0);
    return Handle();
  }
  error = 0;
  return file;
}

LockState SpecFolder::lockState(const std::string& name) const {
  if (!usableName(name)) return LockState::failed;
  Descriptor file(
      ::openat(descriptor, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return errno == ENOENT ? LockState::missing : LockState::failed;
  // A shared lock is refused only while someone holds the exclusive one; closing drops ours.
  if (::flock(file.get(), LOCK_SH | LOCK_NB) == 0) return LockState::free;
  return errno == EWOULDBLOCK ? LockState::held : LockState::failed;
}

std::size_t SpecFolder::nameLimit() const {
  const long limit = ::fpathconf(descriptor, _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

FsResult SpecFolder::moveTo(const std::string& name, const SpecFolder& target,
                            const std::string& targetName, int* error) const {
  int ignored = 0;
  int& reason = error != nullptr ? *error : ignored;
  reason = EINVAL;
  if (!usableName(name) || !usableName(targetName)) return FsResult::failed;
  // RENAME_NOREPLACE: the test for an existing target and the move are one step.
  if (::renameat2(descriptor, name.c_str(), target.descriptor, targetName.c_str(),
                  RENAME_NOREPLACE) == 0) {
    // The new entry is what must survive; on one file system the removal of the old one is
    // committed with it.
    target.sync();
    return FsResult::ok;
  }
  reason = errno;
  // EINVAL: the file system does not know the flag (older NFS, some FUSE); ENOSYS: old kernel.
  if (reason != EINVAL && reason != ENOSYS && reason != EOPNOTSUPP) return fsResultOf(reason);
  // linkat fails on an existing name the same atomic way; it does not follow a link either.
  if (::linkat(descriptor, name.c_str(), target.descriptor, targetName.c_str(), 0) != 0) {
    reason = errno;
    return fsResultOf(reason);
  }
  if (::unlinkat(descriptor, name.c_str(), 0) != 0) {
    reason = errno;
    ::unlinkat(target.descriptor, targetName.c_str(), 0);
    return fsResultOf(reason);
  }
  target.sync();
  return FsResult::ok;
}

FsResult SpecFolder::rename(const std::string& name, const std::string& newName) const {
  if (!usableName(name) || !usableName(newName)) return FsResult::failed;
  if (::renameat2(descriptor, name.c_str(), descriptor, newName.c_str(), RENAME_NOREPLACE) != 0) {
    return fsResultOf(errno);
  }
  return FsResult::ok;
}

FsResult SpecFolder::remove(const std::string& name) const {
  if (!usableName(name)) return FsResult::failed;
  if (::unlinkat(descriptor, name.c_str(), 0) != 0) return fsResultOf(errno);
  return FsResult::ok;
}

EntryKind SpecFolder::kindOf(const std::string& name) const {
  struct stat info {};
  if (!usableName(name) || ::fstatat(descriptor, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return EntryKind::missing;
  }
  return kindOfMode(info.st_mode);
}

std::optional<std::vector<std::pair<std::string, EntryKind>>> SpecFolder::list() const {
  // fdopendir takes the descriptor over: list a duplicate, from the start.
  const int copy = ::openat(descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return std::nullopt;
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    ::close(copy);
    return std::nullopt;
  }
  std::vector<std::pair<std::string, EntryKind>> entries;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    EntryKind kind = EntryKind::other;
    switch (entry->d_type) {
      case DT_REG:
        kind = EntryKind::regular;
        break;
      case DT_DIR:
        kind = EntryKind::directory;
        break;
      case DT_LNK:
        kind = EntryKind::symlink;
        break;
      case DT_FIFO:
        kind = EntryKind::fifo;
        break;
      case DT_CHR:
      case DT_BLK:
        kind = EntryKind::device;
        break;
      case DT_SOCK:
        kind = EntryKind::socket;
        break;
      default:
        kind = kindOf(name);
        break;  // file systems that do not fill d_type
    }
    entries.emplace_back(name, kind);
  }
  ::closedir(stream);
  return entries;
}

void SpecFolder::sync() const {
  if (deferring.load()) {
    owed.store(true);
    return;
  }
  ::fsync(descriptor);
}

void SpecFolder::deferRenames(bool defer) const {
  if (!defer) flushRenames();
  std::lock_guard<std::mutex> guard(renamesLock);
  renamesDeferred = defer;
}

std::size_t SpecFolder::removeStaleTemporaries() const {
  // "." + name + "." + 16 hex digits + ".tmp", as temporaryName makes them.
  const auto ours = [](const std::string& entry) {
    constexpr std::size_t kTail = 1 + 16 + 4;
    if (entry.size() < 2 + kTail || entry[0] != '.') return false;
    const std::size_t dot = entry.size() - kTail;
    if (entry[dot] != '.' || entry.compare(entry.size() - 4, 4, ".tmp") != 0) return false;
    return std::all_of(entry.begin() + static_cast<long>(dot) + 1, entry.end() - 4,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
  };
  std::size_t removed = 0;
  const auto entries = list();
  if (!entries) return 0;
  for (const auto& [entry, kind] : *entries) {
    if (kind == EntryKind::regular && ours(entry) && remove(entry) == FsResult::ok) ++removed;
  }
  return removed;
}

std::size_t SpecFolder::deferredRenames() const {
  std::lock_guard<std::mutex> guard(renamesLock);
  return pendingRenames.size() + pendingAppends;
}

bool SpecFolder::append(const std::string& name, std::string_view data, int* error) const {
  int ignored = 0;
  int& reason = error != nullptr ? *error : ignored;
  reason = EINVAL;
  if (!usableName(name)) return false;
  Descriptor file(::openat(descriptor, name.c_str(),
                           O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    reason = errno;
    return false;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    reason = EINVAL;
    return false;
  }
  std::unique_lock<std::mutex> deferred(renamesLock);
  if (!renamesDeferred) deferred.unlock();
  if (!writeAll(file.get(), data.data(), data.size()) ||
      (!deferred.owns_lock() && ::fdatasync(file.get()) != 0)) {
    reason = errno;
    return false;
  }
  if (deferred.owns_lock()) ++pendingAppends;
  reason = 0;
  return true;
}

bool SpecFolder::flushRenames() const {
  std::vector<std::pair<std::string, std::string>> renames;
  std::size_t appends = 0;
  {
    std::lock_guard<std::mutex> guard(renamesLock);
    renames.swap(pendingRenames);
    appends = std::exchange(pendingAppends, 0);
  }
  if (renames.empty() && appends == 0) return true;
  // One sync for every temporary's and every addition's data; where the file system cannot,
  // each temporary is synced alone.
  bool synced = ::syncfs(descriptor) == 0;
  bool ok = synced || appends == 0;
  for (const auto& [temporary, name] : renames) {
    bool durable = synced;
    if (!durable) {
      Descriptor file(::openat(descriptor, temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      durable = file.valid() && ::fsync(file.get()) == 0;
    }
    if (durable && ::renameat(descriptor, temporary.c_str(), descriptor, name.c_str()) == 0) {
      continue;
    }
    ok = false;
    ::unlinkat(descriptor, temporary.c_str(), 0);
  }
  sync();
  return ok;
}

void SpecFolder::deferSyncs(bool defer) const {
  deferring.store(defer);
  if (!defer) flushSyncs();
}

bool SpecFolder::flushSyncs() const {
  if (!owed.exchange(false)) return true;
  // Some file systems refuse fsync on a folder (EINVAL): their entries are in place all the same.
  return ::fsync(descriptor) == 0 || errno == EINVAL;
}

}  // namespace ZelcorCorelib::platform
