// The operating system's clock and local-time conversion, for DateTime and TimeZone.
// Free functions without state of their own; callable from any thread, but the C runtime's
// zone data is process-wide: refreshLocalZone must not race with changes of the environment.
#pragma once

#include <cstdint>
#include <optional>

namespace ZelcorCorelib::platform {

// Wall-clock time in UTC, milliseconds since 1970-01-01T00:00:00.
std::int64_t currentUnixMilliseconds();

// What the system's local-time conversion says about one moment.
struct LocalTimeFacts {
  std::int64_t utcOffsetSeconds = 0;  // local time minus UTC, daylight saving included
  bool daylightSaving = false;
};

// Re-reads the system's zone settings (TZ, /etc/localtime) so later conversions see changes.
void refreshLocalZone();

// nullopt when the system cannot convert that moment (out of its range).
std::optional<LocalTimeFacts> localTimeFacts(std::int64_t unixSeconds);

}  // namespace ZelcorCorelib::platform
