#include "values/StringStream.h"

namespace ZelcorCorelib {

namespace {

constexpr char kSeparator = 0x1E;
constexpr char kFlag = 0x1F;  // escaped separator: backslash + (separator + 1)

}  // namespace

// Every text is escaped, not only strings: a char primitive may itself be 0x1E or a backslash,
// and numeric texts hold neither, so this reads back exactly what was written.
bool StringStream::writePrimitive(const Primitive& primitive) {
  if (!isWritable(primitive)) return false;
  bytes += static_cast<char>(primitive.code);
  for (char c : primitive.text) {
    if (c == kSeparator) {
      bytes += '\\';
      bytes += kFlag;
    } else if (c == '\\') {
      bytes += "\\\\";
    } else {
      bytes += c;
    }
  }
  bytes += kSeparator;
  return true;
}

bool StringStream::readPrimitive(Primitive& primitive) {
  if (position >= bytes.size()) return false;
  signed char code = static_cast<signed char>(bytes[position]);
  if (code < 0 || code >= kPrimNone) return false;
  std::size_t end = bytes.find(kSeparator, position + 1);
  if (end == std::string::npos) return false;  // a record without its separator is not whole
  std::string text;
  for (std::size_t i = position + 1; i < end; ++i) {
    if (bytes[i] == '\\' && i + 1 < end) {
      char next = bytes[++i];
      text += next == kFlag ? kSeparator : next;
    } else {
      text += bytes[i];
    }
  }
  position = end + 1;
  primitive.code = code;
  primitive.text = std::move(text);
  return true;
}

std::size_t StringStream::appendFrom(PrimitiveStream& source) {
  std::size_t count = 0;
  Primitive p;
  while (source.readPrimitive(p)) {
    if (writePrimitive(p)) ++count;
  }
  return count;
}

std::size_t StringStream::extractTo(PrimitiveStream& target) {
  std::size_t count = 0;
  Primitive p;
  while (readPrimitive(p)) {
    if (target.writePrimitive(p)) ++count;
  }
  return count;
}

}  // namespace ZelcorCorelib
