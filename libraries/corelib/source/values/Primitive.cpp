#include "values/Primitive.h"

#include <charconv>

#include "base/StringUtils.h"
#include "base/Utf16.h"
#include "time/DateTime.h"

namespace ZelcorCorelib {

bool isWritable(const Primitive& primitive) {
  if (primitive.code < kPrimBool || primitive.code >= kPrimNone) return false;
  return !primitive.text.empty() || primitive.code == kPrimString ||
         primitive.code == kPrimWideString;
}

namespace {

template <typename Text>
Text escapeAny(const Text& text) {
  Text result;
  result.reserve(text.size());
  for (auto c : text) {
    if (c == '\n') {
      result += '\\';
      result += 'n';
    } else if (c == '\\') {
      result += '\\';
      result += '\\';
    } else {
      result += c;
    }
  }
  return result;
}

// A backslash before anything but "n" or a backslash is kept as it stands.
template <typename Text>
Text unescapeAny(const Text& text) {
  Text result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == '\\')) {
      result += text[i + 1] == 'n' ? '\n' : '\\';
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

}  // namespace

std::string escapeText(const std::string& text) { return escapeAny(text); }
std::string unescapeText(const std::string& text) { return unescapeAny(text); }
std::u16string escapeWide(const std::u16string& text) { return escapeAny(text); }
std::u16string unescapeWide(const std::u16string& text) { return unescapeAny(text); }

std::string wideToBytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

std::u16string bytesToWide(const std::string& bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return text;
}

std::string primitiveToText(const Primitive& primitive) {
  switch (primitive.code) {
    case kPrimBool:
      return primitive.text.empty() || primitive.text == "0" ? "false" : "true";
    case kPrimDateTime: {
      std::int64_t count = 0;
      const char* first = primitive.text.data();
      const char* last = first + primitive.text.size();
      auto [end, error] = std::from_chars(first, last, count);
      if (error != std::errc() || end != last) return primitive.text;
      return DateTime(count).toText(true, false, false);
    }
    case kPrimString:
    case kPrimOtherString:
      return unescapeText(primitive.text);
    case kPrimWideString:
      return toNarrow(unescapeWide(bytesToWide(primitive.text)));
    case kPrimWideChar: {
      std::uint64_t code = textToUInt64(primitive.text);
      return code <= 0xFFFF ? toNarrow(std::u16string(1, static_cast<char16_t>(code)))
                            : std::string();
    }
    default:
      return primitive.text;
  }
}

}  // namespace ZelcorCorelib
