// A named system-wide mutex for the single-instance rule: one holder per name on the machine.
// The application frame's checkSingleInstance makes one named <application name>_Single and
// keeps it for the life of the frame, which is the life of the process. On POSIX the mutex is
// an exclusive lock on <lock directory>/<name>.lock (platform/InstanceLock.h); like a Windows
// named mutex it excludes other processes and other InstanceMutex objects of this process.
// One object belongs to one thread (the main thread). It owns its platform lock, which is held
// from the first successful lock until the object goes; there is no unlock before that.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "errors/Exception.h"

namespace ZelcorCorelib {

namespace platform {
class InstanceLock;
}

class InstanceMutex : public Throws {
 public:
  // The lock file cannot be made or locked for a reason other than another holder.
  ZELCOR_EXCEPTION(Lock_Failed);

  static constexpr int kRetryMilliseconds = 13;

  explicit InstanceMutex(std::string name);
  ~InstanceMutex() override;
  InstanceMutex(const InstanceMutex&) = delete;
  InstanceMutex& operator=(const InstanceMutex&) = delete;

  // Tries every 13 ms while less than timeoutMilliseconds have passed: 8 tries over about
  // 104 ms for 100. True when this object holds the mutex (a further lock by the owner only
  // counts up); false when another holder kept it, or at once for an empty name.
  // Throws InstanceMutex::Lock_Failed when the lock file cannot be used at all.
  bool lock(int timeoutMilliseconds);

  const std::string& getName() const { return name; }
  // The name as the system sees it, "/", ":" and "\" replaced by "_"; empty before the first
  // lock and for an empty name.
  const std::string& getPreparedName() const { return preparedName; }
  bool isPrepared() const { return prepared; }
  std::int32_t getOwnerProcessId() const { return ownerProcessId; }
  std::uint32_t getLockCount() const { return lockCount; }
  bool isLocked() const { return lockCount > 0; }

 private:
  bool prepare();

  std::string name;
  std::string preparedName;
  bool prepared = false;
  std::int32_t ownerProcessId = 0;
  std::uint32_t lockCount = 0;
  std::unique_ptr<platform::InstanceLock> handle;
};

}  // namespace ZelcorCorelib
