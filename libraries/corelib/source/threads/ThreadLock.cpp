#include "threads/ThreadLock.h"

#include <charconv>
#include <cstdint>
#include <string>

#include "errors/RawLog.h"
#include "platform/Threads.h"

namespace ZelcorCorelib {

namespace {

// Set while this thread sends a lock's flood line: the locks that the delivery itself passes
// (the file logger's, or this one again) stay silent instead of logging without end.
thread_local bool floodInFlight = false;

std::string identity(const void* lock) {
  char digits[2 * sizeof(std::uintptr_t) + 1] = {};
  auto result = std::to_chars(digits, digits + sizeof(digits) - 1,
                              reinterpret_cast<std::uintptr_t>(lock), 16);
  return "0x" + std::string(digits, result.ptr);
}

}  // namespace

ThreadLock::ThreadLock() = default;

ThreadLock::ThreadLock(bool floodLogging) : floodLogging(floodLogging) {}

ThreadLock::~ThreadLock() {
  if (count.load(std::memory_order_relaxed) > 0 &&
      ownerThread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    count.store(1, std::memory_order_relaxed);
    unlock();
  }
}

bool ThreadLock::floodWanted() const {
  return floodLogging && !floodInFlight && rawLogEnabled(kLogFlood);
}

template <typename... V>
void ThreadLock::flood(const char* text, const V&... values) const {
  floodInFlight = true;
  try {
    rawLog(kLogFlood, "ThreadLock", text, makeParams(values...));
  } catch (...) {
    // A lock must not fail because its flood line could not be written.
  }
  floodInFlight = false;
}

bool ThreadLock::lock(bool blocking) {
  const std::thread::id self = std::this_thread::get_id();
  if (floodWanted()) {
    flood("ThreadLock::lock: Going to lock % (%)", identity(this),
          blocking ? "blocking" : "non-blocking");
  }
  initialized.store(true, std::memory_order_relaxed);

  // Only this thread ever stores its own id, so a relaxed read tells whether it owns the lock.
  const std::thread::id current = ownerThread.load(std::memory_order_relaxed);
  if (current == self) {
    count.fetch_add(1, std::memory_order_relaxed);
    if (floodWanted()) flood("ThreadLock::lock: Already locked");
    return true;
  }
  if (current != std::thread::id() && !blocking) {
    if (floodWanted()) {
      flood("ThreadLock::lock: Failed to lock - lock belongs to thread %", getOwner());
    }
    return false;
  }
  if (blocking) {
    mutex.lock();
  } else if (!mutex.try_lock()) {
    return false;
  }
  count.fetch_add(1, std::memory_order_relaxed);
  owner.store(platform::currentThreadId(), std::memory_order_release);
  ownerThread.store(self, std::memory_order_relaxed);
  if (floodWanted()) flood("ThreadLock::lock: Locked");
  return true;
}

bool ThreadLock::unlock() {
  const std::thread::id self = std::this_thread::get_id();
  if (floodWanted()) flood("ThreadLock::unlock: Going to unlock %", identity(this));
  if (!initialized.load(std::memory_order_relaxed)) return false;

  if (ownerThread.load(std::memory_order_relaxed) != self) {
    if (floodWanted()) {
      flood("ThreadLock::unlock: Cannot unlock - locked by other thread %", getOwner());
    }
    return false;
  }
  const int remaining = count.fetch_sub(1, std::memory_order_relaxed) - 1;
  if (remaining == 0) {
    ownerThread.store(std::thread::id(), std::memory_order_relaxed);
    owner.store(0, std::memory_order_release);
    mutex.unlock();
    if (floodWanted()) flood("ThreadLock::unlock: Unlocked");
  } else if (floodWanted()) {
    flood("ThreadLock::unlock: Nested locking (now at level % - actual unlock at zero)", remaining);
  }
  return true;
}

}  // namespace ZelcorCorelib
