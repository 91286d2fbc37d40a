#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include <limits>
#include <random>
#include <string>

#include "time/TimeSpan.h"

namespace ZelcorCorelib {
namespace {

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

TEST(TimeSpan, ReadsIsoDurations) {
  struct Case {
    std::string text;
    TimeSpan expected;
  };
  const Case cases[] = {
      {"P1Y2M3DT4H5M6.5S", TimeSpan(1, 2, 3 * kDay + 4 * kHour + 5 * kMinute + 6500)},
      {"p1y2m3dT4h5m6.5s", TimeSpan()},  // no upper-case "P": nothing is read
      {"P1y2m3dT4h5m6.5s", TimeSpan(1, 2, 3 * kDay + 4 * kHour + 5 * kMinute + 6500)},
      {"", TimeSpan()},
      {"1D", TimeSpan()},
      {"P", TimeSpan()},
      {"every P2D", TimeSpan(0, 0, 2 * kDay)},
      {"P1M", TimeSpan(0, 1, 0)},
      {"PT1M", TimeSpan(0, 0, kMinute)},
      {"P1DT12H", TimeSpan(0, 0, kDay + 12 * kHour)},
      {"T2H", TimeSpan()},
      {"P1DT", TimeSpan(0, 0, kDay)},
      {"P-3D", TimeSpan(0, 0, -3 * kDay)},
      {"PT-1.5S", TimeSpan(0, 0, -1500)},
      {"PT1.001S", TimeSpan(0, 0, 1001)},  // exact, no binary rounding
      {"PT0.0005S", TimeSpan(0, 0, 0)},    // below a millisecond
      {"PT.25S", TimeSpan(0, 0, 250)},
      {"PT1.2.3S", TimeSpan(0, 0, 1200)},
      {"P1 2D", TimeSpan(0, 0, 12 * kDay)},  // unknown characters do not end a number
      {"PT5Y3H", TimeSpan(0, 0, 53 * kHour)},
      {"P1H", TimeSpan()},   // hours belong after "T"
      {"PT1D", TimeSpan()},  // days before it
      {"P1S", TimeSpan()},
      {"P5T3H", TimeSpan(0, 0, 3 * kHour)},
      {"P1.5D", TimeSpan(0, 0, kDay)},  // whole numbers only outside the seconds
      {"P1Y1Y", TimeSpan(1, 0, 0)},     // years and months are set, not added
      {"PT1H1H", TimeSpan(0, 0, 2 * kHour)},
      {"P99999999999Y", TimeSpan(kInt32Max, 0, 0)},
      {"P-99999999999M", TimeSpan(0, std::numeric_limits<std::int32_t>::min(), 0)},
      {"PT99999999999999999999999999S", TimeSpan(0, 0, std::numeric_limits<std::int64_t>::max())},
      {"PT9223372036854775.807S", TimeSpan(0, 0, std::numeric_limits<std::int64_t>::max())},
      {"PT9223372036854775.808S", TimeSpan(0, 0, std::numeric_limits<std::int64_t>::max())},
  };
  for (const Case& c : cases) {
    const TimeSpan span = TimeSpan::fromText(c.text);
    EXPECT_EQ(span.getYears(), c.expected.getYears()) << c.text;
    EXPECT_EQ(span.getMonths(), c.expected.getMonths()) << c.text;
    EXPECT_EQ(span.getMilliseconds(), c.expected.getMilliseconds()) << c.text;
  }
}

TEST(TimeSpan, StrictFixedDurationsInShortAndIsoForm) {
  const std::pair<const char*, std::int64_t> good[] = {
      {"90s", 90'000},
      {"2h", 7'200'000},
      {"1d6h", 108'000'000},
      {"1d6h30m15s", 109'815'000},
      {"1.5s", 1'500},
      {"0.001S", 1},
      {"PT30M", 1'800'000},
      {"P1DT6H", 108'000'000},
      {"P2D", 172'800'000},
      {"pt1.25s", 1'250},
      {"0s", 0},
      {"999999999s", 999'999'999'000},
  };
  for (const auto& [text, ms] : good) {
    EXPECT_EQ(TimeSpan::parseMilliseconds(text), std::optional<std::int64_t>(ms)) << text;
  }
  for (const char* bad : {"",    "90",   "s",       "1h1d", "1h2h", "-5s",         "5 s", " 5s",
                          "5s ", "1.5m", "1.2345s", "1.s",  "90ms", "P",           "PT",  "P1H",
                          "P1M", "P1Y",  "PT1D",    "P1DT", "1e3s", "1000000000s", "2x",  "１s"}) {
    EXPECT_FALSE(TimeSpan::parseMilliseconds(bad)) << bad;
  }
}

TEST(TimeSpan, SumsSaturateInsteadOfOverflowing) {
  std::string many = "P";
  for (int i = 0; i < 100; ++i) many += "2147483647D";
  EXPECT_EQ(TimeSpan::fromText(many).getMilliseconds(), std::numeric_limits<std::int64_t>::max());
  many = "P";
  for (int i = 0; i < 100; ++i) many += "-2147483648D";
  EXPECT_EQ(TimeSpan::fromText(many).getMilliseconds(), std::numeric_limits<std::int64_t>::min());
  // Long runs of garbage are read in one pass.
  EXPECT_EQ(TimeSpan::fromText("P" + std::string(1'000'000, '-')), TimeSpan());
  EXPECT_EQ(TimeSpan::fromText("P" + std::string(200'000, '7') + std::string(200'000, 'x')),
            TimeSpan());
  EXPECT_EQ(TimeSpan::fromText("P" + std::string(200'000, '7') + std::string(200'000, 'x') + "Y"),
            TimeSpan(kInt32Max, 0, 0));
}

TEST(TimeSpan, TextForm) {
  struct Case {
    TimeSpan span;
    const char* text;
  };
  const Case cases[] = {
      {TimeSpan(), "PT0S"},
      {TimeSpan(1, 2, 3 * kDay + 4 * kHour + 5 * kMinute + 6500), "P1Y2M3DT4H5M6.5S"},
      {TimeSpan(0, 0, 2 * kHour), "PT2H"},
      {TimeSpan(0, 0, 1), "PT0.001S"},
      {TimeSpan(0, 0, 61 * kSecond + 20), "PT1M1.02S"},
      {TimeSpan(0, 0, kDay), "P1D"},
      {TimeSpan(-1, -3, 0), "P-1Y-3M"},
      {TimeSpan(0, 0, -(kDay + 2 * kHour + 1500)), "P-1DT-2H-1.5S"},
      {TimeSpan(0, 0, std::numeric_limits<std::int64_t>::min()), "P-106751991167DT-7H-12M-55.808S"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.span.toText(), c.text);
  }
}

TEST(TimeSpan, TextRoundTrips) {
  std::mt19937_64 random(3);
  std::uniform_int_distribution<std::int64_t> field(-kInt32Max, kInt32Max);
  std::uniform_int_distribution<std::int64_t> ms(-kInt32Max * kDay, kInt32Max * kDay);
  for (int i = 0; i < 5000; ++i) {
    const TimeSpan span(field(random) * (i % 2), field(random) * (i % 3 == 0), ms(random));
    ASSERT_EQ(TimeSpan::fromText(span.toText()), span) << span.toText();
  }
}

}  // namespace
}  // namespace ZelcorCorelib
