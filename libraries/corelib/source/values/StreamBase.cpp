#include "values/StreamBase.h"

#include <cerrno>
#include <cstdlib>

#include "base/StringUtils.h"

namespace ZelcorCorelib {

namespace {

bool parseSigned(const std::string& text, std::int64_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool parseUnsigned(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

}  // namespace

bool StreamBase::writeVariantString(const VariantString& value) {
  if (const auto* wide = std::get_if<std::u16string>(&value)) return writeWideString(*wide);
  return writeString(std::get<std::string>(value));
}

bool StreamBase::writeWideString(const std::u16string& value) {
  return writePrimitive({kPrimWideString, wideToBytes(escapeWide(value))});
}

bool StreamBase::writeString(const std::string& value) {
  return writePrimitive({kPrimString, escapeText(value)});
}

bool StreamBase::writeCString(const char* value) {
  return writeString(value == nullptr ? std::string() : std::string(value));
}

bool StreamBase::writeWideCString(const char16_t* value) {
  return writeWideString(value == nullptr ? std::u16string() : std::u16string(value));
}

bool StreamBase::writeDouble(double value) {
  return writePrimitive({kPrimDouble, doubleToText(value)});
}

bool StreamBase::writeInt64(std::int64_t value) {
  return writePrimitive({kPrimInt64, int64ToText(value)});
}

bool StreamBase::writeUInt64(std::uint64_t value) {
  return writePrimitive({kPrimUInt64, uint64ToText(value)});
}

bool StreamBase::writeInt32(std::int32_t value) {
  return writePrimitive({kPrimInt32, intToText(value)});
}

bool StreamBase::writeUInt32(std::uint32_t value) {
  return writePrimitive({kPrimUInt32, std::to_string(value)});
}

bool StreamBase::writeWideChar(char16_t value) {
  return writePrimitive({kPrimWideChar, std::to_string(static_cast<unsigned>(value))});
}

bool StreamBase::writeChar(char value) {
  return writePrimitive({kPrimChar, std::string(1, value)});
}

bool StreamBase::writeBool(bool value) { return writePrimitive({kPrimBool, value ? "1" : "0"}); }

bool StreamBase::writeDateTimeCount(std::int64_t count) {
  return writePrimitive({kPrimDateTime, int64ToText(count)});
}

bool StreamBase::readCode(Primitive& primitive, int code) {
  return readPrimitive(primitive) && primitive.code == code;
}

bool StreamBase::readVariantString(VariantString& value) {
  Primitive p;
  if (!readPrimitive(p)) return false;
  if (p.code == kPrimString) {
    value = unescapeText(p.text);
    return true;
  }
  if (p.code == kPrimWideString) {
    value = unescapeWide(bytesToWide(p.text));
    return true;
  }
  return false;
}

bool StreamBase::readWideString(std::u16string& value) {
  Primitive p;
  if (!readCode(p, kPrimWideString)) return false;
  value = unescapeWide(bytesToWide(p.text));
  return true;
}

bool StreamBase::readString(std::string& value) {
  Primitive p;
  if (!readCode(p, kPrimString)) return false;
  value = unescapeText(p.text);
  return true;
}

bool StreamBase::readDouble(double& value) {
  Primitive p;
  if (!readCode(p, kPrimDouble) || p.text.empty()) return false;
  char* end = nullptr;
  double parsed = std::strtod(p.text.c_str(), &end);
  if (*end != '\0') return false;
  value = parsed;
  return true;
}

bool StreamBase::readInt64(std::int64_t& value) {
  Primitive p;
  return readCode(p, kPrimInt64) && parseSigned(p.text, value);
}

bool StreamBase::readUInt64(std::uint64_t& value) {
  Primitive p;
  return readCode(p, kPrimUInt64) && parseUnsigned(p.text, value);
}

bool StreamBase::readInt32(std::int32_t& value) {
  Primitive p;
  std::int64_t wide = 0;
  if (!readCode(p, kPrimInt32) || !parseSigned(p.text, wide)) return false;
  if (wide < INT32_MIN || wide > INT32_MAX) return false;
  value = static_cast<std::int32_t>(wide);
  return true;
}

bool StreamBase::readUInt32(std::uint32_t& value) {
  Primitive p;
  std::uint64_t wide = 0;
  if (!readCode(p, kPrimUInt32) || !parseUnsigned(p.text, wide) || wide > UINT32_MAX) return false;
  value = static_cast<std::uint32_t>(wide);
  return true;
}

bool StreamBase::readWideChar(char16_t& value) {
  Primitive p;
  std::uint64_t code = 0;
  if (!readCode(p, kPrimWideChar) || !parseUnsigned(p.text, code) || code > 0xFFFF) return false;
  value = static_cast<char16_t>(code);
  return true;
}

bool StreamBase::readChar(char& value) {
  Primitive p;
  if (!readCode(p, kPrimChar) || p.text.size() != 1) return false;
  value = p.text[0];
  return true;
}

bool StreamBase::readBool(bool& value) {
  Primitive p;
  if (!readCode(p, kPrimBool)) return false;
  value = !(p.text.empty() || p.text == "0");
  return true;
}

bool StreamBase::readDateTimeCount(std::int64_t& count) {
  Primitive p;
  return readCode(p, kPrimDateTime) && parseSigned(p.text, count);
}

}  // namespace ZelcorCorelib
