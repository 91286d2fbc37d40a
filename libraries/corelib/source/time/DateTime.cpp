#include "time/DateTime.h"

#include <algorithm>
#include <limits>

#include "platform/Clock.h"

namespace ZelcorCorelib {

using namespace calendar;

DateTime::DateTime() = default;

DateTime::DateTime(std::int64_t count, TimeZone zone) : count(count), zone(std::move(zone)) {}

DateTime DateTime::now() {
  return DateTime(saturatingAdd(platform::currentUnixMilliseconds(), kUnixEpochCount));
}

DateTime DateTime::fromUnixSeconds(std::int64_t seconds) {
  std::int64_t ms = 0;
  if (!checkedMul(seconds, 1000, ms)) {
    return DateTime(seconds < 0 ? std::numeric_limits<std::int64_t>::min()
                                : std::numeric_limits<std::int64_t>::max());
  }
  return DateTime(saturatingAdd(ms, kUnixEpochCount));
}

std::optional<DateTime> DateTime::fromDetails(const DateTimeDetails& details) {
  const std::optional<std::int64_t> count = details.toCount();
  if (!count) return std::nullopt;
  return DateTime(*count, details.getZone());
}

std::optional<DateTime> DateTime::fromText(const std::string& text) {
  const std::optional<DateTimeDetails> details = DateTimeDetails::fromText(text);
  if (!details) return std::nullopt;
  return fromDetails(*details);
}

std::optional<DateTime> DateTime::fromText(const std::string& text, const TimeZone& defaultZone) {
  DateTimeDetails details;
  details.setZone(defaultZone);
  if (!details.parse(text)) return std::nullopt;
  return fromDetails(details);
}

std::int64_t DateTime::toUnixSeconds() const {
  // Split before subtracting the epoch so that no count can overflow.
  std::int64_t seconds = count / 1000 - kUnixEpochCount / 1000;
  if (seconds < 0 && count % 1000 > 0) ++seconds;
  return seconds;
}

DateTimeDetails DateTime::details() const { return DateTimeDetails::fromCount(count, zone); }

std::string DateTime::toText(bool withMilliseconds, bool compact, bool withZone) const {
  return details().toText(withMilliseconds, compact, withZone);
}

std::optional<DateTime> DateTime::plus(const TimeSpan& span) const {
  DateTimeDetails moved = details();
  std::int64_t monthIndex = 0;
  std::int64_t year = 0;
  if (!checkedAdd(moved.getMonth() - 1, span.getMonths(), monthIndex) ||
      !checkedAdd(moved.getYear(), span.getYears(), year) ||
      !checkedAdd(year, floorDiv(monthIndex, 12), year) || year > kMaxYear || year < kFirstYear) {
    return std::nullopt;
  }
  const std::int64_t month = floorMod(monthIndex, 12) + 1;
  moved.setYear(year);
  moved.setMonth(month);
  moved.setDay(std::min(moved.getDay(), daysInMonth(year, month)));
  const std::optional<std::int64_t> base = moved.toCount();
  std::int64_t result = 0;
  if (!base || !checkedAdd(*base, span.getMilliseconds(), result) || result < kMsPerDay) {
    return std::nullopt;
  }
  return DateTime(result, zone);
}

}  // namespace ZelcorCorelib
