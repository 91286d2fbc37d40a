#include "threads/ThreadRunner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <utility>

namespace ZelcorCorelib {

namespace {

const char* const kNullParameter =
    "@thread-runner.create-thread.null-parameter{One or more of the parameters was NULL};";
const char* const kOutOfMemory = "@out-of-memory{Out of memory};";
const char* const kNotFound =
    "@thread.not-found{Trying to access thread %, but that thread does not exist};";

// Gives threads in the middle of ending a moment before they are disposed of.
constexpr auto kEndingGrace = std::chrono::milliseconds(50);

std::int32_t nextThreadId() {
  static std::atomic<std::int32_t> counter{0};
  return counter.fetch_add(1) + 1;
}

}  // namespace

ThreadRunner::~ThreadRunner() {
  try {
    sendAllToGarbage(true);
    collectGarbage();
    ThreadLockGuard guard(lock);
    for (auto& entry : threads) {
      if (entry.second) entry.second->setRunner(nullptr);
    }
  } catch (...) {
    // A destructor reports nothing; what is left goes with the map.
  }
}

std::int32_t ThreadRunner::createThread(std::string name, Thread::Function function,
                                        Thread::Parameters parameters) {
  for (const auto& parameter : parameters) {
    if (!parameter) ZELCOR_THROW(CreateThread_NullParameter, kNullParameter);
  }
  std::shared_ptr<Thread> thread;
  try {
    thread = Thread::create(std::move(name), std::move(function), std::move(parameters));
  } catch (const std::bad_alloc&) {
    ZELCOR_THROW(CreateThread_OutOfMemory, kOutOfMemory);
  }
  thread->setRunner(this);
  ThreadLockGuard guard(lock);
  std::int32_t id = nextThreadId();
  // After some two thousand million threads the counter wraps; never hand out 0 or an id that
  // is still in use.
  while (id <= 0 || threads.count(id) != 0) id = nextThreadId();
  threads.emplace(id, std::move(thread));
  return id;
}

const std::shared_ptr<Thread>& ThreadRunner::findThread(std::int32_t id) const {
  auto found = threads.find(id);
  if (found == threads.end() || !found->second) ZELCOR_THROW(Thread_NotFound, kNotFound, id);
  return found->second;
}

void ThreadRunner::startThread(std::int32_t id) {
  ThreadLockGuard guard(lock);
  try {
    const std::shared_ptr<Thread>& thread = findThread(id);
    thread->setRunner(this);
    thread->start();
  } catch (const Exception& cause) {
    ZELCOR_THROW_WRAPPED(Start_FailedToStart, cause);
  }
}

void ThreadRunner::endThread(std::int32_t id) {
  ThreadLockGuard guard(lock);
  try {
    findThread(id)->end();
  } catch (const Exception& cause) {
    ZELCOR_THROW_WRAPPED(End_FailedToEnd, cause);
  }
}

void ThreadRunner::killThread(std::int32_t id) {
  ThreadLockGuard guard(lock);
  try {
    findThread(id)->kill();
  } catch (const Exception& cause) {
    ZELCOR_THROW_WRAPPED(Kill_FailedToKill, cause);
  }
}

bool ThreadRunner::hasThread(std::int32_t id) const {
  ThreadLockGuard guard(lock);
  auto found = threads.find(id);
  return found != threads.end() && found->second;
}

std::shared_ptr<Thread> ThreadRunner::getThread(std::int32_t id) const {
  ThreadLockGuard guard(lock);
  return findThread(id);
}

void ThreadRunner::sendToGarbage(std::int32_t id, bool kill) {
  ThreadLockGuard guard(lock);
  const std::shared_ptr<Thread>& thread = findThread(id);
  try {
    thread->makeGarbage(kill);
  } catch (const Thread::Thread_Undefined& cause) {
    ZELCOR_THROW_WRAPPED(SendToGarbage_AlreadyGarbage, cause);
  } catch (Exception& failure) {
    failure.addLocation(ZELCOR_HERE);
    throw;
  }
}

void ThreadRunner::sendAllToGarbage(bool kill) {
  ThreadLockGuard guard(lock);
  bool gaveGrace = false;
  for (auto& entry : threads) {
    const std::shared_ptr<Thread>& thread = entry.second;
    if (!thread || thread->getState() == Thread::kStateUndefined) continue;
    if (!gaveGrace && thread->getState() == Thread::kStateEnding) {
      gaveGrace = true;
      std::this_thread::sleep_for(kEndingGrace);
    }
    try {
      thread->makeGarbage(kill);
    } catch (const Exception&) {
      // One thread that cannot be disposed of must not keep the others.
    }
  }
}

void ThreadRunner::collectGarbage() {
  ThreadLockGuard guard(lock);
  for (auto entry = threads.begin(); entry != threads.end();) {
    const std::shared_ptr<Thread>& thread = entry->second;
    // A garbage thread ends in state 5 or 6, not 0; it was meant to go once it ended.
    bool disposable = !thread || thread->getState() == Thread::kStateUndefined ||
                      (thread->isGarbage() && !thread->isStarted());
    if (!disposable) {
      ++entry;
      continue;
    }
    if (thread) thread->setRunner(nullptr);
    if (thread && thread->isFunctionRunning()) leaving.push_back(thread);
    entry = threads.erase(entry);
  }
  std::erase_if(leaving,
                [](const std::shared_ptr<Thread>& thread) { return !thread->isFunctionRunning(); });
}

bool ThreadRunner::waitForThreads(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  std::vector<std::shared_ptr<Thread>> running;
  {
    ThreadLockGuard guard(lock);
    for (const auto& entry : threads) {
      if (entry.second && entry.second->isFunctionRunning()) running.push_back(entry.second);
    }
    for (const auto& thread : leaving) {
      if (thread->isFunctionRunning()) running.push_back(thread);
    }
  }
  for (const auto& thread : running) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (!thread->waitForFunction(std::max(left, std::chrono::milliseconds(0)))) return false;
  }
  return true;
}

}  // namespace ZelcorCorelib
