// Internal to the POSIX files of the platform layer: an owned file descriptor that is closed
// when the object goes, and a write that does not stop short. Include it only from *_posix.cpp
// files; it pulls in <unistd.h>. One object belongs to one thread at a time; it owns the
// descriptor it was given (a negative value owns nothing).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "platform/FileSystem.h"

namespace ZelcorCorelib::platform {

class Descriptor {
 public:
  explicit Descriptor(int value) : descriptor(value) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  int get() const { return descriptor; }
  bool valid() const { return descriptor >= 0; }
  // Gives the descriptor up to the caller, unclosed.
  int release() {
    const int value = descriptor;
    descriptor = -1;
    return value;
  }

  // False when close reports an error. Not retried on EINTR: Linux frees the descriptor either
  // way, and a retry could close one that another thread has just opened.
  bool reset() {
    int result = 0;
    if (descriptor >= 0) result = ::close(descriptor);
    descriptor = -1;
    return result == 0;
  }

 private:
  int descriptor;
};

// The reasons file callers react to; everything else is a plain failure.
inline FsResult fsResultOf(int error) {
  switch (error) {
    case EEXIST:
    case ENOTEMPTY:
      return FsResult::targetExists;
    case EACCES:
    case EPERM:
      return FsResult::accessDenied;
    case EXDEV:
      return FsResult::crossDevice;
    case ENOENT:
      return FsResult::notFound;
    default:
      return FsResult::failed;
  }
}

// Every byte, across short writes and signals; false with errno set when a write fails.
inline bool writeAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace ZelcorCorelib::platform
