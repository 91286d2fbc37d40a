#include "registry/RegistryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <optional>
#include <system_error>

#include "platform/Descriptor.h"
#include "platform/Environment.h"

namespace ZelcorCorelib::platform {

namespace {

constexpr const char* kDefaultStore = "/etc/zelcor/registry.reg";

std::string storePath() {
  std::optional<std::string> path = getEnvironment("ZELCOR_REGISTRY");
  return path && !path->empty() ? *path : kDefaultStore;
}

std::string errorText(int error) { return std::generic_category().message(error); }

std::string messageText(const Exception& failure) {
  std::string text = failure.toString(false);
  return !text.empty() && text.front() == ' ' ? text.substr(1) : text;
}

enum class Load { ok, missing, failed };

// The whole file; error holds errno on failure.
Load loadFile(const std::string& path, std::string& bytes, struct stat& info, int& error) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    error = errno;
    return (error == ENOENT || error == ENOTDIR) ? Load::missing : Load::failed;
  }
  if (::fstat(file.get(), &info) != 0) {
    error = errno;
    return Load::failed;
  }
  if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return Load::failed;
  }
  bytes.clear();
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return Load::failed;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return Load::ok;
}

long writeResultOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kRegistryAccessDenied;
    case ENOMEM:
      return kRegistryOutOfMemory;
    default:
      return kRegistryWriteFault;
  }
}

// The file is line by line: a line break in a name would end its line early.
bool storable(const std::string& text) {
  return text.find_first_of("\r\n") == std::string::npos && text.find('\0') == std::string::npos;
}

// A rename would replace a symbolic link with a plain file; the link's target is rewritten.
std::string resolvedTarget(const std::string& path) {
  char buffer[PATH_MAX];
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
      ::realpath(path.c_str(), buffer) != nullptr) {
    return buffer;
  }
  return path;
}

std::string folderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool makeFolders(const std::string& folder, int& error) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return true;
  if (errno != ENOENT) {
    error = errno;
    return false;
  }
  std::string parent = folderOf(folder);
  if (parent != folder && !makeFolders(parent, error)) return false;
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    error = errno;
    return false;
  }
  return true;
}

// Writes text to a temporary file beside target, flushed to disk, and renames it over target;
// a crash at any point leaves the old file or the new one, never a part.
bool replaceFile(const std::string& target, const std::string& text, const struct stat* old,
                 int& error) {
  const std::string folder = folderOf(target);
  const std::string temporary = target + ".tmp";  // only the lock holder ever uses this name
  // O_NOFOLLOW: a link planted under the temporary name must not redirect the write.
  Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                         old != nullptr ? (old->st_mode & 07777) : 0666));
  if (!file.valid()) {
    error = errno;
    return false;
  }
  bool ok = writeAll(file.get(), text.data(), text.size());
  if (ok && old != nullptr) {
    // The temporary file was made with the umask; the store keeps its owner and mode.
    if (::fchown(file.get(), old->st_uid, old->st_gid) != 0) {
      // Only the owner or root may give a file away; a writer who may not keeps its own.
    }
    ok = ::fchmod(file.get(), old->st_mode & 07777) == 0;
  }
  ok = ok && ::fsync(file.get()) == 0;
  if (!ok) error = errno;
  if (!file.reset() && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk only with its folder.
  Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.valid()) ::fsync(directory.get());
  return true;
}

void writeLocked(const std::string& hive, const std::string& key, const std::string& valueName,
                 const RegistryValue& value, const std::string& target, RegistryWrite& result) {
  int error = 0;
  if (!makeFolders(folderOf(target), error)) {
    result.result = writeResultOf(error);
    result.reason = "its folder cannot be made (" + errorText(error) + ")";
    return;
  }
  // flock, not fcntl locks: those do not exclude two threads of one process, nor survive
  // the closing of any other descriptor of the file.
  Descriptor lock(::open((target + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.valid()) {
    error = errno;
    result.result = writeResultOf(error);
    result.reason = "its lock file cannot be opened (" + errorText(error) + ")";
    return;
  }
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    error = errno;
    result.result = writeResultOf(error);
    result.reason = "it cannot be locked (" + errorText(error) + ")";
    return;
  }
  std::string bytes;
  struct stat info {};
  RegistryFile document;
  bool existed = false;
  switch (loadFile(target, bytes, info, error)) {
    case Load::missing:
      break;
    case Load::failed:
      result.result = error == ENOMEM ? kRegistryOutOfMemory : kRegistryAccessDenied;
      result.reason = "it cannot be read (" + errorText(error) + ")";
      return;
    case Load::ok:
      existed = true;
      try {
        document = RegistryFile::parse(bytes, target);
      } catch (const Exception& failure) {
        // A file that cannot be understood is left exactly as it is.
        result.result = kRegistryBadDatabase;
        result.reason = messageText(failure);
        return;
      }
      break;
  }
  document.setValue(hive, key, valueName, value);
  if (!replaceFile(target, document.render(), existed ? &info : nullptr, error)) {
    result.result = writeResultOf(error);
    result.reason = "it cannot be rewritten (" + errorText(error) + ")";
  }
}

}  // namespace

RegistryRead readRegistryValue(const std::string& hive, const std::string& key,
                               const std::string& valueName, bool /*view64*/) {
  RegistryRead result;
  try {
    result.store = storePath();
    std::string bytes;
    struct stat info {};
    int error = 0;
    switch (loadFile(result.store, bytes, info, error)) {
      case Load::missing:
        result.openResult = kRegistryFileNotFound;
        return result;
      case Load::failed:
        result.openResult = error == ENOMEM ? kRegistryOutOfMemory : kRegistryAccessDenied;
        result.reason = "it cannot be read (" + errorText(error) + ")";
        return result;
      case Load::ok:
        break;
    }
    RegistryFile document;
    try {
      document = RegistryFile::parse(bytes, result.store);
    } catch (const Exception& failure) {
      result.openResult = kRegistryBadDatabase;
      result.reason = messageText(failure);
      return result;
    }
    RegistryFile::Lookup lookup = document.find(hive, key, valueName);
    switch (lookup.outcome) {
      case RegistryFile::Outcome::keyMissing:
        result.openResult = kRegistryFileNotFound;
        break;
      case RegistryFile::Outcome::valueMissing:
        result.queryResult = kRegistryFileNotFound;
        break;
      case RegistryFile::Outcome::damaged:
        result.queryResult = kRegistryBadDatabase;
        result.reason = lookup.problem;
        break;
      case RegistryFile::Outcome::found:
        result.value = std::move(lookup.value);
        break;
    }
  } catch (const std::bad_alloc&) {
    result.openResult = kRegistryOutOfMemory;
  }
  return result;
}

RegistryWrite writeRegistryValue(const std::string& hive, const std::string& key,
                                 const std::string& valueName, const RegistryValue& value,
                                 bool /*view64*/) {
  RegistryWrite result;
  try {
    result.store = storePath();
    if (!RegistryFile::isHiveName(hive) || !storable(key) || !storable(valueName)) {
      result.result = kRegistryInvalidParameter;
      result.reason = "a key or value name with a line break or NUL cannot be stored";
      return result;
    }
    writeLocked(hive, key, valueName, value, resolvedTarget(result.store), result);
  } catch (const std::bad_alloc&) {
    result.result = kRegistryOutOfMemory;
  }
  return result;
}

}  // namespace ZelcorCorelib::platform
