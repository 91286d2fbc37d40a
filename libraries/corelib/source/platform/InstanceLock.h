// The system-wide lock behind the single-instance rule: at most one holder per name on the
// machine, whichever process or object asks. Used by the application frame's InstanceMutex.
// On POSIX it is an exclusive flock on <lock directory>/<name>.lock, the lock directory being
// $ZELCOR_LOCK_DIR, else a folder other users cannot write to (lockDirectory), so that nobody
// else can hold the lock and keep the program from starting. The kernel drops the lock when
// its holder ends, so a crash never leaves a stale lock; a lock file left behind is harmless.
// One object belongs to one thread. It owns its descriptor and gives the lock up when it goes.
#pragma once

#include <string>

namespace ZelcorCorelib::platform {

class InstanceLock {
 public:
  enum class Result {
    acquired,  // held by this object now (also when it was already)
    busy,      // another process or another object holds it
    failed,    // the lock file cannot be used; the error text says why
  };

  // Requires: name is not empty and holds no '/'.
  explicit InstanceLock(std::string name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // One attempt; never waits. On failed, error holds the file and the system's reason.
  Result tryAcquire(std::string& error);
  // Harmless when nothing is held.
  void release();
  bool isHeld() const { return descriptor >= 0; }

  // Where the lock of this name lives; fixed when the object is made.
  const std::string& getPath() const { return path; }

  // $ZELCOR_LOCK_DIR when set; else for root /run/zelcor (/tmp/zelcor-0 where there is no
  // /run), for anyone else $XDG_RUNTIME_DIR, else /tmp/zelcor-<uid>. A default folder is made
  // when missing and must belong to this user and be writable by nobody else.
  static std::string lockDirectory();

 private:
  std::string path;
  std::string folder;
  bool defaultFolder = false;
  int descriptor = -1;
};

}  // namespace ZelcorCorelib::platform
