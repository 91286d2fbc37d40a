// A registry of threads under numeric identifiers: creates them, starts, ends and kills them,
// and disposes of them once they are garbage. The command listener and the file logger derive
// from it. Identifiers come from one process-wide counter (from 1, one per thread created by
// any runner), so they are unique across runners and never 0.
//
// Threads: every operation may be called from any thread. The runner's ThreadLock serialises
// them, and thread operations called through the runner run while it is held: a thread function
// must not call operations of its own runner that wait for it.
//
// Ownership: the runner holds the owner handle of each of its threads; getThread shares it. A
// thread that is killed or disposed of keeps its record until its function returns, but its
// runner pointer is cleared once the runner lets go of it. The runner still knows such a
// thread until its function has returned, so that an owner whose threads use its members can
// wait for them (waitForThreads) before those members go.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "errors/Exception.h"
#include "threads/Thread.h"
#include "threads/ThreadLock.h"

namespace ZelcorCorelib {

class ThreadRunner : public Throws {
 public:
  ZELCOR_EXCEPTION(CreateThread_NullParameter);
  ZELCOR_EXCEPTION(CreateThread_OutOfMemory);
  ZELCOR_EXCEPTION(Thread_NotFound);
  ZELCOR_EXCEPTION(Start_FailedToStart);
  ZELCOR_EXCEPTION(End_FailedToEnd);
  ZELCOR_EXCEPTION(Kill_FailedToKill);
  ZELCOR_EXCEPTION(SendToGarbage_AlreadyGarbage);

  ThreadRunner() = default;
  // Kills every thread, then disposes of all; nothing is thrown.
  ~ThreadRunner() override;

  ThreadRunner(const ThreadRunner&) = delete;
  ThreadRunner& operator=(const ThreadRunner&) = delete;

  // The thread is created, not started. Throws CreateThread_NullParameter,
  // CreateThread_OutOfMemory.
  std::int32_t createThread(std::string name, Thread::Function function,
                            Thread::Parameters parameters = {});
  // Each throws its own exception (Start_FailedToStart, End_FailedToEnd, Kill_FailedToKill)
  // carrying the cause, Thread_NotFound included.
  void startThread(std::int32_t id);
  void endThread(std::int32_t id);
  void killThread(std::int32_t id);

  bool hasThread(std::int32_t id) const;
  // Throws Thread_NotFound.
  std::shared_ptr<Thread> getThread(std::int32_t id) const;

  // Throws SendToGarbage_AlreadyGarbage for a thread already disposed of, Thread_NotFound, and
  // what makeGarbage throws.
  void sendToGarbage(std::int32_t id, bool kill);
  // Exceptions of single threads are dropped, so that the others are still disposed of.
  void sendAllToGarbage(bool kill);
  // Removes the threads in state 0, and those marked garbage that have ended.
  void collectGarbage();
  // Until no thread function of this runner runs any more, disposed and killed threads
  // included, at most the timeout; true when none does. Requires: not called from a thread
  // function of this runner (it would wait for itself). The lock is not held while waiting.
  bool waitForThreads(std::chrono::milliseconds timeout);

 private:
  // Requires: lock held. Throws Thread_NotFound.
  const std::shared_ptr<Thread>& findThread(std::int32_t id) const;

  std::map<std::int32_t, std::shared_ptr<Thread>> threads;
  // Let go of while their function still ran; dropped once it has returned.
  std::vector<std::shared_ptr<Thread>> leaving;
  mutable ThreadLock lock;
};

}  // namespace ZelcorCorelib
