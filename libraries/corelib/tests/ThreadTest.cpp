#include "threads/Thread.h"

#include <gtest/gtest.h>

#include "testsupport/ThrownText.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus/ImsAgent.h"
#include "bus/Logger.h"
#include "platform/Threads.h"
#include "testsupport/WaitFor.h"
#include "threads/ThreadMessages.h"

namespace ZelcorCorelib {
namespace {

using testing::waitFor;

// Collects the lines of the thread loggers, filled, as the file logger would write them.
class ThreadLogCapture : public ImsAgent {
 public:
  struct Line {
    int level;
    std::uint32_t threadId;
    std::string text;
  };

  ThreadLogCapture() : ImsAgent("thread-test-capture") {
    hookId = setMessageHook(false, "debug", "", "", 2);
  }
  ~ThreadLogCapture() override { removeMessageHook(hookId); }

  ImsResult receiveHookedMessage(std::uint64_t, ImsMessage& message) override {
    auto* record = dynamic_cast<Logger::LogMessageParameter*>(message.getParameter());
    if (record != nullptr && record->sourceName == "Thread") {
      std::lock_guard<std::mutex> guard(mutex);
      lines.push_back(
          {record->level, record->threadId, fillPlaceholders(record->text, record->parameters)});
    }
    return ImsResult::Handled;
  }

  std::vector<Line> getLines() const {
    std::lock_guard<std::mutex> guard(mutex);
    return lines;
  }
  bool has(int level, const std::string& text) const {
    for (const Line& line : getLines()) {
      if (line.level == level && line.text.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::uint64_t hookId = 0;
  mutable std::mutex mutex;
  std::vector<Line> lines;
};

// The loop of the thread-function contract. An end request that lands between shouldEnd and
// update makes update throw; that is an end as well.
void loopUntilEnd(Thread* thread) {
  try {
    while (!thread->shouldEnd()) thread->update();
  } catch (const Thread::Update_NotRunning&) {
  }
  thread->finish(true);
}

// Tells the test when the record's parameters are destroyed, that is when the record dies.
class Probe : public Thread::Parameter {
 public:
  explicit Probe(std::atomic<bool>& destroyed) : destroyed(destroyed) {}
  ~Probe() override { destroyed.store(true); }
  int value = 42;

 private:
  std::atomic<bool>& destroyed;
};

Thread::Parameters probeParameters(std::atomic<bool>& destroyed) {
  Thread::Parameters parameters;
  parameters.push_back(std::make_unique<Probe>(destroyed));
  return parameters;
}

using test::thrownText;

TEST(Thread, UndefinedThreadRefusesEveryOperation) {
  auto thread = Thread::create("nothing", nullptr);
  EXPECT_EQ(thread->getState(), Thread::kStateUndefined);
  std::function<void()> operations[] = {
      [&] { thread->start(); },
      [&] { thread->end(); },
      [&] { thread->kill(); },
      [&] { thread->update(); },
      [&] { thread->shouldEnd(); },
      [&] { thread->resume(); },
      [&] { thread->makeGarbage(false); },
      [&] { thread->makeGarbage(true); },
  };
  for (const auto& operation : operations) {
    EXPECT_EQ(thrownText<Thread::Thread_Undefined>(operation),
              "Thread_Undefined: Thread is not defined");
  }

  // A defined thread disposed of before it ran is undefined from then on.
  auto disposed = Thread::create("disposed", loopUntilEnd);
  EXPECT_EQ(disposed->getState(), Thread::kStateDefined);
  disposed->makeGarbage(false);
  EXPECT_EQ(disposed->getState(), Thread::kStateUndefined);
  EXPECT_EQ(thrownText<Thread::Thread_Undefined>([&] { disposed->start(); }),
            "Thread_Undefined: Thread is not defined");
}

TEST(Thread, NotStartedThreadCannotBeEndedKilledOrResumed) {
  auto thread = Thread::create("idle", loopUntilEnd);
  EXPECT_FALSE(thread->isStarted());
  EXPECT_EQ(thrownText<Thread::End_NotStarted>([&] { thread->end(); }),
            "End_NotStarted: Trying to end \"idle\", but the thread has not been started");
  EXPECT_EQ(thrownText<Thread::Kill_NotStarted>([&] { thread->kill(); }),
            "Kill_NotStarted: Trying to kill \"idle\", but the thread has not been started");
  EXPECT_EQ(thrownText<Thread::Resume_NotSuspended>([&] { thread->resume(); }),
            "Resume_NotSuspended: Trying to resume \"idle\", but the thread is not suspended");
  EXPECT_EQ(thrownText<Thread::Update_NotRunning>([&] { thread->update(); }),
            "Update_NotRunning: Trying to update \"idle\", but the thread is not running");
  EXPECT_EQ(thread->getState(), Thread::kStateDefined);
}

TEST(Thread, RunsThroughStartEndAndRestart) {
  std::atomic<std::uint32_t> kernelId{0};
  std::atomic<std::int32_t> stateSeen{-1};
  auto thread = Thread::create("worker", [&](Thread* self) {
    kernelId.store(platform::currentThreadId());
    stateSeen.store(self->getState());
    loopUntilEnd(self);
  });
  thread->start();
  EXPECT_EQ(thread->getState(), Thread::kStateRunning);
  EXPECT_TRUE(thread->isStarted());
  EXPECT_GT(thread->getStartTime(), 0);
  ASSERT_TRUE(waitFor([&] { return kernelId.load() != 0; }));
  EXPECT_EQ(thread->getThreadId(), kernelId.load());
  EXPECT_NE(kernelId.load(), platform::currentThreadId());
  EXPECT_EQ(stateSeen.load(), Thread::kStateRunning);  // never runs before start has finished
  EXPECT_TRUE(waitFor([&] { return thread->getLastUpdate() > thread->getStartTime(); }));
  EXPECT_EQ(thrownText<Thread::Start_AlreadyStarted>([&] { thread->start(); }),
            "Start_AlreadyStarted: Trying to start thread \"worker\" that is already started");

  thread->end();
  ASSERT_TRUE(waitFor([&] { return thread->getState() == Thread::kStateEnded; }));
  EXPECT_EQ(thread->getSucceeded(), 1);
  EXPECT_FALSE(thread->isStarted());
  EXPECT_FALSE(thread->isKilled());
  EXPECT_EQ(thrownText<Thread::End_NotStarted>([&] { thread->end(); }),
            "End_NotStarted: Trying to end \"worker\", but the thread has not been started");
  EXPECT_EQ(thrownText<Thread::Kill_NotStarted>([&] { thread->kill(); }),
            "Kill_NotStarted: Trying to kill \"worker\", but the thread has not been started");

  // An ended thread may run again, on a new platform thread.
  kernelId.store(0);
  thread->start();
  EXPECT_EQ(thread->getState(), Thread::kStateRunning);
  ASSERT_TRUE(waitFor([&] { return kernelId.load() != 0; }));
  thread->end();
  EXPECT_TRUE(waitFor([&] { return thread->getState() == Thread::kStateEnded; }));
}

TEST(Thread, UpdateAfterEndRequestThrows) {
  std::string updateFailure;
  auto thread = Thread::create("late", [&](Thread* self) {
    waitFor([&] { return self->getState() == Thread::kStateEnding; });
    updateFailure = thrownText<Thread::Update_NotRunning>([&] { self->update(); });
    self->finish(self->shouldEnd());
  });
  thread->start();
  thread->end();
  ASSERT_TRUE(waitFor([&] { return !thread->isFunctionRunning(); }));
  EXPECT_EQ(updateFailure,
            "Update_NotRunning: Trying to update \"late\", but the thread is not running");
  EXPECT_EQ(thread->getState(), Thread::kStateEnded);
  EXPECT_EQ(thread->getSucceeded(), 1);
}

TEST(Thread, CloseAndDestroyMessagesEndTheThreadOthersAreDropped) {
  for (std::uint32_t endCode : {kWmClose, kWmDestroy}) {
    std::atomic<int> passes{0};
    auto thread = Thread::create("messages", [&](Thread* self) {
      while (!self->shouldEnd()) {
        self->update();
        ++passes;
      }
      self->finish(true);
    });
    thread->start();
    ASSERT_TRUE(postThreadMessage(thread->getThreadId(), kWmQuit));
    int seen = passes.load();
    // Two more passes: at least one shouldEnd began after the post and took the message.
    ASSERT_TRUE(waitFor([&] { return passes.load() >= seen + 2; }));
    EXPECT_EQ(thread->getState(), Thread::kStateRunning) << endCode;

    ASSERT_TRUE(postThreadMessage(thread->getThreadId(), endCode));
    EXPECT_TRUE(waitFor([&] { return thread->getState() == Thread::kStateEnded; })) << endCode;
    EXPECT_EQ(thread->getSucceeded(), 1);
  }
}

TEST(ThreadMessages, QueueIsPerThreadOrderedAndBounded) {
  const std::uint32_t self = platform::currentThreadId();
  EXPECT_FALSE(postThreadMessage(self, kWmClose));  // no queue yet
  EXPECT_FALSE(takeThreadMessage().has_value());
  {
    ThreadMessageQueue queue;
    {
      ThreadMessageQueue nested;  // shares the queue; closing it keeps the queue open
    }
    EXPECT_TRUE(postThreadMessage(self, kWmQuit));
    EXPECT_TRUE(postThreadMessage(self, kWmClose));
    EXPECT_EQ(takeThreadMessage(), kWmQuit);
    EXPECT_EQ(takeThreadMessage(), kWmClose);
    EXPECT_FALSE(takeThreadMessage().has_value());

    for (std::size_t i = 0; i < kMaxThreadMessages; ++i) {
      ASSERT_TRUE(postThreadMessage(self, static_cast<std::uint32_t>(i)));
    }
    EXPECT_FALSE(postThreadMessage(self, kWmClose));
    EXPECT_EQ(takeThreadMessage(), 0u);
    EXPECT_TRUE(postThreadMessage(self, kWmClose));
  }
  EXPECT_FALSE(postThreadMessage(self, kWmClose));  // closed with its last owner
  EXPECT_FALSE(takeThreadMessage().has_value());
}

TEST(Thread, KilledFunctionKeepsItsRecordUntilItReturns) {
  std::atomic<bool> destroyed{false};
  std::atomic<bool> letGo{false};
  std::atomic<std::int32_t> stateSeen{-1};
  std::atomic<bool> killedSeen{false};
  std::atomic<bool> endSeen{false};
  std::atomic<int> parameterSeen{0};
  auto thread = Thread::create(
      "stubborn",
      [&](Thread* self) {
        while (!letGo.load()) std::this_thread::yield();  // ignores every end request
        stateSeen.store(self->getState());
        killedSeen.store(self->isKilled());
        parameterSeen.store(self->getParameter<Probe>(0)->value);
        endSeen.store(self->shouldEnd());
        self->finish(true);
      },
      probeParameters(destroyed));
  thread->start();
  thread->kill();
  EXPECT_EQ(thread->getState(), Thread::kStateKilled);
  EXPECT_EQ(thread->getThreadId(), 0u);
  EXPECT_TRUE(thread->isKilled());
  EXPECT_TRUE(thread->isFunctionRunning());
  EXPECT_EQ(thrownText<Thread::Kill_NotStarted>([&] { thread->kill(); }),
            "Kill_NotStarted: Trying to kill \"stubborn\", but the thread has not been started");
  // The killed function still runs, so the record cannot be given a second one.
  EXPECT_EQ(thrownText<Thread::Start_AlreadyStarted>([&] { thread->start(); }),
            "Start_AlreadyStarted: Trying to start thread \"stubborn\" that is already started");

  thread.reset();  // the last owner goes; the function holds the record
  EXPECT_FALSE(destroyed.load());
  letGo.store(true);
  ASSERT_TRUE(waitFor([&] { return destroyed.load(); }));
  EXPECT_EQ(stateSeen.load(), Thread::kStateKilled);  // finish did not revive it either
  EXPECT_TRUE(killedSeen.load());
  EXPECT_EQ(parameterSeen.load(), 42);
  EXPECT_TRUE(endSeen.load());
}

TEST(Thread, KilledThreadRunsAgainOnceItsFunctionReturned) {
  auto thread = Thread::create("phoenix", loopUntilEnd);
  thread->start();
  thread->kill();
  // Its shouldEnd now answers true, so a cooperative function leaves at once.
  ASSERT_TRUE(waitFor([&] { return !thread->isFunctionRunning(); }));
  EXPECT_EQ(thread->getState(), Thread::kStateKilled);
  thread->start();
  EXPECT_FALSE(thread->isKilled());
  EXPECT_EQ(thread->getState(), Thread::kStateRunning);
  thread->end();
  EXPECT_TRUE(waitFor([&] { return thread->getState() == Thread::kStateEnded; }));
}

TEST(Thread, LosingTheLastHandleEndsOrKillsTheThread) {
  struct Case {
    const char* name;
    bool cooperative;
    bool stopOnDestroy;
    std::int32_t stateAtReturn;
  } cases[] = {
      {"cooperative", true, true, Thread::kStateEnding},
      {"deaf", false, true, Thread::kStateKilled},
      {"free", false, false, Thread::kStateRunning},
  };
  for (const Case& c : cases) {
    std::atomic<bool> destroyed{false};
    std::atomic<bool> letGo{false};
    std::atomic<std::int32_t> stateAtReturn{-1};
    auto thread = Thread::create(
        c.name,
        [&](Thread* self) {
          if (c.cooperative) {
            while (!self->shouldEnd()) self->update();
          } else {
            while (!letGo.load()) std::this_thread::yield();
          }
          stateAtReturn.store(self->getState());
          self->finish(true);
        },
        probeParameters(destroyed));
    thread->setStopOnDestroy(c.stopOnDestroy);
    thread->start();
    auto before = std::chrono::steady_clock::now();
    thread.reset();
    auto took = std::chrono::steady_clock::now() - before;
    if (c.cooperative) {
      EXPECT_TRUE(waitFor([&] { return destroyed.load(); })) << c.name;
    } else {
      if (c.stopOnDestroy) {
        EXPECT_GE(took, std::chrono::milliseconds(450)) << c.name;
      }
      EXPECT_FALSE(destroyed.load()) << c.name;
      letGo.store(true);
      EXPECT_TRUE(waitFor([&] { return destroyed.load(); })) << c.name;
    }
    EXPECT_EQ(stateAtReturn.load(), c.stateAtReturn) << c.name;
  }
}

TEST(Thread, EscapingExceptionEndsTheThreadAsAFailure) {
  ZELCOR_EXCEPTION(Worker_Broken);
  struct Case {
    const char* name;
    std::function<void()> fail;
    std::uint8_t succeeded;
    const char* logged;
  } cases[] = {
      {"keyed", [] { ZELCOR_THROW(Worker_Broken, "@w.b.c{Broken %};", 7); }, 0,
       "Thread \"keyed\" ended by an exception: Worker_Broken"},
      {"standard", [] { throw std::runtime_error("disk gone"); }, 0,
       "Thread \"standard\" ended by an exception: disk gone"},
      {"foreign", [] { throw 17; }, 0,
       "Thread \"foreign\" ended by an exception: unknown exception"},
      {"quiet", [] {}, 1, nullptr},  // returns without finish
  };
  ThreadLogCapture capture;
  for (const Case& c : cases) {
    auto thread = Thread::create(c.name, [&](Thread* self) {
      self->setSucceeded(1);
      c.fail();
    });
    thread->start();
    ASSERT_TRUE(waitFor([&] { return !thread->isFunctionRunning(); })) << c.name;
    EXPECT_EQ(thread->getState(), Thread::kStateEnded) << c.name;
    EXPECT_EQ(thread->getSucceeded(), c.succeeded) << c.name;
    if (c.logged != nullptr) {
      EXPECT_TRUE(capture.has(kLogWarning, c.logged)) << c.name;
    }
  }
  EXPECT_TRUE(capture.has(kLogWarning, "Worker_Broken: @w.b.c{Broken 7};"));  // the cause
  EXPECT_FALSE(capture.has(kLogWarning, "\"quiet\""));
}

TEST(Thread, MakeGarbageMarksOrKills) {
  auto marked = Thread::create("marked", loopUntilEnd);
  marked->start();
  marked->makeGarbage(false);
  EXPECT_TRUE(marked->isGarbage());
  EXPECT_EQ(marked->getState(), Thread::kStateRunning);
  marked->end();
  EXPECT_TRUE(waitFor([&] { return marked->getState() == Thread::kStateEnded; }));

  auto killed = Thread::create("killed", loopUntilEnd);
  killed->start();
  killed->makeGarbage(true);
  EXPECT_EQ(killed->getState(), Thread::kStateUndefined);
  EXPECT_TRUE(killed->isKilled());
  // Undefined now, yet its function is still let go by shouldEnd.
  EXPECT_TRUE(waitFor([&] { return !killed->isFunctionRunning(); }));
  EXPECT_EQ(killed->getState(), Thread::kStateUndefined);
  EXPECT_EQ(thrownText<Thread::Thread_Undefined>([&] { killed->makeGarbage(true); }),
            "Thread_Undefined: Thread is not defined");

  // Killing a garbage thread leaves it undefined as well.
  auto both = Thread::create("both", loopUntilEnd);
  both->start();
  both->makeGarbage(false);
  both->kill();
  EXPECT_EQ(both->getState(), Thread::kStateUndefined);
  EXPECT_TRUE(waitFor([&] { return !both->isFunctionRunning(); }));
}

TEST(Thread, TraceLinesNameTheThread) {
  ThreadLogCapture capture;
  auto thread = Thread::create("traced", loopUntilEnd);
  thread->start();
  std::uint32_t workerId = thread->getThreadId();
  thread->end();
  ASSERT_TRUE(waitFor([&] { return !thread->isFunctionRunning(); }));
  auto other = Thread::create("victim", loopUntilEnd);
  other->start();
  other->kill();
  ASSERT_TRUE(waitFor([&] { return !other->isFunctionRunning(); }));

  for (const char* text : {"Thread::start: Going to start traced", "Thread::start: Started traced",
                           "Thread::end: Going to signal thread traced to end",
                           "Thread::end: Thread \"traced\" has been signalled to end",
                           "Thread::kill: Going to kill thread victim",
                           "Thread::kill: Thread \"victim\"has been killed"}) {
    EXPECT_TRUE(capture.has(kLogTrace, text)) << text;
  }
  bool gotEndSignal = false;
  for (const auto& line : capture.getLines()) {
    gotEndSignal = gotEndSignal ||
                   (line.threadId == workerId && line.text == "Thread::shouldEnd: Got end signal");
  }
  EXPECT_TRUE(gotEndSignal);
}

}  // namespace
}  // namespace ZelcorCorelib
