// A recursive lock that knows its owner thread and can be tried without blocking. The message
// bus, the file logger and the child-process registry guard their state with it.
// Any thread may lock; the owner may lock again any number of times and must unlock as often;
// only the owner can unlock. The owner and depth may be read from any thread.
// Every step is reported at level flood through the raw log sink (source "ThreadLock"; locks
// sit below the bus) when the sink's logger and the process-wide ceiling are both at flood. A
// flood line is itself a log record that may pass other locks: while one is on its way, no
// lock of the same thread reports anything, so logging never feeds on itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ZelcorCorelib {

class ThreadLock {
 public:
  ThreadLock();
  // floodLogging false: the lock never logs. The bus uses such a lock, because its lines would
  // describe the delivery of log records and would have to be delivered while it is held.
  explicit ThreadLock(bool floodLogging);
  // A lock still held by the destroying thread is released fully.
  virtual ~ThreadLock();

  ThreadLock(const ThreadLock&) = delete;
  ThreadLock& operator=(const ThreadLock&) = delete;

  // False only when non-blocking and another thread owns the lock.
  bool lock(bool blocking = true);
  // False when the caller does not own the lock; nothing changes then.
  bool unlock();

  // The kernel id of the owning thread, 0 when free.
  std::uint32_t getOwner() const { return owner.load(std::memory_order_acquire); }
  int getCount() const { return count.load(std::memory_order_acquire); }

 private:
  bool floodWanted() const;
  template <typename... V>
  void flood(const char* text, const V&... values) const;

  std::atomic<bool> initialized{false};
  std::atomic<std::uint32_t> owner{0};
  // The owner as the standard library names it: asking "is it me?" costs no system call,
  // unlike the kernel id, which is fetched only when the lock changes hands.
  std::atomic<std::thread::id> ownerThread{};
  std::atomic<int> count{0};
  // Needs no creation step on first use, unlike a critical section; initialized still records
  // the first lock, since an unlock before it is refused.
  std::mutex mutex;
  const bool floodLogging = true;
};

// Holds a ThreadLock (blocking) for one scope.
class ThreadLockGuard {
 public:
  explicit ThreadLockGuard(ThreadLock& lock) : lock(lock) { lock.lock(true); }
  ~ThreadLockGuard() { lock.unlock(); }

  ThreadLockGuard(const ThreadLockGuard&) = delete;
  ThreadLockGuard& operator=(const ThreadLockGuard&) = delete;

 private:
  ThreadLock& lock;
};

}  // namespace ZelcorCorelib
