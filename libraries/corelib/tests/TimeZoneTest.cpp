#include "time/TimeZone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "time/DateTime.h"

namespace ZelcorCorelib {
namespace {

constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kHour = 3'600'000;

// Sets (or with nullptr removes) an environment variable for one test and restores it; the C
// runtime's zone data is refreshed both times so that TZ changes take effect and are undone.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name(name) {
    if (const char* old = std::getenv(name)) previous = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
    platform::refreshLocalZone();
  }
  ~ScopedEnvironment() {
    if (previous)
      setenv(name, previous->c_str(), 1);
    else
      unsetenv(name);
    platform::refreshLocalZone();
  }

 private:
  const char* name;
  std::optional<std::string> previous;
};

std::int64_t utc(const char* text) {
  const std::optional<DateTime> parsed = DateTime::fromText(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed ? parsed->getCount() : 0;
}

std::int64_t unixSeconds(std::int64_t count) { return DateTime(count).toUnixSeconds(); }

TEST(TimeZone, ReadsOffsetTexts) {
  struct Case {
    const char* text;
    std::int64_t offset;
  };
  const Case cases[] = {
      {"+0130", 90 * kMinute},
      {"+01:30", 90 * kMinute},
      {"-01:30", -90 * kMinute},
      {"-0130", -90 * kMinute},
      {"+00:00", 0},
      {"-00:00", 0},
      {"+23:59", 23 * kHour + 59 * kMinute},
      {" +05:45 ", 345 * kMinute},
      {"Z", 0},
      {"2", 2 * kHour},
      {"-5", -5 * kHour},
      {"+1", kHour},
      {"0", 0},
      {"23", 23 * kHour},
  };
  for (const Case& c : cases) {
    const std::optional<TimeZone> zone = TimeZone::fromText(c.text);
    ASSERT_TRUE(zone.has_value()) << c.text;
    EXPECT_EQ(zone->getStandardOffset(), c.offset) << c.text;
    EXPECT_FALSE(zone->hasDaylightSaving()) << c.text;
  }
}

TEST(TimeZone, RefusesGarbageTexts) {
  const char* texts[] = {
      "",
      "   ",
      "abc",
      "+1:30",
      "+01:3x",
      "+25:00",
      "+24:00",
      "+01:60",
      "+01:30x",
      "++0130",
      "+01300",
      "0130+",
      "1.5",
      "24",
      "-24",
      "99999999999999999999999",
      "+",
      "-",
      "UTC+1",
      "+01:00 (+01:00 3M5W6D2H-10M5W6D3H",
      "+01:00 (+00:00 3M5W6D2H-10M5W6D3H)",   // no daylight offset
      "+01:00 (+01:00 13M5W6D2H-10M5W6D3H)",  // month
      "+01:00 (+01:00 3M6W6D2H-10M5W6D3H)",   // week
      "+01:00 (+01:00 3M0W6D2H-10M5W6D3H)",
      "+01:00 (+01:00 3M5W7D2H-10M5W6D3H)",   // weekday
      "+01:00 (+01:00 3M5W6D24H-10M5W6D3H)",  // hour
      "+01:00 (+01:00 3M5W6D2H-3M5W6D2H)",    // start equals end
      "+01:00 (+01:00 3M5W6D2Hx-10M5W6D3H)",
      "+01:00 (+01:00 M5W6D2H-10M5W6D3H)",
      "+01:00 (+01:00 3M5W6D2H-10M5W6D3H-1M1W1D1H)",
      "+01:00 (+01:00 999M5W6D2H-10M5W6D3H)",
      "+1:00 (+01:00 3M5W6D2H-10M5W6D3H)",
      "+01:00 (+01:60 3M5W6D2H-10M5W6D3H)",
  };
  for (const char* text : texts) {
    EXPECT_FALSE(TimeZone::fromText(text).has_value()) << '"' << text << '"';
  }
  std::string rules;
  for (int i = 0; i < 20000; ++i) rules += "1M1W1D1H-";
  EXPECT_FALSE(TimeZone::fromText("+01:00 (+01:00 " + rules + "2M1W1D1H)").has_value());
  EXPECT_FALSE(TimeZone::fromText("+0100" + std::string(200000, '*')).has_value());
}

TEST(TimeZone, RuleFormRoundTrips) {
  const char* texts[] = {
      "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)",
      "-05:00 (+01:00 3M2W6D2H-11M1W6D2H)",
      "+10:00 (+01:00 10M1W6D2H-4M1W6D3H)",
      "+01:00 (-01:00 10M5W6D2H-3M5W6D1H)",
  };
  for (const char* text : texts) {
    const std::optional<TimeZone> zone = TimeZone::fromText(text);
    ASSERT_TRUE(zone.has_value()) << text;
    EXPECT_TRUE(zone->hasDaylightSaving());
    EXPECT_EQ(zone->toText(), text);
    EXPECT_EQ(TimeZone::fromText(zone->toText()), zone);
  }
  const TimeZone cet = *TimeZone::fromText("+01:00 (+01:00 3M5W6D2H-10M5W6D3H)");
  EXPECT_EQ(cet.getStandardOffset(), kHour);
  EXPECT_EQ(cet.getDaylightOffset(), kHour);
  EXPECT_EQ(cet.getStartRule(), (TimeZone::Rule{3, 5, 6, 2}));
  EXPECT_EQ(cet.getEndRule(), (TimeZone::Rule{10, 5, 6, 3}));
  EXPECT_EQ(TimeZone(-90 * kMinute).toText(), "-01:30");
  EXPECT_EQ(TimeZone().toText(), "+00:00");
  EXPECT_EQ(TimeZone::offsetText(-90 * kMinute, true), "-0130");
}

TEST(TimeZone, TransitionsFollowTheRules) {
  struct Case {
    const char* zone;
    std::int64_t year;
    const char* start;
    const char* end;
  };
  const Case cases[] = {
      // last Sundays of March and October, 02:00 standard and 03:00 daylight time
      {"+01:00 (+01:00 3M5W6D2H-10M5W6D3H)", 2016, "2016-03-27T01:00:00Z", "2016-10-30T01:00:00Z"},
      {"+01:00 (+01:00 3M5W6D2H-10M5W6D3H)", 2024, "2024-03-31T01:00:00Z", "2024-10-27T01:00:00Z"},
      {"+01:00 (+01:00 3M5W6D2H-10M5W6D3H)", 2038, "2038-03-28T01:00:00Z", "2038-10-31T01:00:00Z"},
      // second Sunday of March, first Sunday of November
      {"-05:00 (+01:00 3M2W6D2H-11M1W6D2H)", 2016, "2016-03-13T07:00:00Z", "2016-11-06T06:00:00Z"},
      // southern: first Sunday of October, first Sunday of April
      {"+10:00 (+01:00 10M1W6D2H-4M1W6D3H)", 2016, "2016-10-01T16:00:00Z", "2016-04-02T16:00:00Z"},
      // "last" in a month whose fifth such weekday exists and in one where it does not
      {"+00:00 (+01:00 2M5W0D0H-10M1W0D0H)", 2016, "2016-02-29T00:00:00Z", "2016-10-02T23:00:00Z"},
      {"+00:00 (+01:00 2M5W0D0H-10M1W0D0H)", 2017, "2017-02-27T00:00:00Z", "2017-10-01T23:00:00Z"},
  };
  for (const Case& c : cases) {
    const TimeZone zone = *TimeZone::fromText(c.zone);
    const auto moments = zone.transitions(c.year);
    ASSERT_TRUE(moments.has_value()) << c.zone;
    EXPECT_EQ(moments->first, utc(c.start)) << c.zone << " " << c.year;
    EXPECT_EQ(moments->second, utc(c.end)) << c.zone << " " << c.year;
    // In force from the start (inclusive) to the end (exclusive).
    EXPECT_TRUE(zone.isDaylightSavingAt(moments->first));
    EXPECT_FALSE(zone.isDaylightSavingAt(moments->first - 1));
    EXPECT_FALSE(zone.isDaylightSavingAt(moments->second));
    EXPECT_TRUE(zone.isDaylightSavingAt(moments->second - 1));
  }
  const TimeZone sydney = *TimeZone::fromText("+10:00 (+01:00 10M1W6D2H-4M1W6D3H)");
  EXPECT_TRUE(sydney.isDaylightSavingAt(utc("2016-01-15T00:00:00Z")));
  EXPECT_FALSE(sydney.isDaylightSavingAt(utc("2016-07-15T00:00:00Z")));
  EXPECT_TRUE(sydney.isDaylightSavingAt(utc("2016-12-31T23:59:59Z")));
  EXPECT_FALSE(TimeZone(kHour).transitions(2016).has_value());
  EXPECT_FALSE(sydney.transitions(1'000'000'000).has_value());
}

TEST(TimeZone, OffsetTextOfAMoment) {
  const TimeZone cet = *TimeZone::fromText("+01:00 (+01:00 3M5W6D2H-10M5W6D3H)");
  EXPECT_EQ(cet.toText(DateTime(utc("2016-06-02T03:46:28Z"))), "+02:00");
  EXPECT_EQ(cet.toText(DateTime(utc("2016-06-02T03:46:28Z")), true), "+0200");
  EXPECT_EQ(cet.toText(DateTime(utc("2016-12-02T03:46:28Z"))), "+01:00");
  EXPECT_EQ(TimeZone(-90 * kMinute).offsetTextAt(0), "-01:30");
}

TEST(TimeZone, OutOfRangeValuesStayHarmless) {
  const TimeZone::Rule bad{13, 5, 6, 2};
  const TimeZone noRule(kHour, kHour, bad, TimeZone::Rule{10, 5, 6, 3});
  EXPECT_FALSE(noRule.hasDaylightSaving());
  EXPECT_EQ(noRule.getStandardOffset(), kHour);
  const TimeZone clamped(std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(clamped.getStandardOffset(), TimeZone::kMaxOffset);
  EXPECT_EQ(clamped.offsetAt(std::numeric_limits<std::int64_t>::max()), TimeZone::kMaxOffset);
  EXPECT_FALSE(DateTime(std::numeric_limits<std::int64_t>::max(), clamped).toText().empty());
  EXPECT_EQ(clamped.toUtc(std::numeric_limits<std::int64_t>::min()),
            std::numeric_limits<std::int64_t>::min());
}

// The derived zone must agree with the system's own conversion at every hour of the year.
void expectMatchesSystem(const char* tz, std::int64_t year) {
  ScopedEnvironment setting("TZ", tz);
  const std::int64_t yearStart = utc((std::to_string(year) + "-01-01T00:00:00Z").c_str());
  const TimeZone zone = TimeZone::fromSystem(yearStart + 180LL * 86'400'000);
  for (std::int64_t count = yearStart; count < yearStart + 366LL * 86'400'000; count += kHour) {
    const auto facts = platform::localTimeFacts(unixSeconds(count));
    ASSERT_TRUE(facts.has_value());
    ASSERT_EQ(zone.offsetAt(count), facts->utcOffsetSeconds * 1000)
        << tz << " at " << DateTime(count).toText() << " zone " << zone.toText();
  }
}

TEST(TimeZone, DerivesTheSystemZone) {
  expectMatchesSystem("CET-1CEST,M3.5.0,M10.5.0/3", 2016);
  expectMatchesSystem("CET-1CEST,M3.5.0,M10.5.0/3", 2038);
  expectMatchesSystem("EST5EDT,M3.2.0,M11.1.0", 2024);
  expectMatchesSystem("AEST-10AEDT,M10.1.0,M4.1.0/3", 2016);
  expectMatchesSystem("IST-5:30", 2016);
  expectMatchesSystem("UTC0", 2016);
  {
    ScopedEnvironment setting("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(TimeZone::fromSystem(utc("2016-06-01T00:00:00Z")).toText(),
              "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)");
  }
  {
    ScopedEnvironment setting("TZ", "UTC0");
    EXPECT_TRUE(TimeZone::fromSystem(utc("2016-06-01T00:00:00Z")).isUtc());
  }
}

TEST(TimeZone, LocalZoneFollowsTheSetting) {
  ScopedEnvironment system("TZ", "EST5");
  {
    ScopedEnvironment setting("ZELCOR_TZ", "+05:00");
    EXPECT_EQ(TimeZone::local(), TimeZone(5 * kHour));
  }
  {
    // A change of the setting is seen at once, not after the cache has aged.
    ScopedEnvironment setting("ZELCOR_TZ", "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)");
    EXPECT_EQ(TimeZone::local().toText(), "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)");
    EXPECT_EQ(DateTime::fromText("2016-06-02T05:46:28")->getCount(), utc("2016-06-02T03:46:28Z"));
  }
  {
    // Unreadable or empty: the system's zone.
    ScopedEnvironment setting("ZELCOR_TZ", "garbage");
    EXPECT_EQ(TimeZone::local(), TimeZone(-5 * kHour));
  }
  {
    ScopedEnvironment setting("ZELCOR_TZ", "");
    EXPECT_EQ(TimeZone::local(), TimeZone(-5 * kHour));
  }
}

}  // namespace
}  // namespace ZelcorCorelib
