// A duration: years and months, kept apart because their length depends on the date they are
// added to, and everything shorter folded into milliseconds. Read from and written as ISO 8601
// durations ("P1Y2M3DT4H5M6.5S"); used for configuration values of type timespan and by
// DateTime::plus. A value type; const use is safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ZelcorCorelib {

class TimeSpan {
 public:
  TimeSpan() = default;
  TimeSpan(std::int64_t years, std::int64_t months, std::int64_t milliseconds)
      : years(years), months(months), milliseconds(milliseconds) {}
  virtual ~TimeSpan() = default;

  std::int64_t getYears() const { return years; }
  std::int64_t getMonths() const { return months; }
  std::int64_t getMilliseconds() const { return milliseconds; }

  // Lenient by design, never fails: text before the first "P" is ignored, a number runs over
  // digits, "-" and "." and is taken by the designator after it (Y, M, D before "T"; H, M, S
  // after it; either case), other characters are skipped. Whole numbers are read as 32-bit
  // values (saturating), seconds as a decimal fraction cut to whole milliseconds. A text
  // without "P" gives the zero duration; sums saturate instead of overflowing.
  static TimeSpan fromText(const std::string& text);
  // Strict, for a duration of fixed length that a person wrote: "90s", "2h", "1d6h30m",
  // "1.5s" (days, hours, minutes, seconds in that order, each at most once, seconds with up
  // to three decimals), or ISO 8601 without years and months ("PT30M", "P1DT6H", "PT1.5S").
  // Letters in either case; nothing else around or between. Nothing for any other text,
  // an empty one, or more than 9 digits in one number.
  static std::optional<std::int64_t> parseMilliseconds(const std::string& text);

  // "P1Y2M3DT4H5M6.5S"; a negative millisecond part puts "-" before each of its numbers;
  // zero is "PT0S". fromText reads it back exactly while every number fits in 32 bits.
  std::string toText() const;

  friend bool operator==(const TimeSpan&, const TimeSpan&) = default;

 private:
  std::int64_t years = 0;
  std::int64_t months = 0;
  std::int64_t milliseconds = 0;
};

}  // namespace ZelcorCorelib
