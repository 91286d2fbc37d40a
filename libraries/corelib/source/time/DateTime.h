// A point in time: a count of milliseconds since 1899-12-31T00:00:00 UTC (1970-01-01 is
// 2,209,075,200,000) and the zone in which it is presented. Used for the current time, log
// time stamps, configuration values of type datetime and the Unix seconds of job times.
// A value type; const use is safe from any thread (TimeZone::local guards its own cache).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "time/DateTimeDetails.h"
#include "time/TimeSpan.h"
#include "time/TimeZone.h"

namespace ZelcorCorelib {

class DateTime {
 public:
  DateTime();  // count 0, UTC
  explicit DateTime(std::int64_t count, TimeZone zone = TimeZone());
  virtual ~DateTime() = default;

  // The system clock, in UTC.
  static DateTime now();
  // Counts beyond the 64-bit range saturate.
  static DateTime fromUnixSeconds(std::int64_t seconds);
  // nullopt for dates before 1900 and fields beyond the count's range.
  static std::optional<DateTime> fromDetails(const DateTimeDetails& details);
  // The text forms of DateTimeDetails::parse; without a zone in the text the local zone (or
  // defaultZone) is taken, and the result is presented in that zone. nullopt for bad texts.
  static std::optional<DateTime> fromText(const std::string& text);
  static std::optional<DateTime> fromText(const std::string& text, const TimeZone& defaultZone);

  std::int64_t getCount() const { return count; }
  const TimeZone& getZone() const { return zone; }
  void setZone(const TimeZone& value) { zone = value; }
  // The same moment presented in another zone.
  DateTime inZone(const TimeZone& value) const { return DateTime(count, value); }

  // Whole seconds since 1970-01-01T00:00:00 UTC, truncated toward zero.
  std::int64_t toUnixSeconds() const;

  DateTimeDetails details() const;
  // "2016-06-02T03:46:28.500Z" in UTC; in a zone the local time, with withZone followed by the
  // offset in force ("2016-06-02T05:46:28.500+02:00"). See DateTimeDetails::toText.
  std::string toText(bool withMilliseconds = true, bool compact = false,
                     bool withZone = false) const;

  // Years and months move the local calendar date (the day is cut to the month's length,
  // the wall-clock time kept), then the milliseconds are added. nullopt when the result falls
  // before 1900-01-01T00:00:00Z or outside the count's range.
  std::optional<DateTime> plus(const TimeSpan& span) const;

  friend bool operator==(const DateTime&, const DateTime&) = default;

 private:
  std::int64_t count = 0;
  TimeZone zone;
};

}  // namespace ZelcorCorelib
