#include "time/DateTimeDetails.h"

#include <limits>

namespace ZelcorCorelib {

namespace calendar {

// Days between 1970-01-01 and 1899-12-31, the epochs of the two day counts used below.
constexpr std::int64_t kUnixEpochDay = 25'568;

bool isLeapYear(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::int64_t daysInMonth(std::int64_t year, std::int64_t month) {
  switch (month) {
    case 2:
      return isLeapYear(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    case 1:
    case 3:
    case 5:
    case 7:
    case 8:
    case 10:
    case 12:
      return 31;
    default:
      return 0;
  }
}

// The era-based conversions (400-year cycles of 146,097 days) stay exact for every year
// without looping over years.
std::int64_t dayNumber(std::int64_t year, std::int64_t month, std::int64_t day) {
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = floorDiv(y, 400);
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146'097 + dayOfEra - 719'468 + kUnixEpochDay;
}

void civilFromDayNumber(std::int64_t dayNumber, std::int64_t& year, std::int64_t& month,
                        std::int64_t& day) {
  const std::int64_t z = dayNumber - kUnixEpochDay + 719'468;
  const std::int64_t era = floorDiv(z, 146'097);
  const std::int64_t dayOfEra = z - era * 146'097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

std::int64_t weekday(std::int64_t dayNumber) { return floorMod(dayNumber + 6, 7); }

std::int64_t floorDiv(std::int64_t value, std::int64_t divisor) {
  const std::int64_t quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

std::int64_t floorMod(std::int64_t value, std::int64_t divisor) {
  const std::int64_t rest = value % divisor;
  return rest < 0 ? rest + divisor : rest;
}

bool checkedAdd(std::int64_t a, std::int64_t b, std::int64_t& out) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if ((b > 0 && a > kMax - b) || (b < 0 && a < kMin - b)) return false;
  out = a + b;
  return true;
}

bool checkedMul(std::int64_t a, std::int64_t b, std::int64_t& out) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (a != 0 && b != 0) {
    if ((a == -1 && b == kMin) || (b == -1 && a == kMin)) return false;
    if (a > 0 ? (b > 0 ? a > kMax / b : b < kMin / a) : (b > 0 ? a < kMin / b : b < kMax / a)) {
      return false;
    }
  }
  out = a * b;
  return true;
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (checkedAdd(a, b, sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

}  // namespace calendar

namespace {

using namespace calendar;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Between minDigits and maxDigits digits at pos; false (pos kept) when there are fewer.
bool readNumber(const std::string& s, std::size_t& pos, std::size_t minDigits,
                std::size_t maxDigits, std::int64_t& value) {
  std::size_t count = 0;
  std::int64_t result = 0;
  while (pos + count < s.size() && count < maxDigits && isDigit(s[pos + count])) {
    result = result * 10 + (s[pos + count] - '0');
    ++count;
  }
  if (count < minDigits) return false;
  pos += count;
  value = result;
  return true;
}

// A field after the first one of its token: after the separator with one or two digits, or
// in the compact form with exactly two. Absent when neither follows.
bool readNextField(const std::string& s, std::size_t& pos, char separator, std::int64_t& value) {
  if (pos + 1 < s.size() && s[pos] == separator && isDigit(s[pos + 1])) {
    ++pos;
    return readNumber(s, pos, 1, 2, value);
  }
  if (pos < s.size() && isDigit(s[pos])) return readNumber(s, pos, 2, 2, value);
  return true;
}

void skipBlanks(const std::string& s, std::size_t& pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

std::string trimmed(const std::string& s) {
  const char* blanks = " \t\r\n\v\f";
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

void appendPadded(std::string& out, std::int64_t value, std::size_t width) {
  std::uint64_t magnitude = static_cast<std::uint64_t>(value);
  if (value < 0) {
    out.push_back('-');
    magnitude = 0 - magnitude;
  }
  const std::string digits = std::to_string(magnitude);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

}  // namespace

DateTimeDetails::DateTimeDetails() = default;

DateTimeDetails DateTimeDetails::fromCount(std::int64_t count, const TimeZone& zone) {
  DateTimeDetails details;
  details.zone = zone;
  details.zoneSet = true;
  details.zoned = !zone.isUtc();
  details.daylightSaving = zone.isDaylightSavingAt(count);
  const std::int64_t local = saturatingAdd(count, zone.offsetAt(count));
  details.dayNumber = floorDiv(local, kMsPerDay);
  civilFromDayNumber(details.dayNumber, details.year, details.month, details.day);
  const std::int64_t msOfDay = floorMod(local, kMsPerDay);
  details.hour = msOfDay / kMsPerHour;
  details.minute = msOfDay / kMsPerMinute % 60;
  details.second = msOfDay / kMsPerSecond % 60;
  details.millisecond = msOfDay % kMsPerSecond;
  details.weekday = calendar::weekday(details.dayNumber);
  details.normalised = true;
  return details;
}

std::optional<std::int64_t> DateTimeDetails::localCount() const {
  std::int64_t monthIndex = 0;
  std::int64_t fullYear = 0;
  if (!checkedAdd(month, -1, monthIndex) || !checkedAdd(year, floorDiv(monthIndex, 12), fullYear) ||
      fullYear > kMaxYear || fullYear < -kMaxYear) {
    return std::nullopt;
  }
  std::int64_t days = 0;
  std::int64_t dayOffset = 0;
  if (!checkedAdd(day, -1, dayOffset) ||
      !checkedAdd(calendar::dayNumber(fullYear, floorMod(monthIndex, 12) + 1, 1), dayOffset,
                  days)) {
    return std::nullopt;
  }
  std::int64_t total = 0;
  const std::int64_t parts[][2] = {
      {hour, kMsPerHour}, {minute, kMsPerMinute}, {second, kMsPerSecond}, {millisecond, 1}};
  if (!checkedMul(days, kMsPerDay, total)) return std::nullopt;
  for (const auto& part : parts) {
    std::int64_t ms = 0;
    if (!checkedMul(part[0], part[1], ms) || !checkedAdd(total, ms, total)) return std::nullopt;
  }
  return total;
}

bool DateTimeDetails::normalise() {
  const std::optional<std::int64_t> local = localCount();
  if (!local) return false;
  const bool hadZone = zoneSet;
  *this = fromCount(zone.toUtc(*local), zone);
  zoneSet = hadZone;
  return true;
}

std::optional<std::int64_t> DateTimeDetails::toCount() const {
  DateTimeDetails copy = *this;
  if (!copy.normalised && !copy.normalise()) return std::nullopt;
  if (copy.year < kFirstYear) return std::nullopt;
  const std::optional<std::int64_t> local = copy.localCount();
  std::int64_t count = 0;
  const std::int64_t offset =
      copy.zone.getStandardOffset() + (copy.daylightSaving ? copy.zone.getDaylightOffset() : 0);
  if (!local || !checkedAdd(*local, -offset, count)) return std::nullopt;
  return count;
}

bool DateTimeDetails::isValid() const {
  return year >= kFirstYear && year <= kMaxYear && month >= 1 && month <= 12 && day >= 1 &&
         day <= daysInMonth(year, month) && hour >= 0 && hour < 24 && minute >= 0 && minute < 60 &&
         second >= 0 && second < 60 && millisecond >= 0 && millisecond < 1000;
}

std::int64_t DateTimeDetails::getDayNumber() const {
  if (normalised) return dayNumber;
  DateTimeDetails copy = *this;
  return copy.normalise() ? copy.dayNumber : 0;
}

std::int64_t DateTimeDetails::getWeekday() const {
  if (normalised) return weekday;
  DateTimeDetails copy = *this;
  return copy.normalise() ? copy.weekday : 0;
}

void DateTimeDetails::setYear(std::int64_t value) {
  year = value;
  normalised = false;
}
void DateTimeDetails::setMonth(std::int64_t value) {
  month = value;
  normalised = false;
}
void DateTimeDetails::setDay(std::int64_t value) {
  day = value;
  normalised = false;
}
void DateTimeDetails::setHour(std::int64_t value) {
  hour = value;
  normalised = false;
}
void DateTimeDetails::setMinute(std::int64_t value) {
  minute = value;
  normalised = false;
}
void DateTimeDetails::setSecond(std::int64_t value) {
  second = value;
  normalised = false;
}
void DateTimeDetails::setMillisecond(std::int64_t value) {
  millisecond = value;
  normalised = false;
}
void DateTimeDetails::setZone(const TimeZone& value) {
  zone = value;
  zoneSet = true;
  zoned = !value.isUtc();
  normalised = false;
}

std::string DateTimeDetails::toText(bool withMilliseconds, bool compact, bool withZone) const {
  DateTimeDetails copy = *this;
  if (!copy.normalised) copy.normalise();
  std::string text;
  appendPadded(text, copy.year, 4);
  if (!compact) text.push_back('-');
  appendPadded(text, copy.month, 2);
  if (!compact) text.push_back('-');
  appendPadded(text, copy.day, 2);
  text.push_back('T');
  appendPadded(text, copy.hour, 2);
  if (!compact) text.push_back(':');
  appendPadded(text, copy.minute, 2);
  if (!compact) text.push_back(':');
  appendPadded(text, copy.second, 2);
  if (withMilliseconds) {
    text.push_back('.');
    appendPadded(text, copy.millisecond, 3);
  }
  if (!copy.zoned) {
    text.push_back('Z');
  } else if (withZone) {
    const std::int64_t offset =
        copy.zone.getStandardOffset() + (copy.daylightSaving ? copy.zone.getDaylightOffset() : 0);
    text += TimeZone::offsetText(offset, compact);
  }
  return text;
}

bool DateTimeDetails::parse(const std::string& input) {
  const std::string text = trimmed(input);
  if (text.empty()) return false;
  std::int64_t fields[7] = {kFirstYear, 1, 1, 0, 0, 0, 0};
  std::size_t pos = 0;

  std::size_t leadingDigits = 0;
  while (leadingDigits < text.size() && isDigit(text[leadingDigits])) ++leadingDigits;
  const bool timeOnly =
      (leadingDigits < text.size() && text[leadingDigits] == ':') || text[0] == 'T';
  bool readTime = timeOnly;
  if (text[0] == 'T') ++pos;
  if (!timeOnly) {
    if (!readNumber(text, pos, 4, 4, fields[0]) || !readNextField(text, pos, '-', fields[1]) ||
        !readNextField(text, pos, '-', fields[2])) {
      return false;
    }
    if (pos < text.size() && (text[pos] == 'T' || text[pos] == 't' || text[pos] == ' ')) {
      ++pos;
      skipBlanks(text, pos);
      readTime = pos < text.size() && isDigit(text[pos]);
    }
  }
  if (readTime) {
    if (!readNumber(text, pos, 1, 2, fields[3])) return false;
    const std::size_t beforeMinute = pos;
    if (!readNextField(text, pos, ':', fields[4])) return false;
    const std::size_t beforeSecond = pos;
    if (pos != beforeMinute && !readNextField(text, pos, ':', fields[5])) return false;
    const bool hasSecond = pos != beforeSecond;
    if (hasSecond && pos + 1 < text.size() &&
        (text[pos] == '.' || text[pos] == ',' || text[pos] == ':') && isDigit(text[pos + 1])) {
      ++pos;
      std::int64_t scale = 100;
      for (; pos < text.size() && isDigit(text[pos]); ++pos) {
        fields[6] += (text[pos] - '0') * scale;
        scale /= 10;
      }
    }
  }
  const std::size_t zoneAt = pos;
  skipBlanks(text, pos);
  // A bare-number zone glued to the time would swallow a mistyped digit ("034628" + "9").
  if (pos == zoneAt && pos < text.size() && isDigit(text[pos])) return false;

  TimeZone parsedZone;
  const std::string zoneText = text.substr(pos);
  if (zoneText.empty()) {
    parsedZone = zoneSet ? zone : TimeZone::local();
  } else if (zoneText != "Z" && zoneText != "z") {
    const std::optional<TimeZone> explicitZone = TimeZone::fromText(zoneText);
    if (!explicitZone) return false;
    parsedZone = *explicitZone;
  }

  DateTimeDetails candidate;
  candidate.year = fields[0];
  candidate.month = fields[1];
  candidate.day = fields[2];
  candidate.hour = fields[3];
  candidate.minute = fields[4];
  candidate.second = fields[5];
  candidate.millisecond = fields[6];
  if (!candidate.isValid()) return false;
  candidate.setZone(parsedZone);
  if (!candidate.normalise()) return false;
  *this = candidate;
  return true;
}

std::optional<DateTimeDetails> DateTimeDetails::fromText(const std::string& text) {
  DateTimeDetails details;
  if (!details.parse(text)) return std::nullopt;
  return details;
}

}  // namespace ZelcorCorelib
