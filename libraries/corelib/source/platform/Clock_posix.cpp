#include <ctime>
#include <limits>

#include "platform/Clock.h"

namespace ZelcorCorelib::platform {

std::int64_t currentUnixMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void refreshLocalZone() {
  // localtime_r is not required to look at TZ again; tzset is.
  tzset();
}

std::optional<LocalTimeFacts> localTimeFacts(std::int64_t unixSeconds) {
  if (unixSeconds < std::numeric_limits<time_t>::min() ||
      unixSeconds > std::numeric_limits<time_t>::max()) {
    return std::nullopt;
  }
  const time_t moment = static_cast<time_t>(unixSeconds);
  tm local{};
  if (localtime_r(&moment, &local) == nullptr) return std::nullopt;
  LocalTimeFacts facts;
  facts.utcOffsetSeconds = local.tm_gmtoff;
  facts.daylightSaving = local.tm_isdst > 0;
  return facts;
}

}  // namespace ZelcorCorelib::platform
