#include "base/GlobPattern.h"

namespace ZelcorCorelib {

namespace {

// The state of one attempt; lives only inside one call.
struct Attempt {
  const std::string& text;
  std::size_t start;
  std::size_t position;
  std::size_t end;
  const std::string& pattern;
  std::size_t patternIndex = 0;
  std::size_t patternLength;
  bool hasBacktrack = false;
  std::size_t backtrackText = 0;
  std::size_t backtrackPattern = 0;
  std::size_t matchLength = 0;
  bool wholeText;

  Attempt(const std::string& t, std::size_t s, std::size_t e, const std::string& p, bool whole)
      : text(t),
        start(s),
        position(s),
        end(e),
        pattern(p),
        patternLength(p.size()),
        wholeText(whole) {}

  bool succeed(std::size_t length) {
    matchLength = length;
    return true;
  }

  bool charMatches() const {
    return pattern[patternIndex] == '?' || pattern[patternIndex] == text[position];
  }

  bool backtrack() {
    if (!hasBacktrack) return false;
    position = backtrackText;
    patternIndex = backtrackPattern;
    ++backtrackText;
    return true;
  }

  bool run() {
    if (start >= end) {
      return (pattern.empty() || pattern == "*") ? succeed(0) : false;
    }
    if (pattern.empty()) return false;
    if (pattern == "*" || pattern == "?*") return succeed(end - start);

    // The literal prefix needs no backtracking: a mismatch before the first star is final.
    while (position < end && patternIndex < patternLength && pattern[patternIndex] != '*') {
      if (!charMatches()) return false;
      ++position;
      ++patternIndex;
    }
    return general();
  }

  bool general() {
    for (;;) {
      while (position < end && patternIndex < patternLength) {
        if (pattern[patternIndex] == '*') {
          ++patternIndex;
          if (patternIndex == patternLength) return succeed(end - start);
          // Only the latest star needs a resume point: earlier stars can never do better.
          hasBacktrack = true;
          backtrackText = position + 1;
          backtrackPattern = patternIndex;
        } else if (charMatches()) {
          ++position;
          ++patternIndex;
        } else if (!backtrack()) {
          return false;
        }
      }
      if (patternIndex == patternLength) {
        if (position == end) return succeed(end - start);
        if (pattern[patternLength - 1] == '*') return succeed(end - start);
        if (!wholeText) return succeed(position - start);
        if (!backtrack()) return false;
        continue;
      }
      // Text exhausted with pattern left: only a lone trailing star can still match.
      if (patternIndex + 1 == patternLength && pattern[patternIndex] == '*') {
        return succeed(end - start);
      }
      return false;
    }
  }
};

std::size_t windowEnd(const std::string& text, std::size_t start, std::size_t length) {
  const std::size_t rest = text.size() - start;
  return start + (length < rest ? length : rest);
}

}  // namespace

std::string normaliseGlob(const std::string& pattern) {
  std::string result;
  result.reserve(pattern.size());
  for (char c : pattern) {
    if (c == '*' && !result.empty() && result.back() == '*') continue;
    result.push_back(c);
  }
  return result;
}

bool matchGlob(const std::string& text, const std::string& pattern, std::size_t start,
               std::size_t length) {
  const std::string normalised = normaliseGlob(pattern);
  if (start >= text.size()) return normalised.empty() || normalised == "*";
  if (length == 0) return false;
  Attempt attempt(text, start, windowEnd(text, start, length), normalised, true);
  return attempt.run();
}

std::optional<std::pair<std::size_t, std::size_t>> findGlob(const std::string& text,
                                                            const std::string& pattern,
                                                            std::size_t start, std::size_t length) {
  if (start >= text.size() || length == 0) return std::nullopt;
  const std::string normalised = normaliseGlob(pattern);
  const std::size_t end = windowEnd(text, start, length);
  for (std::size_t position = start; position < end; ++position) {
    Attempt attempt(text, position, end, normalised, false);
    if (attempt.run()) return std::make_pair(position, attempt.matchLength);
  }
  return std::nullopt;
}

}  // namespace ZelcorCorelib
