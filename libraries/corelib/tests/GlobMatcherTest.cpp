#include "errors/GlobMatcher.h"

#include <gtest/gtest.h>

#include "base/GlobPattern.h"

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace ZelcorCorelib {
namespace {

// Plain dynamic-programming matcher, slow but obviously right, to cross-check the fast one.
bool referenceMatch(const std::string& text, const std::string& pattern) {
  std::vector<std::vector<bool>> ok(text.size() + 1, std::vector<bool>(pattern.size() + 1));
  ok[text.size()][pattern.size()] = true;
  for (std::size_t t = text.size() + 1; t-- > 0;) {
    for (std::size_t p = pattern.size(); p-- > 0;) {
      if (pattern[p] == '*') {
        ok[t][p] = ok[t][p + 1] || (t < text.size() && ok[t + 1][p]);
      } else {
        ok[t][p] =
            t < text.size() && (pattern[p] == '?' || pattern[p] == text[t]) && ok[t + 1][p + 1];
      }
    }
  }
  return ok[0][0];
}

TEST(GlobMatcher, MatchesWholeText) {
  struct Case {
    const char* text;
    const char* pattern;
    bool expected;
  };
  const Case cases[] = {
      {"", "", true},
      {"", "*", true},
      {"", "**", true},
      {"", "?", false},
      {"", "a", false},
      {"a", "", false},
      {"abc", "a**c", true},
      {"abc", "?*", true},
      {"", "?*", false},
      {"abcbc", "a*bc", true},
      {"abcb", "a*bc", false},
      {"Conf", "conf", false},
      {"conf", "conf", true},
      {"abc", "ab", false},
      {"ab", "abc", false},
      {"abc", "???", true},
      {"abc", "????", false},
      {"abc", "*c", true},
      {"abc", "*b", false},
      {"a", "a*", true},
      {"abc", "a*b*c*", true},
      {"x.spec", "*.spec", true},
      {"x.spec~", "*.spec", false},
      {"aXbXc", "a*b*c", true},
      {"acb", "a*b*c", false},
      {"mississippi", "m*iss*ppi", true},
      {"mississippi", "m*iss*ipi", false},
      {"aaa", "a*a*a", true},
      {"aa", "a*a*a", false},
      {"abc", "*?*?*?*", true},
      {"ab", "*?*?*?*", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GlobMatcher::match(c.text, c.pattern), c.expected)
        << "text \"" << c.text << "\" pattern \"" << c.pattern << "\"";
  }
}

TEST(GlobMatcher, MatchHonoursStartAndLength) {
  EXPECT_TRUE(GlobMatcher::match("xxabc", "abc", 2));
  EXPECT_FALSE(GlobMatcher::match("xxabc", "abc", 1));
  // A start at or past the end sees an empty text.
  EXPECT_TRUE(GlobMatcher::match("abc", "*", 3));
  EXPECT_TRUE(GlobMatcher::match("abc", "", 7));
  EXPECT_FALSE(GlobMatcher::match("abc", "?", 3));
  EXPECT_FALSE(GlobMatcher::match("abc", "*", 0, 0));
  // The window ends where the length says, not at the end of the text.
  EXPECT_TRUE(GlobMatcher::match("abcdef", "abc", 0, 3));
  EXPECT_TRUE(GlobMatcher::match("abcdef", "b*d", 1, 3));
  EXPECT_FALSE(GlobMatcher::match("abcdef", "abc*f", 0, 4));
  EXPECT_TRUE(GlobMatcher::match("abcdef", "abc*f", 0, 1000));
}

TEST(GlobMatcher, FindReportsFirstPositionAndMatchLength) {
  struct Case {
    const char* text;
    const char* pattern;
    std::size_t position;
    std::size_t length;
  };
  const Case cases[] = {
      {"run -c x.conf now", " -c *.conf?", 3, 11},
      {"abc", "b", 1, 1},
      {"abcabc", "c", 2, 1},
      {"abcbc", "b*c", 1, 2},  // shortest match at the first position
      {"abcbc", "b*", 1, 4},   // a trailing star runs to the window's end
      {"abc", "*", 0, 3},
      {"abc", "?*", 0, 3},
      {"xay", "?a", 0, 2},
      {"a.conf b.conf", "*.conf", 0, 6},
  };
  for (const Case& c : cases) {
    const auto found = GlobMatcher::find(c.text, c.pattern);
    EXPECT_EQ(found.first, c.position) << c.text << " / " << c.pattern;
    EXPECT_EQ(found.second, c.length) << c.text << " / " << c.pattern;
  }
}

TEST(GlobMatcher, FindSearchesOnlyItsWindow) {
  EXPECT_EQ(GlobMatcher::find("abcabc", "a", 1), std::make_pair(std::size_t{3}, std::size_t{1}));
  EXPECT_EQ(GlobMatcher::find("abcabc", "b*", 0, 3),
            std::make_pair(std::size_t{1}, std::size_t{2}));
  EXPECT_THROW(GlobMatcher::find("abcabc", "c", 0, 2), GlobMatcher::Find_NotFound);
}

TEST(GlobMatcher, FindFailuresCarryTheirClassAndLocation) {
  EXPECT_THROW(GlobMatcher::find("abc", "x"), GlobMatcher::Find_NotFound);
  EXPECT_THROW(GlobMatcher::find("abc", ""), GlobMatcher::Find_NotFound);
  EXPECT_THROW(GlobMatcher::find("", "x"), GlobMatcher::Find_OutOfBounds);
  EXPECT_THROW(GlobMatcher::find("", "*"), GlobMatcher::Find_OutOfBounds);
  EXPECT_THROW(GlobMatcher::find("abc", "a", 3), GlobMatcher::Find_OutOfBounds);
  EXPECT_THROW(GlobMatcher::find("abc", "a", 0, 0), GlobMatcher::Find_OutOfBounds);
  try {
    GlobMatcher::find("abc", "x");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.getClassName(), "Find_NotFound");
    EXPECT_TRUE(e.getMessage().empty());
    ASSERT_EQ(e.getLocations().size(), 1u);
    EXPECT_NE(e.getLocations()[0].find("GlobMatcher"), std::string::npos);
  }
}

TEST(GlobMatcher, AgreesWithReferenceOnRandomInputs) {
  std::mt19937 random(12345);
  const std::string textAlphabet = "ab";
  const std::string patternAlphabet = "ab*?";
  auto make = [&](const std::string& alphabet, std::size_t maxLength) {
    std::string s(random() % (maxLength + 1), ' ');
    for (char& c : s) c = alphabet[random() % alphabet.size()];
    return s;
  };
  for (int i = 0; i < 8000; ++i) {
    const std::string text = make(textAlphabet, 9);
    const std::string pattern = make(patternAlphabet, 7);
    ASSERT_EQ(GlobMatcher::match(text, pattern), referenceMatch(text, pattern))
        << "text \"" << text << "\" pattern \"" << pattern << "\"";
    if (text.empty()) continue;
    // find: the first position with a matching prefix; the shortest prefix unless the
    // pattern ends in a star, which takes the rest of the text.
    const std::string normalised = GlobMatcher::normalise(pattern);
    bool expectedFound = false;
    std::size_t expectedPosition = 0;
    std::size_t expectedLength = 0;
    for (std::size_t p = 0; p < text.size() && !expectedFound; ++p) {
      for (std::size_t l = 0; p + l <= text.size(); ++l) {
        if (!normalised.empty() && referenceMatch(text.substr(p, l), normalised)) {
          expectedFound = true;
          expectedPosition = p;
          expectedLength = normalised.back() == '*' ? text.size() - p : l;
          break;
        }
      }
    }
    if (!expectedFound) {
      ASSERT_THROW(GlobMatcher::find(text, pattern), GlobMatcher::Find_NotFound)
          << text << " / " << pattern;
    } else {
      const auto found = GlobMatcher::find(text, pattern);
      ASSERT_EQ(found.first, expectedPosition) << text << " / " << pattern;
      ASSERT_EQ(found.second, expectedLength) << text << " / " << pattern;
    }
  }
}

TEST(GlobMatcher, ManyStarsOnLongTextsStayFast) {
  const std::string longText(200000, 'a');
  std::string manyStars;
  for (int i = 0; i < 50; ++i) manyStars += "*a";
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(GlobMatcher::match(longText, manyStars + "*b"));
  EXPECT_TRUE(GlobMatcher::match(longText, manyStars + "*"));
  EXPECT_TRUE(GlobMatcher::match(longText + "b", manyStars + "*b"));
  EXPECT_FALSE(GlobMatcher::match(longText, "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b*"));
  // find repeats the attempt per position, so its worst case is quadratic: keep it moderate.
  const std::string mediumText(3000, 'a');
  EXPECT_THROW(GlobMatcher::find(mediumText, manyStars + "*b"), GlobMatcher::Find_NotFound);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_LT(seconds, 20.0);  // an exponential matcher would not finish at all
}

// The engine under the class answers without exceptions: an empty window and a miss are both
// "nothing", and the class alone tells them apart.
TEST(GlobPattern, EngineAnswersEmptyWhereTheClassThrows) {
  const std::optional<std::pair<std::size_t, std::size_t>> found = findGlob("abcabc", "c*", 1);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, std::make_pair(std::size_t{2}, std::size_t{4}));
  EXPECT_EQ(findGlob("abc", "x"), std::nullopt);
  EXPECT_EQ(findGlob("abc", "a", 3), std::nullopt);
  EXPECT_EQ(findGlob("abc", "a", 0, 0), std::nullopt);
  EXPECT_THROW(GlobMatcher::find("abc", "a", 3), GlobMatcher::Find_OutOfBounds);
  EXPECT_THROW(GlobMatcher::find("abc", "x"), GlobMatcher::Find_NotFound);
  EXPECT_TRUE(matchGlob("zone +01:00", "zone +??:??"));
  EXPECT_EQ(normaliseGlob("a**b***"), "a*b*");
}

}  // namespace
}  // namespace ZelcorCorelib
