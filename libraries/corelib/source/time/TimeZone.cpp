#include "time/TimeZone.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "base/GlobPattern.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "time/DateTime.h"
#include "time/DateTimeDetails.h"

namespace ZelcorCorelib {

namespace {

using namespace calendar;

constexpr std::int64_t kCacheLifetime = 3'600'000;
constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr std::int64_t kUnixEpochSeconds = kUnixEpochCount / 1000;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string trimmed(const std::string& s) {
  const char* blanks = " \t\r\n\v\f";
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// "+hh:mm" (withColon) or "+hhmm": hours 0-23, minutes 0-59.
std::optional<std::int64_t> parseOffset(const std::string& text, bool withColon) {
  if (text.size() != (withColon ? 6u : 5u) || (text[0] != '+' && text[0] != '-')) {
    return std::nullopt;
  }
  const std::size_t minutesAt = withColon ? 4 : 3;
  if ((withColon && text[3] != ':') || !isDigit(text[1]) || !isDigit(text[2]) ||
      !isDigit(text[minutesAt]) || !isDigit(text[minutesAt + 1])) {
    return std::nullopt;
  }
  const std::int64_t hours = (text[1] - '0') * 10 + (text[2] - '0');
  const std::int64_t minutes = (text[minutesAt] - '0') * 10 + (text[minutesAt + 1] - '0');
  if (hours > 23 || minutes > 59) return std::nullopt;
  const std::int64_t offset = hours * kMsPerHour + minutes * kMsPerMinute;
  return text[0] == '-' ? -offset : offset;
}

// "<month>M<week>W<weekday>D<hour>H", each number one or two digits.
std::optional<TimeZone::Rule> parseRule(const std::string& text) {
  const char letters[] = {'M', 'W', 'D', 'H'};
  std::int64_t values[4] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t digits = 0;
    while (pos < text.size() && digits < 2 && isDigit(text[pos])) {
      values[i] = values[i] * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || pos >= text.size() || text[pos] != letters[i]) return std::nullopt;
    ++pos;
  }
  if (pos != text.size()) return std::nullopt;
  const TimeZone::Rule rule{values[0], values[1], values[2], values[3]};
  if (!TimeZone::isValidRule(rule)) return std::nullopt;
  return rule;
}

std::string ruleText(const TimeZone::Rule& rule) {
  return std::to_string(rule.month) + "M" + std::to_string(rule.week) + "W" +
         std::to_string(rule.weekday) + "D" + std::to_string(rule.hour) + "H";
}

std::optional<TimeZone> parseRuleForm(const std::string& text) {
  const std::optional<std::int64_t> standard = parseOffset(text.substr(0, 6), true);
  const std::optional<std::int64_t> daylight = parseOffset(text.substr(8, 6), true);
  const std::string rules = text.substr(15, text.size() - 16);
  const std::size_t dash = rules.find('-');
  if (!standard || !daylight || *daylight == 0 || dash == std::string::npos) return std::nullopt;
  const std::optional<TimeZone::Rule> start = parseRule(rules.substr(0, dash));
  const std::optional<TimeZone::Rule> end = parseRule(rules.substr(dash + 1));
  if (!start || !end || *start == *end) return std::nullopt;
  return TimeZone(*standard, *daylight, *start, *end);
}

// A bare whole number with an optional sign: whole hours.
std::optional<TimeZone> parseHours(const std::string& text) {
  std::size_t pos = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  const std::size_t digitsAt = pos;
  std::int64_t hours = 0;
  for (; pos < text.size() && isDigit(text[pos]) && pos - digitsAt < 3; ++pos) {
    hours = hours * 10 + (text[pos] - '0');
  }
  if (pos == digitsAt || pos != text.size() || hours > 23) return std::nullopt;
  return TimeZone((text[0] == '-' ? -hours : hours) * kMsPerHour);
}

std::int64_t ruleDayNumber(std::int64_t year, const TimeZone::Rule& rule) {
  const std::int64_t first = dayNumber(year, rule.month, 1);
  std::int64_t day = 1 + floorMod(rule.weekday - weekday(first), 7) + (rule.week - 1) * 7;
  const std::int64_t length = daysInMonth(year, rule.month);
  while (day > length) day -= 7;
  return first + day - 1;
}

// The rule that names the local wall-clock time of a transition.
TimeZone::Rule ruleAt(std::int64_t unixSeconds, std::int64_t localOffsetSeconds) {
  const std::int64_t local = (unixSeconds + localOffsetSeconds) * 1000 + kUnixEpochCount;
  const std::int64_t days = floorDiv(local, kMsPerDay);
  std::int64_t year = 0;
  std::int64_t month = 0;
  std::int64_t day = 0;
  civilFromDayNumber(days, year, month, day);
  TimeZone::Rule rule;
  rule.month = month;
  rule.week = day + 7 > daysInMonth(year, month) ? 5 : (day - 1) / 7 + 1;
  rule.weekday = weekday(days);
  rule.hour = floorMod(local, kMsPerDay) / kMsPerHour;
  return rule;
}

struct Change {
  std::int64_t at;
  platform::LocalTimeFacts before;
  platform::LocalTimeFacts after;
};

bool sameFacts(const platform::LocalTimeFacts& a, const platform::LocalTimeFacts& b) {
  return a.utcOffsetSeconds == b.utcOffsetSeconds && a.daylightSaving == b.daylightSaving;
}

// Every change of the system's local-time facts in [from, to], to the second. Daily probes
// cannot see two changes within one day; no zone in use has such.
bool probeChanges(std::int64_t from, std::int64_t to, std::vector<Change>& changes) {
  std::optional<platform::LocalTimeFacts> previous = platform::localTimeFacts(from);
  if (!previous) return false;
  for (std::int64_t probe = from + kSecondsPerDay; probe <= to; probe += kSecondsPerDay) {
    const std::optional<platform::LocalTimeFacts> current = platform::localTimeFacts(probe);
    if (!current) return false;
    if (!sameFacts(*current, *previous)) {
      std::int64_t low = probe - kSecondsPerDay;
      std::int64_t high = probe;
      while (high - low > 1) {
        const std::int64_t middle = low + (high - low) / 2;
        const std::optional<platform::LocalTimeFacts> facts = platform::localTimeFacts(middle);
        if (!facts) return false;
        (sameFacts(*facts, *previous) ? low : high) = middle;
      }
      changes.push_back({high, *previous, *current});
      if (changes.size() > 2) return false;
    }
    previous = current;
  }
  return true;
}

}  // namespace

TimeZone::TimeZone() = default;

TimeZone::TimeZone(std::int64_t standardOffset)
    : standardOffset(std::clamp(standardOffset, -kMaxOffset, kMaxOffset)) {}

TimeZone::TimeZone(std::int64_t standardOffset, std::int64_t daylightOffset, Rule start, Rule end)
    : TimeZone(standardOffset) {
  if (daylightOffset != 0 && isValidRule(start) && isValidRule(end) && !(start == end)) {
    this->daylightOffset = std::clamp(daylightOffset, -kMaxOffset, kMaxOffset);
    this->daylightSaving = true;
    this->start = start;
    this->end = end;
  }
}

bool TimeZone::isValidRule(const Rule& rule) {
  return rule.month >= 1 && rule.month <= 12 && rule.week >= 1 && rule.week <= 5 &&
         rule.weekday >= 0 && rule.weekday <= 6 && rule.hour >= 0 && rule.hour <= 23;
}

std::optional<std::pair<std::int64_t, std::int64_t>> TimeZone::transitions(
    std::int64_t year) const {
  if (!daylightSaving || year > kMaxYear || year < -kMaxYear) return std::nullopt;
  const std::int64_t startLocal = ruleDayNumber(year, start) * kMsPerDay + start.hour * kMsPerHour;
  const std::int64_t endLocal = ruleDayNumber(year, end) * kMsPerDay + end.hour * kMsPerHour;
  return std::make_pair(startLocal - standardOffset, endLocal - standardOffset - daylightOffset);
}

bool TimeZone::isDaylightSavingAt(std::int64_t count) const {
  if (!daylightSaving) return false;
  std::int64_t year = 0;
  std::int64_t month = 0;
  std::int64_t day = 0;
  civilFromDayNumber(floorDiv(saturatingAdd(count, standardOffset), kMsPerDay), year, month, day);
  const auto moments = transitions(year);
  if (!moments) return false;
  if (moments->first < moments->second) {
    return count >= moments->first && count < moments->second;
  }
  return count >= moments->first || count < moments->second;
}

std::int64_t TimeZone::offsetAt(std::int64_t count) const {
  return standardOffset + (isDaylightSavingAt(count) ? daylightOffset : 0);
}

std::int64_t TimeZone::toUtc(std::int64_t localCount, bool* inDaylightSaving) const {
  const std::int64_t standardUtc = saturatingAdd(localCount, -standardOffset);
  if (daylightSaving) {
    const std::int64_t daylightUtc = saturatingAdd(standardUtc, -daylightOffset);
    if (isDaylightSavingAt(daylightUtc)) {
      if (inDaylightSaving != nullptr) *inDaylightSaving = true;
      return daylightUtc;
    }
  }
  if (inDaylightSaving != nullptr) *inDaylightSaving = false;
  return standardUtc;
}

std::string TimeZone::offsetText(std::int64_t offset, bool compact) {
  std::uint64_t magnitude = static_cast<std::uint64_t>(offset);
  if (offset < 0) magnitude = 0 - magnitude;
  const std::uint64_t minutes = magnitude / kMsPerMinute;
  std::string hours = std::to_string(minutes / 60);
  if (hours.size() < 2) hours.insert(0, 1, '0');
  const std::uint64_t minuteOfHour = minutes % 60;
  std::string text(1, offset < 0 ? '-' : '+');
  text += hours;
  if (!compact) text.push_back(':');
  text.push_back(static_cast<char>('0' + minuteOfHour / 10));
  text.push_back(static_cast<char>('0' + minuteOfHour % 10));
  return text;
}

std::string TimeZone::offsetTextAt(std::int64_t count, bool compact) const {
  return offsetText(offsetAt(count), compact);
}

std::string TimeZone::toText(const DateTime& moment, bool compact) const {
  return offsetTextAt(moment.getCount(), compact);
}

std::string TimeZone::toText() const {
  std::string text = offsetText(standardOffset);
  if (daylightSaving) {
    text += " (" + offsetText(daylightOffset) + " " + ruleText(start) + "-" + ruleText(end) + ")";
  }
  return text;
}

std::optional<TimeZone> TimeZone::fromText(const std::string& input) {
  const std::string text = trimmed(input);
  if (text == "Z" || text == "z") return TimeZone();
  if (matchGlob(text, "???:?? (???:?? *M*W*D*H-*M*W*D*H)")) return parseRuleForm(text);
  if (matchGlob(text, "+????*") || matchGlob(text, "-????*")) {
    const bool withColon = matchGlob(text, "???:??");
    const std::optional<std::int64_t> offset = parseOffset(text, withColon);
    if (!offset) return std::nullopt;
    return TimeZone(*offset);
  }
  return parseHours(text);
}

TimeZone TimeZone::fromSystem(std::int64_t count) {
  platform::refreshLocalZone();
  const std::int64_t unixSeconds = floorDiv(saturatingAdd(count, -kUnixEpochCount), 1000);
  const std::optional<platform::LocalTimeFacts> here = platform::localTimeFacts(unixSeconds);
  if (!here) return TimeZone();
  const TimeZone fixed(here->utcOffsetSeconds * 1000);

  std::int64_t year = 0;
  std::int64_t month = 0;
  std::int64_t day = 0;
  civilFromDayNumber(floorDiv(saturatingAdd(count, fixed.getStandardOffset()), kMsPerDay), year,
                     month, day);
  if (year < kFirstYear || year > 100'000) return fixed;
  // One day of margin on each side catches transitions right at the turn of the year.
  const std::int64_t from = (dayNumber(year, 1, 1) - 1) * kSecondsPerDay - kUnixEpochSeconds;
  const std::int64_t to = (dayNumber(year + 1, 1, 1) + 1) * kSecondsPerDay - kUnixEpochSeconds;
  std::vector<Change> changes;
  if (!probeChanges(from, to, changes) || changes.size() != 2) return fixed;

  const bool firstStarts = changes[0].after.daylightSaving && !changes[0].before.daylightSaving;
  const Change& starting = firstStarts ? changes[0] : changes[1];
  const Change& ending = firstStarts ? changes[1] : changes[0];
  if (!starting.after.daylightSaving || starting.before.daylightSaving ||
      !ending.before.daylightSaving || ending.after.daylightSaving ||
      starting.before.utcOffsetSeconds != ending.after.utcOffsetSeconds ||
      starting.after.utcOffsetSeconds != ending.before.utcOffsetSeconds) {
    return fixed;
  }
  const std::int64_t standard = starting.before.utcOffsetSeconds;
  const std::int64_t daylight = starting.after.utcOffsetSeconds;
  if (daylight == standard) return fixed;
  return TimeZone(standard * 1000, (daylight - standard) * 1000, ruleAt(starting.at, standard),
                  ruleAt(ending.at, daylight));
}

TimeZone TimeZone::local() {
  // The one process-wide cache of the time classes: deriving the system zone probes a whole
  // year, too slow to repeat for every log line.
  struct Cache {
    std::mutex mutex;
    bool valid = false;
    std::optional<std::string> setting;
    std::int64_t derivedAt = 0;
    TimeZone zone;
  };
  static Cache cache;

  const std::optional<std::string> setting = platform::getEnvironment("ZELCOR_TZ");
  const std::int64_t now = platform::currentUnixMilliseconds();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (cache.valid && cache.setting == setting && now >= cache.derivedAt &&
      now - cache.derivedAt < kCacheLifetime) {
    return cache.zone;
  }
  std::optional<TimeZone> zone;
  if (setting && !setting->empty()) zone = fromText(*setting);
  // An unreadable ZELCOR_TZ falls back to the system's zone rather than to UTC.
  if (!zone) zone = fromSystem(saturatingAdd(now, kUnixEpochCount));
  cache.valid = true;
  cache.setting = setting;
  cache.derivedAt = now;
  cache.zone = *zone;
  return *zone;
}

}  // namespace ZelcorCorelib
