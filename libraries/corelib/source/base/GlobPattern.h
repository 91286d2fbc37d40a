// The wildcard matching engine: "*" matches any run of bytes (also none), "?" exactly one
// byte, every other byte itself (case-sensitive, no escapes, no classes). It sits below the
// exceptions so that time zones and file listings can match without them; GlobMatcher gives
// callers the same engine with keyed exceptions.
// Stateless; safe from any thread. Each attempt keeps a single backtrack point, so it stays
// linear in the text length per star; findGlob repeats the attempt at each start position.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace ZelcorCorelib {

// True when the pattern matches the window [start, start + length) of the text as a whole
// (the window is cut at the end of the text). A start at or past the end matches only the
// empty pattern and "*"; a zero length never matches.
bool matchGlob(const std::string& text, const std::string& pattern, std::size_t start = 0,
               std::size_t length = std::string::npos);

// The first position in the window at which a prefix of the rest of the window matches, and
// the length of that match: the shortest one when the pattern ends in a literal, up to the
// window's end when it ends in "*". Empty when the window is empty (start at or past the end,
// or a zero length) or nothing matches.
std::optional<std::pair<std::size_t, std::size_t>> findGlob(const std::string& text,
                                                            const std::string& pattern,
                                                            std::size_t start = 0,
                                                            std::size_t length = std::string::npos);

// The pattern with every run of "*" reduced to one.
std::string normaliseGlob(const std::string& pattern);

}  // namespace ZelcorCorelib
