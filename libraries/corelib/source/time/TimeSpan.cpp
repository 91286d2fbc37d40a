#include "time/TimeSpan.h"

#include <limits>

#include "base/StringUtils.h"
#include "time/DateTimeDetails.h"

namespace ZelcorCorelib {

namespace {

using namespace calendar;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The leading decimal fraction of the number text ("-6.5", "1.25"), as whole milliseconds
// (further digits cut), saturating. Exact: no floating point, so 1.001 stays 1001.
std::int64_t secondsAsMilliseconds(const std::string& number) {
  std::size_t pos = 0;
  const bool negative = !number.empty() && number[0] == '-';
  if (negative) ++pos;
  std::int64_t whole = 0;
  bool saturated = false;
  for (; pos < number.size() && isDigit(number[pos]); ++pos) {
    if (!saturated &&
        (!checkedMul(whole, 10, whole) || !checkedAdd(whole, number[pos] - '0', whole))) {
      saturated = true;
    }
  }
  std::int64_t fraction = 0;
  if (pos < number.size() && number[pos] == '.') {
    std::int64_t scale = 100;
    for (++pos; pos < number.size() && isDigit(number[pos]); ++pos) {
      fraction += (number[pos] - '0') * scale;
      scale /= 10;
    }
  }
  std::int64_t ms = 0;
  if (saturated || !checkedMul(whole, 1000, ms) || !checkedAdd(ms, fraction, ms)) {
    ms = std::numeric_limits<std::int64_t>::max();
  }
  return negative ? -ms : ms;
}

void appendNumber(std::string& text, bool negative, std::uint64_t value, char designator) {
  if (negative) text.push_back('-');
  text += std::to_string(value);
  text.push_back(designator);
}

}  // namespace

std::optional<std::int64_t> TimeSpan::parseMilliseconds(const std::string& text) {
  constexpr std::int64_t kUnit[] = {86'400'000, 3'600'000, 60'000, 1'000};  // d h m s
  const auto unitOf = [](char c) -> int {
    switch (c) {
      case 'd':
      case 'D':
        return 0;
      case 'h':
      case 'H':
        return 1;
      case 'm':
      case 'M':
        return 2;
      case 's':
      case 'S':
        return 3;
      default:
        return -1;
    }
  };
  std::size_t at = 0;
  const bool iso = !text.empty() && (text[0] == 'P' || text[0] == 'p');
  if (iso) ++at;
  bool inTime = !iso;  // the short form has no date part to leave
  int next = 0;        // the first unit still allowed
  int components = 0;
  std::int64_t total = 0;
  while (at < text.size()) {
    if (iso && !inTime && (text[at] == 'T' || text[at] == 't')) {
      inTime = true;
      next = 1;
      if (++at == text.size()) return std::nullopt;  // "T" with nothing after it
      continue;
    }
    const std::size_t digits = at;
    while (at < text.size() && isDigit(text[at])) ++at;
    const std::size_t count = at - digits;
    if (count == 0 || count > 9) return std::nullopt;
    std::int64_t value = std::stoll(text.substr(digits, count));
    std::int64_t fraction = 0;
    bool hasFraction = false;
    if (at < text.size() && text[at] == '.') {
      hasFraction = true;
      std::int64_t scale = 100;
      const std::size_t first = ++at;
      while (at < text.size() && isDigit(text[at]) && at - first < 3) {
        fraction += (text[at] - '0') * scale;
        scale /= 10;
        ++at;
      }
      if (at == first) return std::nullopt;
    }
    if (at == text.size()) return std::nullopt;  // a number without its unit
    const int unit = unitOf(text[at++]);
    // In the ISO form a day is the date part's only unit and the rest need the "T".
    if (unit < next || (iso && (unit == 0) == inTime)) return std::nullopt;
    if (hasFraction && unit != 3) return std::nullopt;
    total += value * kUnit[unit] + fraction;
    next = unit + 1;
    ++components;
  }
  if (components == 0) return std::nullopt;
  return total;
}

TimeSpan TimeSpan::fromText(const std::string& text) {
  TimeSpan span;
  const std::size_t p = text.find('P');
  if (p == std::string::npos) return span;
  bool timePart = false;
  std::string number;
  for (std::size_t i = p + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (isDigit(c) || c == '-' || c == '.') {
      number.push_back(c);
      continue;
    }
    // Read only by a designator: unknown characters keep the number, and re-reading a long
    // one at each of them would be quadratic.
    const auto whole = [&number] { return static_cast<std::int64_t>(textToInt(number)); };
    bool consumed = true;
    switch (c) {
      case 'Y':
      case 'y':
        if (timePart) {
          consumed = false;
        } else {
          span.years = whole();
        }
        break;
      case 'M':
      case 'm':
        if (timePart) {
          span.milliseconds = saturatingAdd(span.milliseconds, whole() * kMsPerMinute);
        } else {
          span.months = whole();
        }
        break;
      case 'D':
      case 'd':
        if (!timePart) span.milliseconds = saturatingAdd(span.milliseconds, whole() * kMsPerDay);
        break;
      case 'H':
      case 'h':
        if (timePart) span.milliseconds = saturatingAdd(span.milliseconds, whole() * kMsPerHour);
        break;
      case 'S':
      case 's':
        if (timePart) {
          span.milliseconds = saturatingAdd(span.milliseconds, secondsAsMilliseconds(number));
        }
        break;
      case 'T':
        // A number left before "T" had no designator of its own; it is dropped.
        timePart = true;
        break;
      default:
        consumed = false;
        break;
    }
    if (consumed) number.clear();
  }
  return span;
}

std::string TimeSpan::toText() const {
  std::string text = "P";
  if (years != 0) text += std::to_string(years) + "Y";
  if (months != 0) text += std::to_string(months) + "M";
  const bool negative = milliseconds < 0;
  std::uint64_t rest = static_cast<std::uint64_t>(milliseconds);
  if (negative) rest = 0 - rest;
  const std::uint64_t days = rest / kMsPerDay;
  rest %= kMsPerDay;
  if (days != 0) appendNumber(text, negative, days, 'D');
  if (rest != 0) {
    text.push_back('T');
    const std::uint64_t hours = rest / kMsPerHour;
    const std::uint64_t minutes = rest / kMsPerMinute % 60;
    const std::uint64_t seconds = rest / kMsPerSecond % 60;
    const std::uint64_t ms = rest % kMsPerSecond;
    if (hours != 0) appendNumber(text, negative, hours, 'H');
    if (minutes != 0) appendNumber(text, negative, minutes, 'M');
    if (seconds != 0 || ms != 0) {
      if (negative) text.push_back('-');
      text += std::to_string(seconds);
      if (ms != 0) {
        std::string fraction = std::to_string(ms + 1000).substr(1);
        while (fraction.back() == '0') fraction.pop_back();
        text += "." + fraction;
      }
      text.push_back('S');
    }
  }
  if (text == "P") text = "PT0S";
  return text;
}

}  // namespace ZelcorCorelib
