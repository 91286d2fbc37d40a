// A duration: years and months, kept apart because their length depends on the date they are
// added to, and everything shorter folded into milliseconds. Read from and written as ISO 8601
// durations ("P1Y2M3DT4H5M6.5S"); used for configuration values of type timespan and by
// DateTime::plus. A value type; const use is safe from any thread.
#pragma once

#include <cstdint>
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
