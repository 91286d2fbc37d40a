// One typed value of a parameter stream: a type code and the value as text. The text forms
// (and the escaping of strings) are those the streams write; primitiveToText gives the form
// a reader sees when a "%" placeholder is filled.
#pragma once

#include <string>

namespace ZelcorCorelib {

enum PrimitiveCode : int {
  kPrimBool = 0,
  kPrimByte = 1,
  kPrimFourBytes = 2,
  kPrimInt32 = 3,
  kPrimUInt32 = 4,
  kPrimInt64 = 5,
  kPrimUInt64 = 6,
  kPrimDouble = 7,
  kPrimDateTime = 8,
  kPrimString = 9,
  kPrimWideString = 10,
  kPrimOtherString = 11,
  kPrimChar = 12,
  kPrimWideChar = 13,
  kPrimNone = 14,  // marks the absence of a primitive; never written
};

struct Primitive {
  int code = kPrimNone;
  std::string text;

  bool operator==(const Primitive&) const = default;
};

// Only codes 0..13 may be written, and only strings may have an empty text.
bool isWritable(const Primitive& primitive);

// Stream form of a string: line feed as "\n", backslash doubled.
std::string escapeText(const std::string& text);
std::string unescapeText(const std::string& text);
std::u16string escapeWide(const std::u16string& text);
std::u16string unescapeWide(const std::u16string& text);
// UTF-16 code units as little-endian byte pairs, and back (an odd last byte is dropped).
std::string wideToBytes(const std::u16string& text);
std::u16string bytesToWide(const std::string& bytes);

// Display form used to fill placeholders: bools as true/false, points in time in the text
// form with milliseconds, strings unescaped, wide strings as UTF-8.
std::string primitiveToText(const Primitive& primitive);

}  // namespace ZelcorCorelib
