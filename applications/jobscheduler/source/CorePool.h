// The scheduler's core pool: how many jobs may run at once (totalCores) and how many of those
// slots are free (availableCores). Start-up sets the size from the sysinfo file (readSysinfo)
// and the configured or command-line maximum (applyMaxCores); the queue controller takes a
// core for every job it starts or re-attaches and gives it back when the job has finished.
// Invariant: 0 <= availableCores <= totalCores, and totalCores >= 1.
// Threads: the counters are atomics, so another thread may read them; changes come from the
// scheduling thread only (takeCore/releaseCore are not meant to race each other).
// Ownership: instance() is the process-wide pool, made on first use and never destroyed; tests
// build pools of their own and hand them to the controller.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace Zelcor {

class CorePool {
 public:
  // 1 core, 1 free.
  CorePool() = default;
  CorePool(const CorePool&) = delete;
  CorePool& operator=(const CorePool&) = delete;

  static CorePool& instance();

  std::uint32_t getTotalCores() const { return totalCores.load(std::memory_order_relaxed); }
  std::uint32_t getAvailableCores() const { return availableCores.load(std::memory_order_relaxed); }
  // Both counters become cores (0 counts as 1).
  void setCores(std::uint32_t cores);

  // False when no core is free; else one core fewer is free.
  bool takeCore();
  // False when every core is free already; else one more is free.
  bool releaseCore();

  // n >= 1: n cores. n = 0: one fewer than now when there are more than 2. n < 0: n fewer than
  // now when there are at least 3, but never fewer than 2. Works on the current values, so a
  // second call applies on top of the first.
  void applyMaxCores(std::int32_t n);

  // Remembers path; false when it is not a readable regular file, or when its "cores" value
  // (the first in file order, read as a signed decimal number) is missing or below 1: the pool
  // then keeps its values. Else both counters become that value.
  bool readSysinfo(const std::string& path);
  const std::string& getSysinfoPath() const { return sysinfoPath; }

 private:
  std::atomic<std::uint32_t> totalCores{1};
  std::atomic<std::uint32_t> availableCores{1};
  std::string sysinfoPath;
};

// The process-wide pool's operations.
bool takeCore();
bool releaseCore();
void applyMaxCores(std::int32_t n);
bool readSysinfo(const std::string& path);

}  // namespace Zelcor
