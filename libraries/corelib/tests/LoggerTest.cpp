#include "bus/Logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bus/Ims.h"
#include "bus/ImsMessage.h"
#include "platform/Threads.h"
#include "time/DateTime.h"

namespace ZelcorCorelib {
namespace {

struct Received {
  std::string group;
  std::string type;
  Logger::LogMessageParameter record;
};

// Takes log records, either as a fixed receiver or through hooks on the process bus.
class RecordSink : public ImsAgent {
 public:
  explicit RecordSink(bool hooked = false) : ImsAgent("sink") {
    if (!hooked) return;
    for (const char* group : {"debug", "functional"}) {
      ids.push_back(setMessageHook(false, "debug", group, "", 1));
    }
  }
  ~RecordSink() override {
    for (auto id : ids) removeMessageHook(id);
  }
  ImsResult receiveHookedMessage(std::uint64_t, ImsMessage& message) override {
    auto* record = static_cast<Logger::LogMessageParameter*>(message.getParameter());
    // The process bus carries every logger's records; only this thread's test logger counts.
    if (record->sourceName != "test" || record->threadId != platform::currentThreadId()) {
      return ImsResult::NotHandled;
    }
    return receiveMessage(message);
  }
  ImsResult receiveMessage(ImsMessage& message) override {
    auto* record = static_cast<Logger::LogMessageParameter*>(message.getParameter());
    received.push_back({message.getGroupType(), message.getMessageType(), *record});
    if (onRecord) onRecord();
    return ImsResult::Handled;
  }
  std::vector<std::string> textsOf() const {
    std::vector<std::string> result;
    for (const Received& r : received) result.push_back(r.record.text);
    return result;
  }
  std::vector<Received> received;
  std::vector<std::uint64_t> ids;
  std::function<void()> onRecord;
};

// Restores the process-wide ceiling however a test ends.
class CeilingGuard {
 public:
  CeilingGuard() : saved(getLevelCeiling()) {}
  ~CeilingGuard() { setLevelCeiling(saved); }

 private:
  int saved;
};

std::vector<std::string> texts(const ParamStream& stream) {
  std::vector<std::string> result;
  for (const Primitive& p : stream.getPrimitives()) result.push_back(primitiveToText(p));
  return result;
}

TEST(Logger, LevelNamesBothWays) {
  const char* names[] = {"none",    "fatal", "error", "warning", "info",
                         "verbose", "debug", "trace", "flood"};
  for (int level = 0; level <= 8; ++level) {
    EXPECT_EQ(levelName(level), names[level]);
    if (level > 0) {
      EXPECT_EQ(levelFromName(names[level]), level);
    }
  }
  EXPECT_EQ(levelName(12), "undefined");
  EXPECT_EQ(levelName(-1), "undefined");
  EXPECT_EQ(levelFromName("TRACE"), 7);
  EXPECT_EQ(levelFromName("Warning"), 3);
  EXPECT_EQ(levelFromName("none"), 0);
  EXPECT_EQ(levelFromName("critical"), 0);
  EXPECT_EQ(levelFromName(""), 0);
}

TEST(Logger, StartsAnonymousAtTraceAndCutsSourceNamesToTen) {
  Logger log;
  EXPECT_EQ(log.getName(), "logger");
  EXPECT_TRUE(log.isTheLogger());
  EXPECT_EQ(log.getSourceName(), "anonymous");
  EXPECT_EQ(log.getLevel(), kLogTrace);
  EXPECT_EQ(log.getReceiver(), nullptr);
  log.setSourceName("jobscheduler-main");
  EXPECT_EQ(log.getSourceName(), "jobschedul");
  EXPECT_EQ(Logger("QueueCtrl").getSourceName(), "QueueCtrl");
  EXPECT_EQ(Logger("").getSourceName(), "");
}

TEST(Logger, OwnLevelAndCeilingBothFilter) {
  CeilingGuard ceiling;
  RecordSink sink;
  Logger log("test");
  log.setReceiver(&sink);

  setLevelCeiling(2);
  log.fatal("f");
  log.error("e");
  log.error("e %", 1);
  log.warning("w");
  log.warning("w %", 1);
  log.info("i");
  log.trace("t");
  EXPECT_EQ(sink.textsOf(), (std::vector<std::string>{"f", "e", "e %"}));
  EXPECT_TRUE(log.isEnabled(kLogError));
  EXPECT_FALSE(log.isEnabled(kLogWarning));

  sink.received.clear();
  setLevelCeiling(kLogFlood);
  log.flood("dropped: own level is 7");
  log.flood("dropped %", "too");
  log.trace("kept");
  log.send(kLogFlood, "send ignores the levels", {});
  EXPECT_EQ(sink.textsOf(), (std::vector<std::string>{"kept", "send ignores the levels"}));
}

TEST(Logger, LevelMessagesSetTheLevelOnlyWithinTheCeiling) {
  CeilingGuard ceiling;
  setLevelCeiling(7);
  Logger log;
  struct Case {
    const char* group;
    const char* type;
    ImsResult result;
    int level;
  } cases[] = {
      {"level", "9", ImsResult::Handled, 7},    {"level", "-1", ImsResult::Handled, 7},
      {"level", "5", ImsResult::Handled, 5},    {"level", "7", ImsResult::Handled, 7},
      {"level", "0", ImsResult::Handled, 0},    {"level", "abc", ImsResult::Handled, 0},
      {"level", "", ImsResult::Handled, 0},     {"level", "4x", ImsResult::Handled, 0},
      {"debug", "3", ImsResult::NotHandled, 0}, {"level", "6", ImsResult::Handled, 6},
  };
  for (const Case& c : cases) {
    ImsMessage message("debug", c.group, c.type);
    EXPECT_EQ(log.receiveMessage(message), c.result) << c.group << "/" << c.type;
    EXPECT_EQ(log.getLevel(), c.level) << c.group << "/" << c.type;
  }
  ImsMessage other("conf", "level", "3");
  EXPECT_EQ(log.receiveMessage(other), ImsResult::NotHandled);
  EXPECT_EQ(log.receiveHookedMessage(999999, other), ImsResult::NotHandled);
}

TEST(Logger, LevelMessageOverTheBusReachesEveryLogger) {
  Logger first, second;
  ImsAgent sender("sender");
  ImsMessage lower("debug", "level", "5");
  EXPECT_TRUE(sender.sendMessage(lower));
  EXPECT_EQ(first.getLevel(), 5);
  EXPECT_EQ(second.getLevel(), 5);
  ImsMessage restore("debug", "level", "7");
  EXPECT_TRUE(sender.sendMessage(restore));
  EXPECT_EQ(first.getLevel(), 7);
}

TEST(Logger, RecordsCarryTheirOriginAndGroupByLevel) {
  CeilingGuard ceiling;
  setLevelCeiling(kLogTrace);
  RecordSink sink(true);
  Logger log("test");
  const std::int64_t before = DateTime::now().getCount();
  log.fatal("Main::run: fatal");
  log.error("@a.b.c{Error % of %};", makeParams(1, std::string("two")));
  log.warning("@a.b.c{Warning %};", std::string_view("view"));
  log.info("Main::run: info");
  log.verbose("Main::run: verbose %", 5u);
  log.debug("Main::run: debug % %", -3, true);
  log.trace("Main::run");
  const std::int64_t after = DateTime::now().getCount();

  struct Expected {
    const char* group;
    const char* type;
    const char* text;
    std::vector<std::string> values;
  } expected[] = {
      {"functional", "1", "Main::run: fatal", {}},
      {"functional", "2", "@a.b.c{Error % of %};", {"1", "two"}},
      {"functional", "3", "@a.b.c{Warning %};", {"view"}},
      {"debug", "4", "Main::run: info", {}},
      {"debug", "5", "Main::run: verbose %", {"5"}},
      {"debug", "6", "Main::run: debug % %", {"-3", "true"}},
      {"debug", "7", "Main::run", {}},
  };
  ASSERT_EQ(sink.received.size(), std::size(expected)) << "broadcast reaches the hooks";
  for (std::size_t i = 0; i < sink.received.size(); ++i) {
    const Received& r = sink.received[i];
    EXPECT_EQ(r.group, expected[i].group) << i;
    EXPECT_EQ(r.type, expected[i].type) << i;
    EXPECT_EQ(r.record.level, static_cast<int>(i) + 1);
    EXPECT_EQ(r.record.text, expected[i].text) << "placeholders stay unfilled";
    EXPECT_EQ(texts(r.record.parameters), expected[i].values) << i;
    EXPECT_EQ(r.record.sourceName, "test");
    EXPECT_EQ(r.record.threadId, platform::currentThreadId());
    EXPECT_EQ(r.record.processId, platform::currentProcessId());
    EXPECT_GE(r.record.time, before);
    EXPECT_LE(r.record.time, after);
  }
}

TEST(Logger, AFixedReceiverTakesRecordsInsteadOfTheBus) {
  RecordSink hooked(true), direct;
  Logger log("test");
  log.setReceiver(&direct);
  log.info("direct");
  EXPECT_EQ(direct.textsOf(), std::vector<std::string>{"direct"});
  EXPECT_TRUE(hooked.received.empty());
  log.setReceiver(nullptr);
  log.info("broadcast");
  EXPECT_EQ(hooked.textsOf(), std::vector<std::string>{"broadcast"});
}

class AppFrameLike : public Throws {
 public:
  ZELCOR_EXCEPTION(AlreadyRunning);
  ZELCOR_EXCEPTION(Init_Failed);
};

TEST(Logger, ExceptionChainsAreLoggedCausesFirst) {
  CeilingGuard ceiling;
  setLevelCeiling(kLogTrace);
  RecordSink sink;
  Logger log("test");
  log.setReceiver(&sink);

  AppFrameLike::AlreadyRunning inner("@appframe.init.already-running{Another instance % runs};",
                                     " @logsrc{file=\"AppFrame\" line=12};", makeParams(42));
  AppFrameLike::Init_Failed outer(" @logsrc{file=\"AppFrame\" line=30};", inner);
  AppFrameLike::AlreadyRunning bare;

  log.warning(outer);
  log.fatal(bare);
  ASSERT_EQ(sink.received.size(), 3u);
  EXPECT_EQ(sink.received[0].record.text,
            "AlreadyRunning: @appframe.init.already-running{Another instance % runs}; "
            "@logsrc{file=\"AppFrame\" line=12};");
  EXPECT_EQ(texts(sink.received[0].record.parameters), std::vector<std::string>{"42"});
  EXPECT_EQ(sink.received[1].record.text, "Init_Failed: Container for above exceptions");
  EXPECT_EQ(sink.received[1].type, "3");
  EXPECT_EQ(sink.received[1].group, "functional");
  EXPECT_EQ(sink.received[2].record.text, "AlreadyRunning: <NO MESSAGE>");
  EXPECT_EQ(sink.received[2].record.level, kLogFatal);

  setLevelCeiling(kLogError);
  log.warning(outer);
  EXPECT_EQ(sink.received.size(), 3u) << "a disabled chain sends nothing";
}

TEST(Logger, AHandlerThatLogsItsOwnRecordsCannotRecurseWithoutEnd) {
  RecordSink sink;
  Logger log("test");
  log.setReceiver(&sink);
  int calls = 0;
  sink.onRecord = [&] {
    ++calls;
    log.info("again");
  };
  log.info("first");
  EXPECT_EQ(calls, 4) << "records nested deeper than four on one thread are dropped";
  sink.onRecord = nullptr;
  log.info("later");
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(sink.received.size(), 5u) << "the nesting count is back at zero";
}

// A disabled call only compares two integers. The bound is loose enough for sanitizer builds;
// the point is that nothing is built or sent (that would cost microseconds).
TEST(Logger, DisabledCallsAreCheap) {
  CeilingGuard ceiling;
  setLevelCeiling(kLogTrace);
  RecordSink sink;
  Logger log("test");
  log.setReceiver(&sink);
  const std::string value(100, 'x');
  constexpr int kCalls = 1'000'000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) log.flood("Disabled::call: % % %", value, i, "text");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const double perCall =
      std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(kCalls);
  RecordProperty("disabled_call_ns", std::to_string(perCall));
  EXPECT_TRUE(sink.received.empty());
  EXPECT_LT(perCall, 200.0);
}

}  // namespace
}  // namespace ZelcorCorelib
