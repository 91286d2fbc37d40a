#include "base/StringUtils.h"

#include <gtest/gtest.h>

namespace ZelcorCorelib {
namespace {

TEST(StringUtils, TrimUsesTheSevenByteSetOrEverythingUpToBlank) {
  std::string s = " \r\n\t\v\b\fx y\f\b\v\t\n\r ";
  EXPECT_EQ(trim(s), "x y");
  std::string high = "\x01\x80x\xff ";
  std::string copy = high;
  trimRight(copy, false);
  trimLeft(copy, false);
  EXPECT_EQ(copy, "x");
  trimRight(high, true);
  EXPECT_EQ(high, "\x01\x80x\xff");
  std::string blank = "   ";
  trimLeft(blank);
  EXPECT_EQ(blank, "");
}

TEST(StringUtils, ReplaceAllSkipsOverInsertedText) {
  struct Case {
    const char* text;
    const char* from;
    const char* to;
    const char* expected;
  } cases[] = {
      {"aa", "a", "aa", "aaaa"},
      {"abcabc", "bc", "", "aa"},
      {"x", "", "y", "x"},
      {"%%%", "%%", "%", "%%"},
  };
  for (const Case& c : cases) {
    std::string s = c.text;
    replaceAll(s, c.from, c.to);
    EXPECT_EQ(s, c.expected) << c.text;
  }
}

TEST(StringUtils, CountCutAndUnquote) {
  EXPECT_EQ(countChar("a,b,,c", ',', 0, std::string::npos), 3u);
  EXPECT_EQ(countChar("a,b,,c", ',', 2, 2), 1u);
  EXPECT_EQ(countChar("a,b", ',', 10, 2), 0u);

  std::string s = "key=value=more";
  EXPECT_EQ(cutToken(s, "="), "key");
  EXPECT_EQ(s, "value=more");
  std::string none = "novalue";
  EXPECT_EQ(cutToken(none, "="), "novalue");
  EXPECT_EQ(none, "");

  struct Case {
    const char* in;
    const char* out;
  } quotes[] = {{"\"", "\""}, {"\"\"", ""}, {"'a b'", "a b"}, {"\"a'", "\"a'"}, {"x", "x"}};
  for (const Case& c : quotes) {
    std::string q = c.in;
    unquote(q);
    EXPECT_EQ(q, c.out) << c.in;
  }
}

TEST(StringUtils, NumberConversions) {
  EXPECT_EQ(textToInt("  -42abc"), -42);
  EXPECT_EQ(textToInt("+7"), 7);
  EXPECT_EQ(textToInt("abc"), 0);
  EXPECT_EQ(textToInt("99999999999999999999999"), 2147483647);
  EXPECT_EQ(textToInt("-99999999999999999999999"), -2147483647 - 1);
  EXPECT_EQ(textToUInt64("123abc"), 123u);
  EXPECT_EQ(textToUInt64(" 1"), 0u);
  EXPECT_EQ(textToUInt64("-1"), 0u);
  EXPECT_EQ(textToUInt64("99999999999999999999999"), UINT64_MAX);
  EXPECT_EQ(int64ToText(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(intToText(-1), "-1");
}

TEST(StringUtils, DoubleToTextDropsTrailingZerosInFixedForm) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {2.5, "2.5"},
      {3.0, "3"},
      {-3.0, "-3"},
      {0.1, "0.1"},
      {1e15, "1000000000000000"},
      {1e16, "1.000000000000000e+16"},
      {1e-16, "1.000000000000000e-16"},
      {-2.5e20, "-2.500000000000000e+20"},
      {123.456, "123.456"},
  };
  for (const Case& c : cases) EXPECT_EQ(doubleToText(c.value), c.text) << c.value;
}

}  // namespace
}  // namespace ZelcorCorelib
