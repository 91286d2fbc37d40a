// String tools shared by the whole framework: trimming, replacing, counting, cutting tokens,
// case, quotes, number conversions and the double-to-text rule.
// Free functions without state; safe from any thread. None throws.
#pragma once

#include <cstdint>
#include <string>

namespace ZelcorCorelib {

// Trimming with the seven-byte white-space set (blank, CR, LF, tab, VT, backspace, form feed),
// or, with useWhiteSpaceSet false, every byte whose signed 8-bit value is 32 or less.
void trimRight(std::string& s, bool useWhiteSpaceSet = true);
void trimLeft(std::string& s, bool useWhiteSpaceSet = true);
std::string trim(const std::string& s);

void toLower(std::string& s);
std::string lowerCopy(const std::string& s);

// Replaces every occurrence; the search goes on after each inserted text, so a replacement
// that contains `from` is not replaced again. An empty `from` changes nothing.
void replaceAll(std::string& s, const std::string& from, const std::string& to);

// Occurrences of c in [start, start + length), the range cut at the end of s.
std::size_t countChar(const std::string& s, char c, std::size_t start = 0,
                      std::size_t length = std::string::npos);

// The text before the first delimiter (or all of s); removes it and the delimiter from s.
std::string cutToken(std::string& s, const std::string& delimiter);

// Removes one pair of equal enclosing double or single quotes.
void unquote(std::string& s);

std::string intToText(std::int32_t value);
std::string int64ToText(std::int64_t value);
std::string uint64ToText(std::uint64_t value);
// strtol semantics: leading white space and a sign allowed, stops at the first non-digit,
// 0 when nothing converts; saturates at the 32-bit limits instead of wrapping.
std::int32_t textToInt(const std::string& text);
// Leading decimal digits only; 0 when the text does not begin with a digit. Saturates.
std::uint64_t textToUInt64(const std::string& text);

// 0 gives "0"; magnitudes in [1e-15, 1e15] print with 14 decimals and lose trailing zeros
// (and a bare point); others print in "%.15e" form.
std::string doubleToText(double value);

}  // namespace ZelcorCorelib
