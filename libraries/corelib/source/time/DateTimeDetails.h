// The calendar view of a DateTime: year to millisecond in a zone, with the day number and the
// weekday. Used to build moments from fields, to read and write the date-and-time text forms,
// and by TimeZone for its transition rules (the calendar helpers below).
// A value type; not shared between threads while it is changed.
//
// Setters leave the value non-normalised; normalise() carries out-of-range fields (minute 61,
// day 32, month 13) into the next larger one and refreshes the day number, weekday and the
// daylight-saving state. Text and count conversions normalise a copy first.
// Dates before 1900 are not supported: counts and texts of them are refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "time/TimeZone.h"

namespace ZelcorCorelib {

// Gregorian calendar arithmetic on DateTime counts, shared by the time classes.
namespace calendar {

inline constexpr std::int64_t kMsPerSecond = 1000;
inline constexpr std::int64_t kMsPerMinute = 60'000;
inline constexpr std::int64_t kMsPerHour = 3'600'000;
inline constexpr std::int64_t kMsPerDay = 86'400'000;
inline constexpr std::int64_t kUnixEpochCount = 2'209'075'200'000;  // 1970-01-01T00:00:00Z
inline constexpr std::int64_t kFirstYear = 1900;
// Years beyond this cannot be turned into counts without overflow.
inline constexpr std::int64_t kMaxYear = 100'000'000;

bool isLeapYear(std::int64_t year);
// 0 for a month outside 1-12.
std::int64_t daysInMonth(std::int64_t year, std::int64_t month);
// Days since 1899-12-31 (1900-01-01 is day 1). Requires: |year| <= kMaxYear, month 1-12.
std::int64_t dayNumber(std::int64_t year, std::int64_t month, std::int64_t day);
void civilFromDayNumber(std::int64_t dayNumber, std::int64_t& year, std::int64_t& month,
                        std::int64_t& day);
// 0 = Monday ... 6 = Sunday.
std::int64_t weekday(std::int64_t dayNumber);

// Requires: divisor > 0.
std::int64_t floorDiv(std::int64_t value, std::int64_t divisor);
std::int64_t floorMod(std::int64_t value, std::int64_t divisor);
// False (out untouched) when the exact result does not fit.
bool checkedAdd(std::int64_t a, std::int64_t b, std::int64_t& out);
bool checkedMul(std::int64_t a, std::int64_t b, std::int64_t& out);
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);

}  // namespace calendar

class DateTimeDetails {
 public:
  DateTimeDetails();  // 1900-01-01T00:00:00.000 UTC, normalised, no zone chosen yet
  virtual ~DateTimeDetails() = default;

  static DateTimeDetails fromCount(std::int64_t count, const TimeZone& zone = TimeZone());

  // Reads "2016-06-02T03:46:28.500Z", "20160602T034628.500Z", "2016-06-02 05:46:28+02:00",
  // "2016-06-02" or "03:46:28" (on 1900-01-01); missing parts keep their defaults, a fraction
  // of the second may have any number of digits (beyond three they are cut). Without a zone
  // in the text the zone set before is kept, or the local zone is taken when none was set.
  // False, and nothing changed, for anything else: invalid calendar dates (2100-02-29),
  // years before 1900, trailing garbage.
  bool parse(const std::string& text);
  static std::optional<DateTimeDetails> fromText(const std::string& text);

  // nullopt for dates before 1900 and for fields that overflow the count.
  std::optional<std::int64_t> toCount() const;

  // "2016-06-02T03:46:28.500Z"; compact "20160602T034628.500Z". "Z" marks UTC values; a zoned
  // value has no suffix unless withZone asks for its offset at that moment ("+02:00").
  // Fields that cannot be normalised are written as they stand.
  std::string toText(bool withMilliseconds = true, bool compact = false,
                     bool withZone = false) const;

  // True when every field lies in its calendar range (year 1900 or later).
  bool isValid() const;
  // False, and nothing changed, when the fields overflow the calendar's range.
  bool normalise();

  std::int64_t getYear() const { return year; }
  std::int64_t getMonth() const { return month; }
  std::int64_t getDay() const { return day; }
  std::int64_t getHour() const { return hour; }
  std::int64_t getMinute() const { return minute; }
  std::int64_t getSecond() const { return second; }
  std::int64_t getMillisecond() const { return millisecond; }
  // Of the normalised value; 0 when it cannot be normalised.
  std::int64_t getDayNumber() const;
  std::int64_t getWeekday() const;
  bool isNormalised() const { return normalised; }
  bool isZoned() const { return zoned; }
  bool isDaylightSaving() const { return daylightSaving; }
  const TimeZone& getZone() const { return zone; }

  void setYear(std::int64_t value);
  void setMonth(std::int64_t value);
  void setDay(std::int64_t value);
  void setHour(std::int64_t value);
  void setMinute(std::int64_t value);
  void setSecond(std::int64_t value);
  void setMillisecond(std::int64_t value);
  // Keeps the wall-clock fields; the moment they name moves with the zone.
  void setZone(const TimeZone& value);

 private:
  std::optional<std::int64_t> localCount() const;

  std::int64_t year = 1900;
  std::int64_t month = 1;
  std::int64_t day = 1;
  std::int64_t hour = 0;
  std::int64_t minute = 0;
  std::int64_t second = 0;
  std::int64_t millisecond = 0;
  std::int64_t dayNumber = 1;
  std::int64_t weekday = 0;
  bool normalised = true;
  bool zoned = false;
  bool zoneSet = false;
  bool daylightSaving = false;
  TimeZone zone;
};

}  // namespace ZelcorCorelib
