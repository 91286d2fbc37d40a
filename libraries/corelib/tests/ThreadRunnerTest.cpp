#include "threads/ThreadRunner.h"

#include <gtest/gtest.h>

#include "testsupport/ThrownText.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "testsupport/WaitFor.h"

namespace ZelcorCorelib {
namespace {

using testing::waitFor;

void loopUntilEnd(Thread* thread) {
  try {
    while (!thread->shouldEnd()) thread->update();
  } catch (const Thread::Update_NotRunning&) {
    // asked to end between shouldEnd and update
  }
  thread->finish(true);
}

class Marker : public Thread::Parameter {};

using test::thrownText;

TEST(ThreadRunner, IdsCountAcrossRunnersFromOneCounter) {
  ThreadRunner first;
  ThreadRunner second;
  std::int32_t a = first.createThread("a", loopUntilEnd);
  std::int32_t b = second.createThread("b", loopUntilEnd);
  std::int32_t c = first.createThread("c", loopUntilEnd);
  EXPECT_GT(a, 0);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, b + 1);
  EXPECT_TRUE(first.hasThread(a));
  EXPECT_FALSE(first.hasThread(b));
  EXPECT_TRUE(second.hasThread(b));
  EXPECT_EQ(first.getThread(c)->getName(), "c");
  EXPECT_EQ(first.getThread(a)->getRunner(), &first);
  EXPECT_EQ(first.getThread(a)->getState(), Thread::kStateDefined);
}

TEST(ThreadRunner, CreateRefusesNullParametersAndKeepsTheOthers) {
  ThreadRunner runner;
  Thread::Parameters withNull;
  withNull.push_back(std::make_unique<Marker>());
  withNull.push_back(nullptr);
  EXPECT_EQ(thrownText<ThreadRunner::CreateThread_NullParameter>(
                [&] { runner.createThread("n", loopUntilEnd, std::move(withNull)); }),
            "CreateThread_NullParameter: One or more of the parameters was NULL");

  Thread::Parameters parameters;
  parameters.push_back(std::make_unique<Marker>());
  std::int32_t id = runner.createThread("p", loopUntilEnd, std::move(parameters));
  EXPECT_NE(runner.getThread(id)->getParameter<Marker>(0), nullptr);
}

TEST(ThreadRunner, UnknownIdsAreReportedWithTheCause) {
  ThreadRunner runner;
  const std::int32_t missing = -5;
  const std::string notFound =
      "Thread_NotFound: Trying to access thread -5, but that thread does not exist";
  EXPECT_FALSE(runner.hasThread(missing));
  EXPECT_EQ(thrownText<ThreadRunner::Thread_NotFound>([&] { runner.getThread(missing); }),
            notFound);
  EXPECT_EQ(
      thrownText<ThreadRunner::Thread_NotFound>([&] { runner.sendToGarbage(missing, false); }),
      notFound);
  EXPECT_EQ(thrownText<ThreadRunner::Start_FailedToStart>([&] { runner.startThread(missing); }),
            "Start_FailedToStart:\n" + notFound);
  EXPECT_EQ(thrownText<ThreadRunner::End_FailedToEnd>([&] { runner.endThread(missing); }),
            "End_FailedToEnd:\n" + notFound);
  EXPECT_EQ(thrownText<ThreadRunner::Kill_FailedToKill>([&] { runner.killThread(missing); }),
            "Kill_FailedToKill:\n" + notFound);
}

TEST(ThreadRunner, RunsTheEndProtocolAndWrapsThreadFailures) {
  ThreadRunner runner;
  std::int32_t id = runner.createThread("twice", loopUntilEnd);
  EXPECT_EQ(thrownText<ThreadRunner::End_FailedToEnd>([&] { runner.endThread(id); }),
            "End_FailedToEnd:\nEnd_NotStarted: Trying to end \"twice\", but the thread has not "
            "been started");
  EXPECT_EQ(thrownText<ThreadRunner::Kill_FailedToKill>([&] { runner.killThread(id); }),
            "Kill_FailedToKill:\nKill_NotStarted: Trying to kill \"twice\", but the thread has "
            "not been started");
  runner.startThread(id);
  std::shared_ptr<Thread> thread = runner.getThread(id);
  EXPECT_EQ(thread->getState(), Thread::kStateRunning);
  EXPECT_EQ(thrownText<ThreadRunner::Start_FailedToStart>([&] { runner.startThread(id); }),
            "Start_FailedToStart:\nStart_AlreadyStarted: Trying to start thread \"twice\" that "
            "is already started");
  runner.endThread(id);
  ASSERT_TRUE(waitFor([&] { return thread->getState() == Thread::kStateEnded; }));
  EXPECT_EQ(thread->getSucceeded(), 1);
  EXPECT_TRUE(runner.hasThread(id));  // an ended thread stays until it is sent to garbage
}

TEST(ThreadRunner, GarbageIsCollectedOnceItHasEnded) {
  ThreadRunner runner;
  std::int32_t ending = runner.createThread("ending", loopUntilEnd);
  std::int32_t killed = runner.createThread("killed", loopUntilEnd);
  std::int32_t idle = runner.createThread("idle", loopUntilEnd);
  std::int32_t kept = runner.createThread("kept", loopUntilEnd);
  runner.startThread(ending);
  runner.startThread(killed);
  runner.startThread(kept);
  std::shared_ptr<Thread> killedThread = runner.getThread(killed);

  runner.sendToGarbage(ending, false);  // goes once it has ended
  runner.sendToGarbage(killed, true);
  runner.sendToGarbage(idle, false);
  EXPECT_EQ(killedThread->getState(), Thread::kStateUndefined);
  EXPECT_EQ(runner.getThread(idle)->getState(), Thread::kStateUndefined);
  EXPECT_EQ(thrownText<ThreadRunner::SendToGarbage_AlreadyGarbage>(
                [&] { runner.sendToGarbage(killed, true); }),
            "SendToGarbage_AlreadyGarbage:\nThread_Undefined: Thread is not defined");

  runner.collectGarbage();
  EXPECT_FALSE(runner.hasThread(killed));
  EXPECT_FALSE(runner.hasThread(idle));
  EXPECT_TRUE(runner.hasThread(ending));  // still running
  EXPECT_TRUE(runner.hasThread(kept));
  EXPECT_EQ(killedThread->getRunner(), nullptr);
  // The killed thread's function lets go by itself and its record outlives the runner entry.
  EXPECT_TRUE(waitFor([&] { return !killedThread->isFunctionRunning(); }));

  runner.endThread(ending);
  ASSERT_TRUE(waitFor([&] { return runner.getThread(ending)->getState() == Thread::kStateEnded; }));
  runner.collectGarbage();
  EXPECT_FALSE(runner.hasThread(ending));
  EXPECT_TRUE(runner.hasThread(kept));
  EXPECT_EQ(runner.getThread(kept)->getState(), Thread::kStateRunning);
}

TEST(ThreadRunner, SendAllToGarbageDisposesOfEveryThread) {
  ThreadRunner runner;
  std::int32_t running = runner.createThread("running", loopUntilEnd);
  std::int32_t ending = runner.createThread("ending", [](Thread* self) {
    while (self->getState() != Thread::kStateUndefined) std::this_thread::yield();
    self->finish(true);
  });
  std::int32_t idle = runner.createThread("idle", loopUntilEnd);
  runner.startThread(running);
  runner.startThread(ending);
  runner.endThread(ending);  // stays in state 4: its function does not look
  std::shared_ptr<Thread> runningThread = runner.getThread(running);
  std::shared_ptr<Thread> endingThread = runner.getThread(ending);

  runner.sendAllToGarbage(true);
  for (std::int32_t id : {running, ending, idle}) {
    EXPECT_EQ(runner.getThread(id)->getState(), Thread::kStateUndefined) << id;
  }
  runner.collectGarbage();
  EXPECT_FALSE(runner.hasThread(running) || runner.hasThread(ending) || runner.hasThread(idle));
  EXPECT_TRUE(waitFor(
      [&] { return !runningThread->isFunctionRunning() && !endingThread->isFunctionRunning(); }));
}

TEST(ThreadRunner, DestroyingTheRunnerLetsRunningThreadsGoSafely) {
  std::shared_ptr<Thread> survivor;
  std::atomic<bool> letGo{false};
  std::atomic<bool> sawKill{false};
  {
    ThreadRunner runner;
    std::int32_t id = runner.createThread("survivor", [&](Thread* self) {
      while (!letGo.load()) std::this_thread::yield();
      sawKill.store(self->shouldEnd());
      self->finish(true);
    });
    runner.startThread(id);
    std::int32_t cooperative = runner.createThread("cooperative", loopUntilEnd);
    runner.startThread(cooperative);
    survivor = runner.getThread(id);
  }
  EXPECT_EQ(survivor->getRunner(), nullptr);
  EXPECT_TRUE(survivor->isKilled());
  EXPECT_TRUE(survivor->isFunctionRunning());
  letGo.store(true);
  EXPECT_TRUE(waitFor([&] { return !survivor->isFunctionRunning(); }));
  EXPECT_TRUE(sawKill.load());
}

// An owner whose thread uses its members waits for the function itself, also for one it has
// killed and disposed of, which the runner no longer lists.
TEST(ThreadRunner, WaitForThreadsCoversKilledAndDisposedThreadsUntilTheyReturn) {
  ThreadRunner runner;
  EXPECT_TRUE(runner.waitForThreads(std::chrono::milliseconds(0)));
  std::atomic<bool> release{false};
  std::atomic<bool> returned{false};
  const std::int32_t deaf = runner.createThread("deaf", [&](Thread* thread) {
    // Hears no end request: busy until released, as a receive in progress would be.
    while (!release.load()) std::this_thread::yield();
    thread->finish(true);
    returned = true;
  });
  runner.startThread(deaf);
  EXPECT_FALSE(runner.waitForThreads(std::chrono::milliseconds(50)));
  runner.sendToGarbage(deaf, true);
  runner.collectGarbage();
  EXPECT_FALSE(runner.hasThread(deaf));
  EXPECT_FALSE(runner.waitForThreads(std::chrono::milliseconds(50)));
  EXPECT_FALSE(returned.load());

  std::thread releaser([&] { release = true; });
  EXPECT_TRUE(runner.waitForThreads(std::chrono::milliseconds(10'000)));
  EXPECT_TRUE(returned.load());
  releaser.join();

  const std::int32_t polite = runner.createThread("polite", loopUntilEnd);
  runner.startThread(polite);
  runner.endThread(polite);
  EXPECT_TRUE(runner.waitForThreads(std::chrono::milliseconds(10'000)));
  EXPECT_EQ(runner.getThread(polite)->getState(), Thread::kStateEnded);
}

}  // namespace
}  // namespace ZelcorCorelib
