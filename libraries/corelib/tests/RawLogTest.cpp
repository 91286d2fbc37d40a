#include "errors/RawLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ZelcorCorelib {
namespace {

// This binary makes no Logger, so the default sink is in place until a test installs another.
struct Captured {
  int level;
  std::string source;
  std::string text;
};
std::vector<Captured> captured;

bool captureEnabled(int level) { return level <= kLogTrace; }
void captureWrite(int level, std::string_view source, std::string_view text,
                  const ParamStream& parameters) {
  captured.push_back({level, std::string(source), fillPlaceholders(std::string(text), parameters)});
}
constexpr RawLogSink kCaptureSink{&captureEnabled, &captureWrite};

TEST(RawLog, WithoutASinkWarningsAndWorseGoToStandardError) {
  EXPECT_TRUE(rawLogEnabled(kLogFatal));
  EXPECT_TRUE(rawLogEnabled(kLogWarning));
  EXPECT_FALSE(rawLogEnabled(kLogInfo));
  EXPECT_FALSE(rawLogEnabled(kLogFlood));
  EXPECT_FALSE(rawLogEnabled(kLogNone));

  testing::internal::CaptureStderr();
  rawLog(kLogWarning, "Thread", "Thread \"%\" ended by an exception: %", makeParams("w", "boom"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Thread: Thread \"w\" ended by an exception: boom\n");
}

TEST(RawLog, AnInstalledSinkTakesTheLinesUntilItIsRemoved) {
  captured.clear();
  setRawLogSink(&kCaptureSink);
  EXPECT_TRUE(rawLogEnabled(kLogTrace));
  EXPECT_FALSE(rawLogEnabled(kLogFlood));
  rawLog(kLogTrace, "ThreadLock", "ThreadLock::unlock: Going to unlock %", makeParams("0x1"));
  setRawLogSink(nullptr);
  EXPECT_FALSE(rawLogEnabled(kLogTrace)) << "back to standard error";

  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].level, kLogTrace);
  EXPECT_EQ(captured[0].source, "ThreadLock");
  EXPECT_EQ(captured[0].text, "ThreadLock::unlock: Going to unlock 0x1");
}

}  // namespace
}  // namespace ZelcorCorelib
