#include "net/Ipc.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>

#include "base/StringUtils.h"

namespace ZelcorCorelib {

namespace {

constexpr const char* kCommandPrefix = "CMD:";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// strtoul over a 32-bit unsigned long, as the wire's other end has it: white space, a sign,
// digits; an overflow gives the largest value, and a '-' negates modulo 2^32.
std::uint32_t textToUnsigned(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && isSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  std::uint64_t value = 0;
  bool overflow = false;
  for (; at < text.size() && isDigit(text[at]); ++at) {
    value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) {
      overflow = true;
      value = std::numeric_limits<std::uint32_t>::max();
    }
  }
  if (overflow) return std::numeric_limits<std::uint32_t>::max();
  std::uint32_t result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

std::int64_t leadingInt64(const std::string& text) {
  bool negative = !text.empty() && text[0] == '-';
  std::uint64_t magnitude = 0;
  const std::uint64_t limit =
      negative ? std::uint64_t{1} << 63
               : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  for (std::size_t at = negative ? 1 : 0; at < text.size() && isDigit(text[at]); ++at) {
    std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  if (!negative) return static_cast<std::int64_t>(magnitude);
  return magnitude == limit ? std::numeric_limits<std::int64_t>::min()
                            : -static_cast<std::int64_t>(magnitude);
}

}  // namespace

// Marks the framed receives: the bytes of one unit share one clock, started by its first byte.
class Ipc::UnitScope {
 public:
  explicit UnitScope(Ipc& owner) : owner(owner), outermost(!owner.inUnit) {
    if (outermost) {
      owner.inUnit = true;
      owner.unitStart.reset();
    }
  }
  ~UnitScope() {
    if (outermost) {
      owner.inUnit = false;
      owner.unitStart.reset();
    }
  }
  UnitScope(const UnitScope&) = delete;
  UnitScope& operator=(const UnitScope&) = delete;

 private:
  Ipc& owner;
  bool outermost;
};

std::string Ipc::integerField(std::int64_t value) {
  std::string text = int64ToText(value);
  if (text.size() < kFieldWidth) text.insert(0, kFieldWidth - text.size(), '0');
  return text;
}

std::optional<Ipc::UnitClock::time_point> Ipc::unitMustEndBy() const {
  if (!unitStart) return std::nullopt;
  return *unitStart + unitTimeout;
}

Ipc::UnitClock::time_point Ipc::unitBytesArrived() {
  if (!inUnit) return UnitClock::now() + unitTimeout;
  if (!unitStart) unitStart = UnitClock::now();
  return *unitStart + unitTimeout;
}

bool Ipc::sendString(const std::string& text) {
  if (!sendUnsigned(static_cast<std::uint32_t>(text.size()))) return false;
  return sendRaw(text.data(), text.size());
}

bool Ipc::sendDouble(double value) { return sendString(doubleToText(value)); }

bool Ipc::sendUnsigned64(std::uint64_t value) { return sendString(uint64ToText(value)); }

bool Ipc::sendInt64(std::int64_t value) { return sendString(int64ToText(value)); }

bool Ipc::sendUnsigned(std::uint32_t value) {
  std::string field = integerField(value);
  return sendRaw(field.data(), field.size());
}

bool Ipc::sendInt(std::int32_t value) {
  std::string field = integerField(value);
  return sendRaw(field.data(), field.size());
}

bool Ipc::sendCommand(std::int32_t value) { return sendString(kCommandPrefix + intToText(value)); }

bool Ipc::receiveField(std::string& text) {
  UnitScope unit(*this);
  char field[kFieldWidth];
  if (!recvRaw(field, kFieldWidth)) return false;
  text.assign(field, kFieldWidth);
  return true;
}

bool Ipc::receiveString(std::string& text) {
  UnitScope unit(*this);
  std::uint32_t length = 0;
  if (!receiveUnsigned(length)) return false;
  // The length comes from the peer: refuse it before allocating, not after.
  if (length > std::min(maxStringLength, kMaxStringLength)) {
    ZELCOR_THROW(Recv_OutOfMemory, "@out-of-memory{Out of memory};");
  }
  std::string buffer;
  try {
    buffer.resize(length);
  } catch (const std::bad_alloc&) {
    ZELCOR_THROW(Recv_OutOfMemory, "@out-of-memory{Out of memory};");
  }
  if (!recvRaw(buffer.data(), buffer.size())) return false;
  text = std::move(buffer);
  return true;
}

bool Ipc::receiveDouble(double& value) {
  std::string text;
  if (!receiveString(text)) return false;
  value = std::strtod(text.c_str(), nullptr);
  return true;
}

bool Ipc::receiveInt64(std::int64_t& value) {
  std::string text;
  if (!receiveString(text)) return false;
  value = leadingInt64(text);
  return true;
}

bool Ipc::receiveUnsigned64(std::uint64_t& value) {
  std::string text;
  if (!receiveString(text)) return false;
  value = textToUInt64(text);
  return true;
}

bool Ipc::receiveUnsigned(std::uint32_t& value) {
  std::string field;
  if (!receiveField(field)) return false;
  value = textToUnsigned(field);
  return true;
}

bool Ipc::receiveInt(std::int32_t& value) {
  std::string field;
  if (!receiveField(field)) return false;
  value = textToInt(field);
  return true;
}

std::int32_t Ipc::receiveCommand() {
  std::string text;
  if (!receiveString(text)) return 0;
  if (text.size() < 5 || text.compare(0, 4, kCommandPrefix) != 0) return 0;
  return textToInt(text.substr(4));
}

bool Ipc::expectCommand(std::int32_t value) { return receiveCommand() == value; }

}  // namespace ZelcorCorelib
