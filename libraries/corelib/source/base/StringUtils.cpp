#include "base/StringUtils.h"

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

namespace ZelcorCorelib {

namespace {

bool isTrimmed(unsigned char c, bool useWhiteSpaceSet) {
  if (useWhiteSpaceSet) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\v' || c == '\b' || c == '\f';
  }
  return static_cast<signed char>(c) <= 32;
}

}  // namespace

void trimRight(std::string& s, bool useWhiteSpaceSet) {
  std::size_t end = s.size();
  while (end > 0 && isTrimmed(static_cast<unsigned char>(s[end - 1]), useWhiteSpaceSet)) --end;
  s.erase(end);
}

void trimLeft(std::string& s, bool useWhiteSpaceSet) {
  std::size_t begin = 0;
  while (begin < s.size() && isTrimmed(static_cast<unsigned char>(s[begin]), useWhiteSpaceSet)) {
    ++begin;
  }
  s.erase(0, begin);
}

std::string trim(const std::string& s) {
  std::string copy = s;
  trimRight(copy);
  trimLeft(copy);
  return copy;
}

void toLower(std::string& s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string lowerCopy(const std::string& s) {
  std::string copy = s;
  toLower(copy);
  return copy;
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  std::size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::size_t countChar(const std::string& s, char c, std::size_t start, std::size_t length) {
  if (start >= s.size()) return 0;
  std::size_t end = length >= s.size() - start ? s.size() : start + length;
  std::size_t count = 0;
  for (std::size_t i = start; i < end; ++i) {
    if (s[i] == c) ++count;
  }
  return count;
}

std::string cutToken(std::string& s, const std::string& delimiter) {
  std::size_t pos = delimiter.empty() ? std::string::npos : s.find(delimiter);
  std::string token;
  if (pos == std::string::npos) {
    token.swap(s);
  } else {
    token = s.substr(0, pos);
    s.erase(0, pos + delimiter.size());
  }
  return token;
}

void unquote(std::string& s) {
  if (s.size() >= 2 && s.front() == s.back() && (s.front() == '"' || s.front() == '\'')) {
    s = s.substr(1, s.size() - 2);
  }
}

std::string intToText(std::int32_t value) { return std::to_string(value); }

std::string int64ToText(std::int64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
  return buffer;
}

std::string uint64ToText(std::uint64_t value) { return std::to_string(value); }

std::int32_t textToInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate as a negative-capable 64-bit value and stop early once past the 32-bit range.
  std::int64_t value = 0;
  const std::int64_t limit =
      static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (value <= limit) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

std::uint64_t textToUInt64(const std::string& text) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (max - digit) / 10) return max;
    value = value * 10 + digit;
  }
  return value;
}

std::string doubleToText(double value) {
  if (value == 0.0) return "0";
  double magnitude = std::fabs(value);
  char buffer[512];
  if (magnitude >= 1e-15 && magnitude <= 1e15) {
    std::snprintf(buffer, sizeof buffer, "%.14f", value);
    std::string text = buffer;
    std::size_t point = text.find('.');
    if (point != std::string::npos) {
      std::size_t last = text.find_last_not_of('0');
      text.erase(last == point ? point : last + 1);
    }
    return text;
  }
  std::snprintf(buffer, sizeof buffer, "%.15e", value);
  return buffer;
}

}  // namespace ZelcorCorelib
