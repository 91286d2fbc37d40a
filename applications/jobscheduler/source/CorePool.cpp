#include "CorePool.h"

#include <algorithm>

#include "base/NoDestructor.h"
#include "base/StringUtils.h"
#include "bus/Logger.h"
#include "files/FileUtils.h"
#include "files/KeyValueFile.h"

namespace Zelcor {

namespace {

// Never destroyed, like the pool it speaks for.
ZelcorCorelib::Logger& poolLogger() {
  static ZelcorCorelib::NoDestructor<ZelcorCorelib::Logger> logger("main");
  return *logger;
}

}  // namespace

CorePool& CorePool::instance() {
  static ZelcorCorelib::NoDestructor<CorePool> pool;
  return *pool;
}

void CorePool::setCores(std::uint32_t cores) {
  cores = std::max<std::uint32_t>(cores, 1);
  totalCores.store(cores, std::memory_order_relaxed);
  availableCores.store(cores, std::memory_order_relaxed);
}

bool CorePool::takeCore() {
  const std::uint32_t available = getAvailableCores();
  if (available == 0) return false;
  availableCores.store(available - 1, std::memory_order_relaxed);
  return true;
}

bool CorePool::releaseCore() {
  const std::uint32_t available = getAvailableCores();
  if (available >= getTotalCores()) return false;
  availableCores.store(available + 1, std::memory_order_relaxed);
  return true;
}

void CorePool::applyMaxCores(std::int32_t n) {
  const std::uint32_t total = getTotalCores();
  if (n >= 1) {
    setCores(static_cast<std::uint32_t>(n));
    return;
  }
  if (n == 0) {
    if (total <= 2) return;
    // Both drop by one; a core in use stays in use.
    const std::uint32_t available = getAvailableCores();
    totalCores.store(total - 1, std::memory_order_relaxed);
    availableCores.store(std::min(available == 0 ? 0 : available - 1, total - 1),
                         std::memory_order_relaxed);
    return;
  }
  if (total < 3) return;
  // In 64 bits: n may be as low as INT32_MIN.
  const std::int64_t wanted = static_cast<std::int64_t>(total) + n;
  setCores(static_cast<std::uint32_t>(std::max<std::int64_t>(wanted, 2)));
}

bool CorePool::readSysinfo(const std::string& path) {
  sysinfoPath = path;
  if (!ZelcorCorelib::isRegularFile(path)) return false;
  ZelcorCorelib::KeyValueMap entries;
  if (!ZelcorCorelib::readKeyValueFile(path, entries, '\n', '=', false, true)) return false;
  auto entry = entries.lower_bound("cores");
  if (entry == entries.end() || entry->first != "cores") {
    poolLogger().warning(
        "@jobscheduler.read-sysinfo.cores-missing{File \"%\" has no \"cores\" entry.};", path);
    return false;
  }
  // Signed on purpose: a negative or zero count must not become a huge or empty pool.
  const std::int32_t cores = ZelcorCorelib::textToInt(entry->second);
  if (cores < 1) {
    poolLogger().warning(
        "@jobscheduler.read-sysinfo.cores-invalid{File \"%\" gives \"%\" cores; at least 1 is "
        "needed.};",
        path, entry->second);
    return false;
  }
  setCores(static_cast<std::uint32_t>(cores));
  return true;
}

bool takeCore() { return CorePool::instance().takeCore(); }

bool releaseCore() { return CorePool::instance().releaseCore(); }

void applyMaxCores(std::int32_t n) { CorePool::instance().applyMaxCores(n); }

bool readSysinfo(const std::string& path) { return CorePool::instance().readSysinfo(path); }

}  // namespace Zelcor
