// Wildcard matching of names against patterns, as the framework's callers use it: hook
// patterns, file-name patterns, zone texts and job arguments. The matching itself is the
// engine of base/GlobPattern.h; this class adds the keyed exceptions of find.
// Stateless; safe from any thread. Costs as the engine's: linear in the text length per star
// for match, and that again per start position for find.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "errors/Exception.h"

namespace ZelcorCorelib {

class GlobMatcher : public Throws {
 public:
  ZELCOR_EXCEPTION(Find_OutOfBounds);
  ZELCOR_EXCEPTION(Find_NotFound);

  // True when the pattern matches the window [start, start + length) of the text as a whole
  // (the window is cut at the end of the text). A start at or past the end matches only the
  // empty pattern and "*"; a zero length never matches. Never throws.
  static bool match(const std::string& text, const std::string& pattern, std::size_t start = 0,
                    std::size_t length = std::string::npos);

  // The first position in the window [start, start + length) at which a prefix of the rest of
  // the window matches, and the length of that match: the shortest one when the pattern ends in
  // a literal, up to the window's end when it ends in "*".
  // Throws Find_OutOfBounds (start at or past the end, or an empty window), Find_NotFound.
  static std::pair<std::size_t, std::size_t> find(const std::string& text,
                                                  const std::string& pattern, std::size_t start = 0,
                                                  std::size_t length = std::string::npos);

  // The pattern with every run of "*" reduced to one.
  static std::string normalise(const std::string& pattern);
};

}  // namespace ZelcorCorelib
