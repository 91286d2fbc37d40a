#include "bus/Ims.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/ImsAgent.h"
#include "bus/ImsMessage.h"
#include "bus/Logger.h"
#include "platform/Threads.h"

namespace ZelcorCorelib {
namespace {

// An agent on a bus of its own test, answering with a set result and noting every call.
class TestAgent : public ImsAgent {
 public:
  TestAgent(std::string name, Ims& bus, ImsResult answer = ImsResult::Handled)
      : ImsAgent(std::move(name), &bus), answer(answer) {}

  ImsResult receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) override {
    {
      std::lock_guard<std::mutex> guard(mutex);
      calls.push_back(hookId);
    }
    if (onCall) onCall(hookId, message);
    return answer;
  }
  ImsResult receiveMessage(ImsMessage&) override {
    ++direct;
    return answer;
  }

  std::vector<std::uint64_t> takeCalls() {
    std::lock_guard<std::mutex> guard(mutex);
    return std::exchange(calls, {});
  }

  ImsResult answer;
  std::function<void(std::uint64_t, ImsMessage&)> onCall;
  std::atomic<int> direct{0};

 private:
  std::mutex mutex;
  std::vector<std::uint64_t> calls;
};

// Every call of every agent in one order, to check the order across agents and stages.
struct CallLog {
  std::vector<std::string> entries;
  void attach(TestAgent& agent) {
    agent.onCall = [this, &agent](std::uint64_t id, ImsMessage&) {
      entries.push_back(agent.getName() + ":" + std::to_string(id));
    };
  }
};

bool broadcast(ImsAgent& sender, const char* general, const char* group, const char* type = "") {
  ImsMessage message(general, group, type);
  return sender.sendMessage(message);
}

TEST(Ims, MatchingFollowsTheGlobsAndEmptyMeansAny) {
  Ims bus;
  TestAgent sender("sender", bus), any("any", bus), conf("conf", bus), glob("glob", bus);
  EXPECT_FALSE(broadcast(sender, "conf", "query")) << "no hook at all";

  const auto anyId = any.setMessageHook(false, "", "", "", 1);
  const auto confId = conf.setMessageHook(false, "conf", "query", "", 1);
  const auto globId = glob.setMessageHook(false, "co?f", "*", "clear-*", 1);

  struct Case {
    const char *general, *group, *type;
    std::vector<std::uint64_t> any, conf, glob;
  } cases[] = {
      {"conf", "query", "", {anyId}, {confId}, {}},
      {"conf", "data", "clear-old", {anyId}, {}, {globId}},
      {"Conf", "query", "", {anyId}, {}, {}},
      {"conf", "query-x", "", {anyId}, {}, {}},
      {"system", "", "", {anyId}, {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(broadcast(sender, c.general, c.group, c.type));
    EXPECT_EQ(any.takeCalls(), c.any) << c.general << "/" << c.group;
    EXPECT_EQ(conf.takeCalls(), c.conf) << c.general << "/" << c.group;
    EXPECT_EQ(glob.takeCalls(), c.glob) << c.general << "/" << c.group;
  }

  any.answer = ImsResult::NotHandled;
  EXPECT_FALSE(broadcast(sender, "system", "query")) << "matched, but nobody handled it";
}

TEST(Ims, IdsStartAtOneReuseTheLargestAndKeepGaps) {
  Ims bus;
  TestAgent agent("agent", bus);
  EXPECT_EQ(agent.setMessageHook(false, "a", "", "", 1), 1u);
  EXPECT_EQ(agent.setMessageHook(false, "b", "", "", 1), 2u);
  EXPECT_EQ(agent.setMessageHook(false, "c", "", "", 1), 3u);

  EXPECT_TRUE(agent.removeMessageHook(3));
  EXPECT_EQ(agent.setMessageHook(false, "d", "", "", 1), 3u) << "largest id is reused";
  EXPECT_TRUE(agent.removeMessageHook(1));
  EXPECT_EQ(agent.setMessageHook(false, "e", "", "", 1), 4u) << "gap at 1 stays";

  EXPECT_FALSE(agent.removeMessageHook(1)) << "already gone";
  EXPECT_FALSE(agent.removeMessageHook(bus, 99));
  EXPECT_TRUE(agent.removeMessageHook(bus, 2));
  EXPECT_EQ(bus.getHookCount(), 2u);
  EXPECT_TRUE(broadcast(agent, "d", ""));
  EXPECT_EQ(agent.takeCalls(), std::vector<std::uint64_t>{3});
  EXPECT_FALSE(broadcast(agent, "b", "")) << "removed hook is not called";
}

TEST(Ims, DuplicateHooksOfOneAgentAreRefusedOthersShareThePattern) {
  Ims bus;
  TestAgent first("first", bus), second("second", bus);
  CallLog log;
  log.attach(first);
  log.attach(second);
  const auto a = first.setMessageHook(false, "conf", "query", "", 1);

  try {
    bus.setHook(&first, false, "conf", "query", "", 1);
    FAIL() << "no exception";
  } catch (const Ims::Hook_Duplicate& e) {
    EXPECT_EQ(e.getClassName(), "Hook_Duplicate");
    EXPECT_EQ(e.getMessage(),
              "@ims.hook.duplicate{Trying to set a hook identical to a hook already set};");
    EXPECT_NE(e.getLocations().at(0).find("file=\"Ims\""), std::string::npos);
  }
  try {
    first.setMessageHook(true, "conf", "query", "", 0);
    FAIL() << "same pattern in another stage is the same hook";
  } catch (const ImsAgent::Hook_Duplicate& e) {
    EXPECT_TRUE(e.getMessage().empty());
    ASSERT_EQ(e.getNestedExceptions().size(), 1u);
    EXPECT_EQ(e.getNestedExceptions()[0].getMessage(),
              "@ims.hook.duplicate{Trying to set a hook identical to a hook already set};");
  }
  EXPECT_EQ(bus.getHookCount(), 1u) << "a refused hook leaves nothing behind";

  const auto b = second.setMessageHook(false, "conf", "query", "", 1);
  EXPECT_TRUE(broadcast(first, "conf", "query"));
  EXPECT_EQ(log.entries, (std::vector<std::string>{"first:" + std::to_string(a),
                                                   "second:" + std::to_string(b)}));
  EXPECT_NO_THROW(first.setMessageHook(false, "conf", "query", "x", 1)) << "other message type";
}

TEST(Ims, StagesRunInOrderAndFinalStopsEverythingAfter) {
  Ims bus;
  TestAgent late("late", bus), middle("middle", bus), early("early", bus), alsoEarly("also", bus);
  CallLog log;
  for (TestAgent* agent : {&late, &middle, &early, &alsoEarly}) log.attach(*agent);
  late.setMessageHook(false, "m", "", "", 7);       // id 1, any other stage value means 2
  middle.setMessageHook(false, "m", "", "", 1);     // id 2
  early.setMessageHook(false, "m", "", "", 0);      // id 3
  alsoEarly.setMessageHook(false, "m", "", "", 0);  // id 4
  EXPECT_TRUE(broadcast(late, "m", ""));
  EXPECT_EQ(log.entries, (std::vector<std::string>{"early:3", "also:4", "middle:2", "late:1"}));

  log.entries.clear();
  early.answer = ImsResult::Final;
  EXPECT_TRUE(broadcast(late, "m", "")) << "Final counts as handled";
  EXPECT_EQ(log.entries, std::vector<std::string>{"early:3"});

  log.entries.clear();
  early.answer = ImsResult::NotHandled;
  middle.answer = ImsResult::Final;
  EXPECT_TRUE(broadcast(late, "m", ""));
  EXPECT_EQ(log.entries, (std::vector<std::string>{"early:3", "also:4", "middle:2"}));
}

TEST(Ims, OnceHooksGoAfterTheFirstHandledDispatchOnly) {
  Ims bus;
  TestAgent once("once", bus, ImsResult::NotHandled);
  TestAgent handler("handler", bus, ImsResult::NotHandled);
  const auto onceId = once.setMessageHook(true, "x", "", "", 1);
  handler.setMessageHook(false, "x", "", "", 2);

  EXPECT_FALSE(broadcast(handler, "x", ""));
  EXPECT_EQ(bus.getHookCount(), 2u) << "nobody handled it: the once-hook stays";

  // Handled only later, by another agent: the once-hook was called while unhandled, so it stays.
  handler.answer = ImsResult::Handled;
  EXPECT_TRUE(broadcast(handler, "x", ""));
  EXPECT_EQ(bus.getHookCount(), 2u);

  // Handled before the once-hook is called, by a stage-0 agent: it goes, though it declined.
  TestAgent first("first", bus, ImsResult::Handled);
  first.setMessageHook(false, "x", "", "", 0);
  EXPECT_TRUE(broadcast(handler, "x", ""));
  EXPECT_EQ(bus.getHookCount(), 2u);
  EXPECT_FALSE(handler.removeMessageHook(bus, onceId));

  const auto own = once.setMessageHook(true, "y", "", "", 1);
  once.answer = ImsResult::Handled;
  EXPECT_TRUE(broadcast(handler, "y", ""));
  EXPECT_TRUE(broadcast(handler, "x", ""));
  EXPECT_FALSE(broadcast(handler, "y", "")) << "gone after handling it itself";
  EXPECT_EQ(once.takeCalls(), (std::vector<std::uint64_t>{onceId, onceId, onceId, own}));
}

TEST(Ims, HandlerExceptionReachesTheSenderAndKeepsOnceHooks) {
  Ims bus;
  TestAgent once("once", bus), thrower("thrower", bus);
  once.setMessageHook(true, "x", "", "", 0);
  thrower.setMessageHook(false, "x", "", "", 1);
  thrower.onCall = [](std::uint64_t, ImsMessage&) { throw Exception("@t.t.t{boom};"); };
  EXPECT_THROW(broadcast(thrower, "x", ""), Exception);
  EXPECT_EQ(bus.getHookCount(), 2u);
}

TEST(Ims, EachStagePassWorksOnTheTableAsItsPassBegan) {
  Ims bus;
  TestAgent setter("setter", bus), removed("removed", bus), added("added", bus),
      nextStage("next", bus);
  CallLog log;
  for (TestAgent* agent : {&setter, &removed, &added, &nextStage}) log.attach(*agent);
  setter.setMessageHook(false, "x", "", "", 0);                          // id 1
  const auto removedId = removed.setMessageHook(false, "x", "", "", 0);  // id 2
  setter.onCall = [&](std::uint64_t, ImsMessage&) {
    log.entries.push_back("setter");
    added.setMessageHook(false, "x", "", "", 0);      // same stage: not seen in this pass
    nextStage.setMessageHook(false, "x", "", "", 1);  // later stage: its pass sees it
    setter.removeMessageHook(bus, removedId);         // later in this pass: no longer called
  };
  EXPECT_TRUE(broadcast(setter, "x", ""));
  EXPECT_EQ(log.entries, (std::vector<std::string>{"setter", "next:4"}));

  log.entries.clear();
  setter.onCall = nullptr;
  EXPECT_TRUE(broadcast(setter, "x", ""));
  EXPECT_EQ(log.entries, (std::vector<std::string>{"added:3", "next:4"}));
}

TEST(Ims, AnIdReusedDuringAPassDoesNotReachTheNewHook) {
  Ims bus;
  TestAgent first("first", bus), old("old", bus), fresh("fresh", bus);
  first.setMessageHook(false, "x", "", "", 0);                   // id 1
  const auto oldId = old.setMessageHook(false, "x", "", "", 0);  // id 2
  first.onCall = [&](std::uint64_t, ImsMessage&) {
    first.removeMessageHook(bus, oldId);
    EXPECT_EQ(fresh.setMessageHook(true, "y", "", "", 0), oldId) << "largest id reused";
  };
  EXPECT_TRUE(broadcast(first, "x", ""));
  EXPECT_TRUE(old.takeCalls().empty());
  EXPECT_TRUE(fresh.takeCalls().empty()) << "the new hook hooks y, not x";
  EXPECT_EQ(bus.getHookCount(), 2u);
}

TEST(Ims, RemovingAHookSharingItsPatternWithAnotherStageLeavesNoStaleId) {
  Ims bus;
  TestAgent a("a", bus), b("b", bus), c("c", bus);
  a.setMessageHook(false, "p", "", "", 0);                   // id 1, stage 0
  const auto bId = b.setMessageHook(false, "p", "", "", 1);  // id 2, stage 1
  EXPECT_TRUE(b.removeMessageHook(bus, bId));
  EXPECT_EQ(c.setMessageHook(false, "q", "", "", 1), bId);
  EXPECT_TRUE(broadcast(a, "p", ""));
  EXPECT_EQ(a.takeCalls().size(), 1u);
  EXPECT_TRUE(c.takeCalls().empty()) << "c hooks q only";
  EXPECT_TRUE(broadcast(a, "q", ""));
  EXPECT_EQ(c.takeCalls(), std::vector<std::uint64_t>{bId});
}

class CountedParameter : public ImsMessageParameter {
 public:
  explicit CountedParameter(int& destroyed) : destroyed(destroyed) {}
  ~CountedParameter() override { ++destroyed; }
  int& destroyed;
};

TEST(Ims, DirectSendSkipsHooksAndMessagesOwnOnlyAdoptedParameters) {
  Ims bus;
  TestAgent sender("sender", bus), receiver("receiver", bus), hooked("hooked", bus);
  hooked.setMessageHook(false, "", "", "", 0);

  int destroyed = 0;
  {
    CountedParameter parameter(destroyed);
    ImsMessage message("conf", "query", "", &parameter);
    EXPECT_EQ(message.getSender(), nullptr);
    EXPECT_FALSE(message.getOwnsParameter());
    EXPECT_TRUE(sender.sendMessage(receiver, message));
    EXPECT_EQ(message.getSender(), &sender);
    EXPECT_EQ(message.getParameter(), &parameter);
    receiver.answer = ImsResult::NotHandled;
    EXPECT_FALSE(sender.sendMessage(receiver, message));
  }
  EXPECT_EQ(destroyed, 1) << "only the local itself";
  EXPECT_EQ(receiver.direct, 2);
  EXPECT_TRUE(hooked.takeCalls().empty());
  {
    ImsMessage message("a", "b", "c", std::make_unique<CountedParameter>(destroyed));
    EXPECT_TRUE(message.getOwnsParameter());
    EXPECT_EQ(message.describe(), "\tGeneral type: a\n\tGroup type  : b\n\tMessage type: c");
  }
  EXPECT_EQ(destroyed, 2);
}

// Handlers that broadcast, set and remove hooks, on several threads at once: the bus lock is
// not held while they run, so none of this may block. Each thread's temporary agent hooks a
// pattern of its own, as an agent must not be destroyed while others may deliver to it.
TEST(Ims, HandlersMayUseTheBusFromSeveralThreadsAtOnce) {
  Ims bus;
  TestAgent service("service", bus), nested("nested", bus);
  service.setMessageHook(false, "outer", "", "", 1);
  nested.setMessageHook(false, "inner*", "", "", 0);
  std::atomic<int> innerHandled{0};
  service.onCall = [&](std::uint64_t, ImsMessage& outer) {
    const std::string inner = "inner-" + outer.getMessageType();
    TestAgent temporary("temporary", bus);
    temporary.onCall = [&](std::uint64_t, ImsMessage&) { ++innerHandled; };
    temporary.setMessageHook(true, inner, "", "", 2);
    ImsMessage message(inner, "", "");
    service.sendMessage(message);
    // Not removed here: the once-hook is gone, and another thread may hold its id by now.
  };

  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> outerHandled{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TestAgent sender("sender", bus);
      for (int i = 0; i < kRounds; ++i) {
        if (broadcast(sender, "outer", "", std::to_string(t).c_str())) ++outerHandled;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(outerHandled, kThreads * kRounds);
  EXPECT_EQ(innerHandled, kThreads * kRounds);
  EXPECT_EQ(bus.getHookCount(), 2u) << "every temporary hook is gone";
}

TEST(Ims, ProcessBusIsOneAndAgentsAttachToIt) {
  ImsAgent agent("plain");
  EXPECT_EQ(agent.getBus(), &Ims::instance());
  EXPECT_EQ(&Ims::instance(), &Ims::instance());
  EXPECT_FALSE(agent.isTheLogger());
  EXPECT_TRUE(ImsAgent("logger").isTheLogger());
}

// Records of the bus's own logger on the process bus, taken from the calling thread only.
class BusLineCapture : public ImsAgent {
 public:
  BusLineCapture() : ImsAgent("capture") {
    for (const char* group : {"debug", "functional"}) {
      ids.push_back(setMessageHook(false, "debug", group, "", 1));
    }
  }
  ~BusLineCapture() override {
    for (auto id : ids) removeMessageHook(id);
  }
  ImsResult receiveHookedMessage(std::uint64_t, ImsMessage& message) override {
    auto* record = static_cast<Logger::LogMessageParameter*>(message.getParameter());
    if (record->sourceName == "imsagent" && record->threadId == platform::currentThreadId()) {
      lines.push_back(record->text);
      params.push_back(record->parameters);
    }
    return ImsResult::Handled;
  }
  std::vector<std::string> lines;
  std::vector<ParamStream> params;
  std::vector<std::uint64_t> ids;
};

std::vector<std::string> texts(const ParamStream& stream) {
  std::vector<std::string> result;
  for (const Primitive& p : stream.getPrimitives()) result.push_back(primitiveToText(p));
  return result;
}

TEST(Ims, BusLogLinesSkipDebugMessagesAndTheLogger) {
  BusLineCapture capture;
  ImsAgent agent("plain");
  ImsAgent loggerNamed("logger");

  const auto id = agent.setMessageHook(true, "conf", "query", "", 1);
  ASSERT_EQ(capture.lines.size(), 1u);
  EXPECT_EQ(capture.lines[0],
            "ImsAgent::setMessageHook: Setting hook:\n\tHook only once   : %\n\tGeneral type "
            "glob: %\n\tGroup type glob  : %\n\tMessage type glob: %");
  EXPECT_EQ(texts(capture.params[0]), (std::vector<std::string>{"yes", "conf", "query", ""}));

  ImsMessage conf("conf", "query", "");
  agent.sendMessage(conf);
  agent.sendMessage(loggerNamed, conf);
  ASSERT_EQ(capture.lines.size(), 3u);
  EXPECT_EQ(capture.lines[1], "ImsAgent::sendMessage:\n%");
  EXPECT_EQ(texts(capture.params[1]), std::vector<std::string>{conf.describe()});
  EXPECT_EQ(capture.lines[2], "ImsAgent::sendMessage: To \"%\":\n%");
  EXPECT_EQ(texts(capture.params[2]), (std::vector<std::string>{"logger", conf.describe()}));

  agent.removeMessageHook(id);
  agent.removeMessageHook(Ims::instance(), id);
  ASSERT_EQ(capture.lines.size(), 5u);
  EXPECT_EQ(capture.lines[3], "ImsAgent::removeMessageHook: Removing hook %");
  EXPECT_EQ(capture.lines[4],
            "ImsAgent::removeMessageHook: Removing hook % from specific IMS system");
  EXPECT_EQ(texts(capture.params[4]), std::vector<std::string>{std::to_string(id)});

  // None of these writes a line.
  const auto debugHook = agent.setMessageHook(false, "debug", "x", "", 1);
  ImsMessage debug("debug", "x", "");
  agent.sendMessage(debug);
  agent.sendMessage(loggerNamed, debug);
  const auto loggerHook = loggerNamed.setMessageHook(false, "conf", "x", "", 1);
  loggerNamed.sendMessage(conf);
  loggerNamed.sendMessage(agent, conf);
  loggerNamed.removeMessageHook(loggerHook);
  EXPECT_EQ(capture.lines.size(), 5u);
  agent.removeMessageHook(debugHook);
  EXPECT_EQ(capture.lines.size(), 6u) << "removals are logged whatever the pattern";
}

}  // namespace
}  // namespace ZelcorCorelib
