#include "time/DateTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "platform/Clock.h"

namespace ZelcorCorelib {
namespace {

constexpr std::int64_t kHour = 3'600'000;
// 2016-06-02T03:46:28.500Z
constexpr std::int64_t kSample = 2'209'075'200'000 + 1'464'839'188'500;

// Sets an environment variable for one test and puts the old value back.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name(name) {
    if (const char* old = std::getenv(name)) previous = old;
    setenv(name, value, 1);
  }
  ~ScopedEnvironment() {
    if (previous)
      setenv(name, previous->c_str(), 1);
    else
      unsetenv(name);
  }

 private:
  const char* name;
  std::optional<std::string> previous;
};

TimeZone centralEurope() { return *TimeZone::fromText("+01:00 (+01:00 3M5W6D2H-10M5W6D3H)"); }

std::int64_t utcCount(const std::string& text) {
  const std::optional<DateTime> parsed = DateTime::fromText(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed ? parsed->getCount() : 0;
}

TEST(DateTime, EpochsAndUnixSeconds) {
  EXPECT_EQ(utcCount("1900-01-01T00:00:00Z"), 86'400'000);
  EXPECT_EQ(utcCount("1970-01-01T00:00:00Z"), 2'209'075'200'000);
  EXPECT_EQ(DateTime(2'209'075'200'000).toUnixSeconds(), 0);
  EXPECT_EQ(DateTime(2'209'075'200'000).details().getDayNumber(), 25'568);
  EXPECT_EQ(DateTime(86'400'000).details().getDayNumber(), 1);
  EXPECT_EQ(DateTime(86'400'000).details().getWeekday(), 0);  // 1900-01-01 was a Monday
  EXPECT_EQ(DateTime::fromUnixSeconds(0).getCount(), 2'209'075'200'000);
  EXPECT_EQ(DateTime(kSample).toUnixSeconds(), 1'464'839'188);
  // Truncation toward zero on both sides of 1970.
  EXPECT_EQ(DateTime(2'209'075'200'000 - 500).toUnixSeconds(), 0);
  EXPECT_EQ(DateTime(2'209'075'200'000 - 1500).toUnixSeconds(), -1);
  EXPECT_EQ(DateTime(-500).toUnixSeconds(), -2'209'075'200);
  // 2038: the first second past the signed 32-bit Unix range.
  EXPECT_EQ(DateTime::fromUnixSeconds(2'147'483'648).toText(false), "2038-01-19T03:14:08Z");
  EXPECT_EQ(utcCount("2038-01-19T03:14:08Z"), DateTime::fromUnixSeconds(2'147'483'648).getCount());
}

TEST(DateTime, ExtremeCountsDoNotOverflow) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(DateTime::fromUnixSeconds(kMax).getCount(), kMax);
  EXPECT_EQ(DateTime::fromUnixSeconds(kMin).getCount(), kMin);
  EXPECT_EQ(DateTime(kMin).toUnixSeconds(), kMin / 1000 - 2'209'075'200);
  EXPECT_EQ(DateTime(kMax).toUnixSeconds(), kMax / 1000 - 2'209'075'200);
  for (std::int64_t count : {kMax, kMin, kMax - 1, kMin + 1}) {
    for (const TimeZone& zone :
         {TimeZone(), TimeZone(14 * kHour), TimeZone(-12 * kHour), centralEurope()}) {
      const DateTime moment(count, zone);
      EXPECT_FALSE(moment.toText(true, false, true).empty());
      EXPECT_FALSE(moment.plus(TimeSpan(1, 1, 1)).has_value());
    }
  }
  EXPECT_EQ(DateTime(kMax).details().getYear(), 292'278'924);
}

TEST(DateTime, TextForms) {
  const DateTime sample(kSample);
  EXPECT_EQ(sample.toText(), "2016-06-02T03:46:28.500Z");
  EXPECT_EQ(sample.toText(true, true), "20160602T034628.500Z");
  EXPECT_EQ(sample.toText(false), "2016-06-02T03:46:28Z");
  EXPECT_EQ(sample.toText(false, true), "20160602T034628Z");
  // UTC values carry "Z" whether or not the zone is asked for.
  EXPECT_EQ(sample.toText(true, false, true), "2016-06-02T03:46:28.500Z");

  const DateTime plusTwo = sample.inZone(TimeZone(2 * kHour));
  EXPECT_EQ(plusTwo.toText(true, false, true), "2016-06-02T05:46:28.500+02:00");
  EXPECT_EQ(plusTwo.toText(true, false, false), "2016-06-02T05:46:28.500");
  EXPECT_EQ(plusTwo.toText(false, true, true), "20160602T054628+0200");
  EXPECT_EQ(sample.inZone(TimeZone(-90 * 60'000)).toText(false, false, true),
            "2016-06-02T02:16:28-01:30");
  // The offset follows daylight saving at that moment.
  EXPECT_EQ(sample.inZone(centralEurope()).toText(true, false, true),
            "2016-06-02T05:46:28.500+02:00");
  EXPECT_EQ(DateTime(utcCount("2016-01-15T12:00:00Z"), centralEurope()).toText(false, false, true),
            "2016-01-15T13:00:00+01:00");
  EXPECT_EQ(DateTime(0).toText(), "1899-12-31T00:00:00.000Z");
  EXPECT_EQ(DateTime(utcCount("9999-12-31T23:59:59.999Z") + 1).toText(),
            "10000-01-01T00:00:00.000Z");
}

TEST(DateTime, ReadsEveryTextFormItWrites) {
  struct Case {
    const char* text;
    std::int64_t count;
  };
  const Case cases[] = {
      {"2016-06-02T03:46:28.500Z", kSample},
      {"20160602T034628.500Z", kSample},
      {"2016-06-02T05:46:28.500+02:00", kSample},
      {"20160602T054628.500+0200", kSample},
      {"2016-06-02T02:16:28.500-01:30", kSample},
      {"  2016-06-02 03:46:28.5Z ", kSample},
      {"2016-06-02t03:46:28,5z", kSample},
      {"2016-06-02T03:46:28:500Z", kSample},
      {"2016-06-02T03:46:28.500999Z", kSample},
      {"2016-06-02T05:46:28.500 +02:00", kSample},
      {"2016-06-02T05:46:28.500+02:00 (+01:00 3M5W6D2H-10M5W6D3H)", kSample - kHour},
      {"2016-06-02T03:46:28.500+0", kSample},
      {"2016-6-2T3:46:28.500Z", kSample},
      {"2016-06-02Z", kSample - (3 * kHour + 46 * 60'000 + 28'500)},
      {"2016-06-02T03:46Z", kSample - 28'500},
      {"2016-06Z", utcCount("2016-06-01T00:00:00Z")},
      {"2016Z", utcCount("2016-01-01T00:00:00Z")},
      {"2016-06-02T05:46:28.500 2", kSample},
      {"1900-01-01T00:00:00+02:00", 86'400'000 - 2 * kHour},
  };
  for (const Case& c : cases) {
    const std::optional<DateTime> parsed = DateTime::fromText(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed->getCount(), c.count) << c.text;
  }
  // The text's zone becomes the presentation zone.
  EXPECT_EQ(DateTime::fromText("2016-06-02T05:46:28.500+02:00")->toText(true, false, true),
            "2016-06-02T05:46:28.500+02:00");
}

TEST(DateTime, RefusesInvalidAndGarbageTexts) {
  const char* texts[] = {
      "",
      "   ",
      "hello",
      "201",
      "16-06-02",
      "2016-13-01",
      "2016-00-10",
      "2016-04-31",
      "1900-02-29",
      "2100-02-29",
      "2015-02-29",
      "2016-06-02T24:00:00Z",
      "2016-06-02T23:60:00Z",
      "2016-06-02T23:59:60Z",
      "1899-12-31T23:59:59Z",
      "1000-01-01",
      "0000-01-01",
      "2016-06-02T03:46:28.500Zjunk",
      "2016-06-02T03:46:28.500+25:00",
      "2016-06-02x",
      "2016-06-02T03:46:28.500+02:00:00",
      "99999999999999999999-01-01",
      "2016-99999999999999999999-01",
      "2016-06-02T99999999999999999999:00:00Z",
      "20160602T0346289",
      "2016-06-02T05:46:282",
      "2016-06-02T03:46:28.Z",
      "--",
      "T",
      "::",
      "2016-06-02TT03:46:28Z",
      "2016-06-02T03:46:28.500+99999999999999999999",
      "2016\n06-02",
  };
  for (const char* text : texts) {
    EXPECT_FALSE(DateTime::fromText(text).has_value()) << '"' << text << '"';
  }
  EXPECT_FALSE(DateTime::fromText(std::string("2016-06-02\0Z", 12)).has_value());
  EXPECT_FALSE(DateTime::fromText(std::string(100000, '9')).has_value());
}

TEST(DateTime, LeapYearsFollowTheGregorianRule) {
  for (const char* valid : {"2016-02-29", "2000-02-29", "2400-02-29", "1904-02-29", "9996-02-29"}) {
    EXPECT_TRUE(DateTime::fromText(std::string(valid) + "Z").has_value()) << valid;
  }
  // The day after February 28 of a common year is March 1, of a leap year February 29.
  const std::int64_t day = 86'400'000;
  EXPECT_EQ(utcCount("2100-02-28Z") + day, utcCount("2100-03-01Z"));
  EXPECT_EQ(utcCount("1900-02-28Z") + day, utcCount("1900-03-01Z"));
  EXPECT_EQ(utcCount("2000-02-28Z") + 2 * day, utcCount("2000-03-01Z"));
  EXPECT_EQ(utcCount("2017-01-01Z") - utcCount("2016-01-01Z"), 366 * day);
  EXPECT_EQ(utcCount("2101-01-01Z") - utcCount("2100-01-01Z"), 365 * day);
}

TEST(DateTime, TextRoundTripsOverTheWholeRange) {
  std::mt19937_64 random(7);
  const std::int64_t first = utcCount("1900-01-01T00:00:00Z");
  const std::int64_t last = utcCount("9999-12-31T23:59:59.999Z");
  std::uniform_int_distribution<std::int64_t> counts(first + 86'400'000, last - 86'400'000);
  const TimeZone zones[] = {TimeZone(), TimeZone(5 * kHour + 30 * 60'000), TimeZone(-8 * kHour),
                            centralEurope()};
  for (int i = 0; i < 3000; ++i) {
    const std::int64_t count = counts(random);
    for (const TimeZone& zone : zones) {
      const DateTime moment(count, zone);
      for (bool compact : {false, true}) {
        const std::string text = moment.toText(true, compact, true);
        const std::optional<DateTime> back = DateTime::fromText(text);
        ASSERT_TRUE(back.has_value()) << text;
        ASSERT_EQ(back->getCount(), count) << text;
      }
    }
  }
}

TEST(DateTime, TextWithoutZoneUsesTheLocalOrTheGivenZone) {
  ScopedEnvironment zone("ZELCOR_TZ", "+03:00");
  const std::optional<DateTime> local = DateTime::fromText("2016-06-02T06:46:28.500");
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(local->getCount(), kSample);
  EXPECT_EQ(local->toText(), "2016-06-02T06:46:28.500");
  EXPECT_EQ(local->toText(true, false, true), "2016-06-02T06:46:28.500+03:00");
  // A configuration time of day is read on 2000-01-01.
  EXPECT_EQ(DateTime::fromText("2000-01-01T12:34:56")->toText().substr(11, 8), "12:34:56");

  const std::optional<DateTime> given = DateTime::fromText("2016-06-02T03:46:28.500", TimeZone());
  ASSERT_TRUE(given.has_value());
  EXPECT_EQ(given->getCount(), kSample);
  // A zone in the text wins over the given one.
  EXPECT_EQ(DateTime::fromText("2016-06-02T03:46:28.500Z", TimeZone(3 * kHour))->getCount(),
            kSample);
}

TEST(DateTime, LocalTimesAroundDaylightSavingTransitions) {
  const TimeZone cet = centralEurope();
  struct Case {
    const char* local;
    const char* utc;
  };
  const Case cases[] = {
      {"2016-03-27T01:59:59", "2016-03-27T00:59:59Z"},
      {"2016-03-27T02:30:00", "2016-03-27T01:30:00Z"},  // skipped hour: read as standard time
      {"2016-03-27T03:00:00", "2016-03-27T01:00:00Z"},
      {"2016-10-30T01:59:59", "2016-10-29T23:59:59Z"},
      {"2016-10-30T02:30:00", "2016-10-30T00:30:00Z"},  // hour met twice: the first one
      {"2016-10-30T03:00:00", "2016-10-30T02:00:00Z"},
  };
  for (const Case& c : cases) {
    const std::optional<DateTime> parsed = DateTime::fromText(c.local, cet);
    ASSERT_TRUE(parsed.has_value()) << c.local;
    EXPECT_EQ(parsed->getCount(), utcCount(c.utc)) << c.local;
  }
  EXPECT_EQ(DateTime(utcCount("2016-10-30T00:30:00Z"), cet).toText(false, false, true),
            "2016-10-30T02:30:00+02:00");
  EXPECT_EQ(DateTime(utcCount("2016-10-30T01:30:00Z"), cet).toText(false, false, true),
            "2016-10-30T02:30:00+01:00");
  // Details keep which of the two it was, so they turn back into the same moment.
  const DateTimeDetails second = DateTime(utcCount("2016-10-30T01:30:00Z"), cet).details();
  EXPECT_FALSE(second.isDaylightSaving());
  EXPECT_EQ(second.toCount(), utcCount("2016-10-30T01:30:00Z"));
}

TEST(DateTime, DetailsBreakDownAndNormalise) {
  const DateTimeDetails sample = DateTime(kSample).details();
  EXPECT_EQ(sample.getYear(), 2016);
  EXPECT_EQ(sample.getMonth(), 6);
  EXPECT_EQ(sample.getDay(), 2);
  EXPECT_EQ(sample.getHour(), 3);
  EXPECT_EQ(sample.getMinute(), 46);
  EXPECT_EQ(sample.getSecond(), 28);
  EXPECT_EQ(sample.getMillisecond(), 500);
  EXPECT_EQ(sample.getWeekday(), 3);  // Thursday
  EXPECT_TRUE(sample.isNormalised());
  EXPECT_FALSE(sample.isZoned());
  EXPECT_TRUE(DateTime(kSample, TimeZone(kHour)).details().isZoned());

  DateTimeDetails carried = sample;
  carried.setMonth(14);
  carried.setDay(31);
  carried.setMinute(75);
  carried.setMillisecond(-1);
  EXPECT_FALSE(carried.isNormalised());
  EXPECT_FALSE(carried.isValid());
  // 2016-14-31 03:75:28 minus 1 ms is 2017-03-03 04:15:27.999 (February 2017 has 28 days).
  EXPECT_EQ(carried.toText(), "2017-03-03T04:15:27.999Z");
  EXPECT_EQ(carried.getWeekday(), 4);  // Friday
  ASSERT_TRUE(carried.normalise());
  EXPECT_TRUE(carried.isNormalised());
  EXPECT_TRUE(carried.isValid());
  EXPECT_EQ(carried.getMonth(), 3);
  EXPECT_EQ(carried.toCount(), utcCount("2017-03-03T04:15:27.999Z"));

  DateTimeDetails early;
  early.setYear(1899);
  early.setMonth(12);
  early.setDay(31);
  EXPECT_FALSE(early.toCount().has_value());
  EXPECT_FALSE(DateTime::fromDetails(early).has_value());
  early.setDay(32);
  EXPECT_EQ(early.toCount(), 86'400'000);

  DateTimeDetails huge;
  huge.setMinute(std::numeric_limits<std::int64_t>::max());
  EXPECT_FALSE(huge.normalise());
  EXPECT_FALSE(huge.toCount().has_value());
  EXPECT_EQ(huge.getDayNumber(), 0);
  EXPECT_FALSE(huge.toText().empty());
  huge = DateTimeDetails();
  huge.setYear(std::numeric_limits<std::int64_t>::max());
  huge.setMonth(std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(huge.toCount().has_value());
}

TEST(DateTime, PlusMovesTheCalendarThenAddsTime) {
  struct Case {
    const char* from;
    TimeSpan span;
    const char* to;
  };
  const Case cases[] = {
      {"2016-01-31T10:00:00Z", TimeSpan(0, 1, 0), "2016-02-29T10:00:00Z"},
      {"2016-02-29T10:00:00Z", TimeSpan(1, 0, 0), "2017-02-28T10:00:00Z"},
      {"2016-11-15T10:00:00Z", TimeSpan(0, 3, 0), "2017-02-15T10:00:00Z"},
      {"2016-03-15T10:00:00Z", TimeSpan(0, -15, 0), "2014-12-15T10:00:00Z"},
      {"2016-06-02T03:46:28.500Z", TimeSpan(0, 0, 86'400'000 + 500), "2016-06-03T03:46:29Z"},
      // Calendar steps keep the wall-clock time across a daylight-saving change.
      {"2016-03-01T12:00:00+01:00", TimeSpan(0, 1, 0), "2016-04-01T10:00:00Z"},
  };
  for (const Case& c : cases) {
    const std::optional<DateTime> from = DateTime::fromText(c.from);
    ASSERT_TRUE(from.has_value()) << c.from;
    const DateTime zoned =
        from->inZone(std::string(c.from).back() == 'Z' ? TimeZone() : centralEurope());
    const std::optional<DateTime> to = zoned.plus(c.span);
    ASSERT_TRUE(to.has_value()) << c.from;
    EXPECT_EQ(to->getCount(), utcCount(c.to)) << c.from;
  }
  EXPECT_FALSE(DateTime(utcCount("1900-06-01Z")).plus(TimeSpan(-1, 0, 0)).has_value());
  EXPECT_FALSE(DateTime(utcCount("1900-06-01Z")).plus(TimeSpan(0, 0, -200LL * 86'400'000)));
}

TEST(DateTime, NowFollowsTheSystemClock) {
  const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const DateTime now = DateTime::now();
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  EXPECT_GE(now.getCount() - 2'209'075'200'000, before - 5);
  EXPECT_LE(now.getCount() - 2'209'075'200'000, after + 5);
  EXPECT_TRUE(now.getZone().isUtc());
  EXPECT_EQ(now.toText().back(), 'Z');
}

}  // namespace
}  // namespace ZelcorCorelib
