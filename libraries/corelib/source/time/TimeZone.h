// A time zone: a standard offset from UTC and, optionally, a daylight-saving offset with the
// yearly rules that switch it on and off. DateTime and DateTimeDetails present moments in a
// zone; configuration values of type timezone are read and written through the text form.
// A value type; const use is safe from any thread. local() guards its process-wide cache.
//
// Text forms (fromText accepts, toText writes the first two):
//   "+01:00"                               a fixed offset ("+0100" is read too);
//   "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)"   standard offset, daylight offset, start-end rules;
//   "-5"                                   a bare whole number: whole hours, -23 to 23;
//   "Z"                                    UTC.
// A rule "<month>M<week>W<weekday>D<hour>H" names the week of the month (5: the last such
// weekday), the weekday (0 Monday to 6 Sunday) and the local hour: standard time for the start
// rule, daylight time for the end rule. Transitions of southern zones (start after end in the
// year) work as well.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace ZelcorCorelib {

class DateTime;

class TimeZone {
 public:
  struct Rule {
    std::int64_t month = 1;    // 1-12
    std::int64_t week = 1;     // 1-5, 5 = the last such weekday of the month
    std::int64_t weekday = 0;  // 0 = Monday ... 6 = Sunday
    std::int64_t hour = 0;     // 0-23
    friend bool operator==(const Rule&, const Rule&) = default;
  };

  static constexpr std::int64_t kMaxOffset = 86'400'000;  // offsets are clamped to one day

  TimeZone();  // UTC
  explicit TimeZone(std::int64_t standardOffset);
  // A rule outside its ranges, or a zero daylight offset, gives a zone without daylight saving.
  TimeZone(std::int64_t standardOffset, std::int64_t daylightOffset, Rule start, Rule end);
  virtual ~TimeZone() = default;

  std::int64_t getStandardOffset() const { return standardOffset; }
  std::int64_t getDaylightOffset() const { return daylightOffset; }
  bool hasDaylightSaving() const { return daylightSaving; }
  const Rule& getStartRule() const { return start; }
  const Rule& getEndRule() const { return end; }
  bool isUtc() const { return standardOffset == 0 && !daylightSaving; }

  static bool isValidRule(const Rule& rule);

  // Moments are DateTime counts (milliseconds since 1899-12-31T00:00:00 UTC).
  bool isDaylightSavingAt(std::int64_t count) const;
  std::int64_t offsetAt(std::int64_t count) const;
  // The UTC counts at which daylight saving starts and ends in the given local year;
  // nullopt without daylight saving or for years beyond the calendar's range.
  std::optional<std::pair<std::int64_t, std::int64_t>> transitions(std::int64_t year) const;
  // The UTC count of a local wall-clock count. A time that occurs twice is read as daylight
  // time; one skipped by the spring transition is read as standard time.
  std::int64_t toUtc(std::int64_t localCount, bool* inDaylightSaving = nullptr) const;

  // Without daylight saving the offset text, else the offset, daylight offset and rules.
  std::string toText() const;
  // The offset in force at that moment: "+02:00", or "+0200" compact.
  std::string toText(const DateTime& moment, bool compact = false) const;
  std::string offsetTextAt(std::int64_t count, bool compact = false) const;
  static std::string offsetText(std::int64_t offset, bool compact = false);

  // nullopt for anything that is not one of the forms above (surrounding blanks are ignored).
  static std::optional<TimeZone> fromText(const std::string& text);

  // The process's local zone: ZELCOR_TZ when it is set, non-empty and readable, else the
  // operating system's zone for the current year. Cached for up to an hour, and re-derived at
  // once when ZELCOR_TZ changes.
  static TimeZone local();
  // The operating system's zone, derived afresh (no cache) by probing the local year of the
  // given count for its daylight-saving transitions. Zones whose year does not reduce to one
  // start and one end transition give the fixed offset in force at that moment; transitions
  // off the whole hour are rounded down to the hour.
  static TimeZone fromSystem(std::int64_t count);

  friend bool operator==(const TimeZone&, const TimeZone&) = default;

 private:
  std::int64_t standardOffset = 0;
  std::int64_t daylightOffset = 0;
  bool daylightSaving = false;
  Rule start;
  Rule end;
};

}  // namespace ZelcorCorelib
