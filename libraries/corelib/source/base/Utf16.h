// UTF-8 to UTF-16 and back, for the values that travel as wide text (parameter streams,
// registry strings, child command lines). Free functions without state; never throw
// beyond std::bad_alloc.
#pragma once

#include <string>

namespace ZelcorCorelib {

// Invalid input never fails: each malformed UTF-8 sequence (and each unpaired surrogate on
// the way back) becomes U+FFFD.
std::u16string toWide(const std::string& text);
std::string toNarrow(const std::u16string& text);

}  // namespace ZelcorCorelib
