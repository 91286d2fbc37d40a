#include "threads/ThreadLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/Ims.h"
#include "bus/ImsMessage.h"
#include "bus/Logger.h"
#include "platform/Threads.h"

namespace ZelcorCorelib {
namespace {

TEST(ThreadLock, IsRecursiveForItsOwner) {
  ThreadLock lock;
  EXPECT_EQ(lock.getOwner(), 0u);
  EXPECT_FALSE(lock.unlock()) << "never locked";
  EXPECT_TRUE(lock.lock());
  EXPECT_TRUE(lock.lock(false)) << "the owner never waits, blocking or not";
  EXPECT_EQ(lock.getCount(), 2);
  EXPECT_EQ(lock.getOwner(), platform::currentThreadId());

  EXPECT_TRUE(lock.unlock());
  EXPECT_EQ(lock.getCount(), 1) << "still held after one of two unlocks";
  EXPECT_EQ(lock.getOwner(), platform::currentThreadId());
  EXPECT_TRUE(lock.unlock());
  EXPECT_EQ(lock.getCount(), 0);
  EXPECT_EQ(lock.getOwner(), 0u);
  EXPECT_FALSE(lock.unlock()) << "no longer owned";
}

TEST(ThreadLock, OtherThreadsCannotTakeOrReleaseAHeldLock) {
  ThreadLock lock;
  ASSERT_TRUE(lock.lock());
  auto other = std::async(std::launch::async, [&] {
    const bool tried = lock.lock(false);
    const bool released = lock.unlock();
    return std::make_pair(tried, released);
  });
  const auto [tried, released] = other.get();
  EXPECT_FALSE(tried) << "non-blocking attempt returns at once";
  EXPECT_FALSE(released);
  EXPECT_EQ(lock.getCount(), 1) << "nothing changed";
  EXPECT_EQ(lock.getOwner(), platform::currentThreadId());
  EXPECT_TRUE(lock.unlock());
}

TEST(ThreadLock, BlockingLockWaitsForTheRelease) {
  ThreadLock lock;
  ASSERT_TRUE(lock.lock());
  std::promise<void> waiting;
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    waiting.set_value();
    EXPECT_TRUE(lock.lock());
    acquired = true;
    EXPECT_EQ(lock.getOwner(), platform::currentThreadId());
    EXPECT_TRUE(lock.unlock());
  });
  waiting.get_future().wait();
  EXPECT_FALSE(acquired);
  EXPECT_TRUE(lock.unlock());
  other.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(lock.getOwner(), 0u);
}

TEST(ThreadLock, GuardHoldsForOneScopeAndCountersStayExact) {
  ThreadLock lock;
  long total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ThreadLockGuard outer(lock);
        ThreadLockGuard inner(lock);
        ++total;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(total, 8000);
  EXPECT_EQ(lock.getCount(), 0);
}

// Flood lines of the lock logger ("ThreadLock") that this thread sends, caught on the bus.
class FloodCapture : public ImsAgent {
 public:
  FloodCapture() : ImsAgent("flood-capture") {
    id = setMessageHook(false, "debug", "debug", "8", 1);
  }
  ~FloodCapture() override { removeMessageHook(id); }
  ImsResult receiveHookedMessage(std::uint64_t, ImsMessage& message) override {
    auto* record = static_cast<Logger::LogMessageParameter*>(message.getParameter());
    if (record->sourceName != "ThreadLock") return ImsResult::NotHandled;
    // Like the file logger: its own lock, taken while a record is delivered.
    ThreadLockGuard guard(ownLock);
    if (record->threadId == watched) {
      std::string line = record->text;
      if (record->parameters.size() == 1) {
        line += " | " + primitiveToText(record->parameters.getPrimitives()[0]);
      }
      if (record->parameters.size() == 2) {
        line += " | " + primitiveToText(record->parameters.getPrimitives()[1]);
      }
      lines.push_back(line);
    }
    ++total;
    return ImsResult::Handled;
  }
  std::uint64_t id = 0;
  std::uint32_t watched = platform::currentThreadId();
  std::vector<std::string> lines;
  std::atomic<long> total{0};
  ThreadLock ownLock;
};

// Turns flood on for every logger and back to the defaults afterwards.
class FloodOn {
 public:
  FloodOn() { setAll(kLogFlood); }
  ~FloodOn() { setAll(kLogTrace); }

 private:
  static void setAll(int level) {
    setLevelCeiling(level);
    ImsAgent sender("flood-switch");
    ImsMessage message("debug", "level", std::to_string(level));
    sender.sendMessage(message);
  }
};

TEST(ThreadLock, FloodLinesDescribeEachStep) {
  FloodCapture capture;
  ThreadLock lock;
  std::string owner;
  {
    FloodOn flood;
    lock.lock();
    lock.lock(false);
    lock.unlock();
    lock.unlock();
    std::promise<void> held, release;
    std::thread other([&] {
      lock.lock();
      held.set_value();
      release.get_future().wait();
      lock.unlock();
    });
    held.get_future().wait();
    owner = std::to_string(lock.getOwner());
    lock.lock(false);
    lock.unlock();
    release.set_value();
    other.join();
  }
  const std::vector<std::string> expected = {
      "ThreadLock::lock: Going to lock % (%) | blocking",
      "ThreadLock::lock: Locked",
      "ThreadLock::lock: Going to lock % (%) | non-blocking",
      "ThreadLock::lock: Already locked",
      "ThreadLock::unlock: Going to unlock %",
      "ThreadLock::unlock: Nested locking (now at level % - actual unlock at zero) | 1",
      "ThreadLock::unlock: Going to unlock %",
      "ThreadLock::unlock: Unlocked",
      "ThreadLock::lock: Going to lock % (%) | non-blocking",
      "ThreadLock::lock: Failed to lock - lock belongs to thread % | " + owner,
      "ThreadLock::unlock: Going to unlock %",
      "ThreadLock::unlock: Cannot unlock - locked by other thread % | " + owner,
  };
  // Lines of the capture's own lock would be a lock reporting on the delivery of a lock's
  // record; they must not appear, or the capture would recurse.
  std::vector<std::string> lockLines;
  for (const std::string& line : capture.lines) {
    if (line.rfind("ThreadLock::", 0) == 0) lockLines.push_back(line);
  }
  for (std::string& line : lockLines) {
    if (line.rfind("ThreadLock::unlock: Going to unlock % | 0x", 0) == 0) {
      line = "ThreadLock::unlock: Going to unlock %";
    }
  }
  EXPECT_EQ(lockLines, expected);

  const long afterwards = capture.total;
  lock.lock(false);
  EXPECT_EQ(capture.total, afterwards) << "flood off again: nothing sent";
}

TEST(ThreadLock, DestroyingAHeldLockReleasesItOnce) {
  FloodCapture capture;
  auto lock = std::make_unique<ThreadLock>();
  lock->lock();
  lock->lock();
  lock->lock();
  {
    FloodOn flood;
    lock.reset();
  }
  ASSERT_EQ(capture.lines.size(), 2u);
  EXPECT_EQ(capture.lines[0].rfind("ThreadLock::unlock: Going to unlock % | 0x", 0), 0u);
  EXPECT_EQ(capture.lines[1], "ThreadLock::unlock: Unlocked") << "fully, in one step";
}

TEST(ThreadLock, ALockThatIsNotFloodLoggedStaysSilent) {
  FloodCapture capture;
  ThreadLock quiet(false);
  {
    FloodOn flood;
    quiet.lock();
    quiet.unlock();
  }
  EXPECT_TRUE(capture.lines.empty());
}

// Many threads lock their own and a shared lock while every step is logged, and the records'
// receiver takes a lock of its own: nothing may deadlock or recurse.
TEST(ThreadLock, FloodLoggingFromManyThreadsNeitherDeadlocksNorRecurses) {
  FloodCapture capture;
  ThreadLock shared;
  {
    FloodOn flood;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        ThreadLock own;
        for (int i = 0; i < 100; ++i) {
          ThreadLockGuard outer(own);
          ThreadLockGuard inner(shared);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  // Each guarded pair gives 2 lines per lock and unlock step: 4 threads x 100 x 2 locks x 4.
  EXPECT_GE(capture.total, 4 * 100 * 2 * 4);
  EXPECT_EQ(shared.getCount(), 0);
}

}  // namespace
}  // namespace ZelcorCorelib
