#include "platform/AtomicFile.h"

#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <random>

namespace ZelcorCorelib::platform {

namespace {

// The C calls stop at a NUL byte and would act on a shorter, different path.
bool usable(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string randomSuffix() {
  // Seeded once per thread: a random device per name is costly, and O_EXCL settles a clash.
  thread_local std::mt19937_64 random = [] {
    std::random_device device;
    return std::mt19937_64((static_cast<std::uint64_t>(device()) << 32) ^ device());
  }();
  const std::uint64_t value = random();
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 0; i < 16; ++i) text[static_cast<std::size_t>(i)] = kDigits[(value >> (4 * i)) & 15];
  return text;
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path(std::move(path)) {}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open() {
  discard();
  failed = false;
  if (!usable(path)) return false;
  target = path;
  struct stat linkInfo {};
  // Renaming over a symbolic link would replace the link with a plain file.
  if (::lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  const std::string folder = folderOf(target);
  // Room for the dot, the suffix and ".tmp" within the 255 bytes of a name.
  std::string name = nameOf(target).substr(0, 200);
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string candidate = folder + "/." + name + "." + randomSuffix() + ".tmp";
    // O_EXCL: never reuse a name another writer picked; O_CLOEXEC: no job inherits it.
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      descriptor = fd;
      temporaryPath = std::move(candidate);
      struct stat existing {};
      // Best effort, like an editor saving: a file system without modes still gets the data.
      if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::fchmod(descriptor, existing.st_mode & 07777);
      }
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool AtomicFile::write(std::string_view data) {
  if (descriptor < 0 || failed) return false;
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t written = ::write(descriptor, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      failed = true;
      return false;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

bool AtomicFile::commit() {
  if (descriptor < 0) return false;
  bool ok = !failed && ::fsync(descriptor) == 0;
  // close() is not retried on EINTR: Linux frees the descriptor either way.
  if (::close(descriptor) != 0) ok = false;
  descriptor = -1;
  if (ok && ::rename(temporaryPath.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) {
    discard();
    return false;
  }
  temporaryPath.clear();
  syncDirectory(folderOf(target));
  return true;
}

void AtomicFile::discard() {
  if (descriptor >= 0) {
    ::close(descriptor);
    descriptor = -1;
  }
  if (!temporaryPath.empty()) {
    ::unlink(temporaryPath.c_str());
    temporaryPath.clear();
  }
}

}  // namespace ZelcorCorelib::platform
