#include "errors/GlobMatcher.h"

#include <optional>

#include "base/GlobPattern.h"

namespace ZelcorCorelib {

std::string GlobMatcher::normalise(const std::string& pattern) { return normaliseGlob(pattern); }

bool GlobMatcher::match(const std::string& text, const std::string& pattern, std::size_t start,
                        std::size_t length) {
  return matchGlob(text, pattern, start, length);
}

std::pair<std::size_t, std::size_t> GlobMatcher::find(const std::string& text,
                                                      const std::string& pattern, std::size_t start,
                                                      std::size_t length) {
  if (start >= text.size() || length == 0) {
    throw Find_OutOfBounds(std::string(), ZELCOR_HERE);
  }
  std::optional<std::pair<std::size_t, std::size_t>> found = findGlob(text, pattern, start, length);
  if (!found) throw Find_NotFound(std::string(), ZELCOR_HERE);
  return *found;
}

}  // namespace ZelcorCorelib
