#include "InstanceMutex.h"

#include <chrono>
#include <thread>

#include "platform/InstanceLock.h"
#include "platform/Threads.h"

namespace ZelcorCorelib {

InstanceMutex::InstanceMutex(std::string mutexName) : name(std::move(mutexName)) {}

InstanceMutex::~InstanceMutex() = default;

bool InstanceMutex::prepare() {
  if (prepared) return true;
  if (name.empty()) return false;
  preparedName = name;
  for (char& c : preparedName) {
    if (c == '/' || c == ':' || c == '\\') c = '_';
  }
  // The Windows build puts "Global\" in front; here the lock file's folder is machine-wide.
  handle = std::make_unique<platform::InstanceLock>(preparedName);
  prepared = true;
  return true;
}

bool InstanceMutex::lock(int timeoutMilliseconds) {
  // Preparing cannot succeed later when it fails now.
  if (!prepare()) return false;
  const std::int32_t self = platform::currentProcessId();
  for (int elapsed = 0; elapsed < timeoutMilliseconds; elapsed += kRetryMilliseconds) {
    if (lockCount > 0 && ownerProcessId == self) {
      ++lockCount;
      return true;
    }
    std::string error;
    switch (handle->tryAcquire(error)) {
      case platform::InstanceLock::Result::acquired:
        ++lockCount;
        ownerProcessId = self;
        return true;
      case platform::InstanceLock::Result::failed:
        ZELCOR_THROW(Lock_Failed,
                     "@appframe.instance-mutex.lock-failed{Cannot use the single-instance lock "
                     "file %};",
                     error);
      case platform::InstanceLock::Result::busy:
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMilliseconds));
  }
  return false;
}

}  // namespace ZelcorCorelib
