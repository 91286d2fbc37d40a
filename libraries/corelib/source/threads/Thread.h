// One worker thread: a name, a thread function, the parameter objects it owns, and a small
// state machine with a cooperative end protocol. ThreadRunner creates, starts and disposes of
// threads; the command listener and the file logger's writer thread run on them.
//
// The thread function runs on the new thread with the Thread as its argument. It loops, calling
// update() once per pass and leaving when shouldEnd() is true, and calls finish() last. An
// exception that escapes it ends the thread as a failure (logged at warning level through the
// raw log sink, since threads sit below the bus); a function that returns without finish() is
// marked ended all the same, so the state never claims a thread is running when its function
// has returned.
//
// Ownership: a Thread exists only inside std::shared_ptr (create). The running function holds
// the record itself, so neither kill nor the owner letting go frees what the function uses; the
// record and its parameters die when the last holder is done. When the last owner handle (those
// create returns and their copies) goes while the thread is started and stopOnDestroy is set,
// the thread is asked to end, given 0.5 s to do so, and then killed.
//
// kill cannot terminate a thread on POSIX: it marks the thread killed (its shouldEnd answers
// true from then on), detaches it and forgets its id. So every thread function must end by
// itself once asked, and may not rely on objects of its owner outliving a kill.
//
// Threads: start, end, kill, resume, makeGarbage and the getters may be called from any thread;
// update, shouldEnd and finish belong to the thread function. The state is one atomic word,
// read without a lock. Nothing here suspends a thread, so state 3 is never entered.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "errors/Exception.h"

namespace ZelcorCorelib {

class ThreadRunner;

class Thread : public Throws, public std::enable_shared_from_this<Thread> {
  struct Key {
    explicit Key() = default;
  };

 public:
  ZELCOR_EXCEPTION(Thread_Undefined);
  ZELCOR_EXCEPTION(Start_AlreadyStarted);
  ZELCOR_EXCEPTION(Start_FailedToStart);
  ZELCOR_EXCEPTION(Resume_NotSuspended);
  ZELCOR_EXCEPTION(Resume_FailedToResume);
  ZELCOR_EXCEPTION(End_NotStarted);
  ZELCOR_EXCEPTION(End_FailedToResume);
  ZELCOR_EXCEPTION(Kill_NotStarted);
  ZELCOR_EXCEPTION(Kill_FailedToKill);
  ZELCOR_EXCEPTION(Kill_FailedToResume);
  ZELCOR_EXCEPTION(Update_NotRunning);
  ZELCOR_EXCEPTION(MakeUndefined_KillError);
  // Logged (never thrown) when an exception leaves a thread function.
  ZELCOR_EXCEPTION(Run_EndedByException);

  static constexpr std::int32_t kStateUndefined = 0;
  static constexpr std::int32_t kStateDefined = 1;
  static constexpr std::int32_t kStateRunning = 2;
  static constexpr std::int32_t kStateSuspended = 3;
  static constexpr std::int32_t kStateEnding = 4;
  static constexpr std::int32_t kStateEnded = 5;
  static constexpr std::int32_t kStateKilled = 6;

  // Base of the parameter objects a thread owns; the function casts to the type it expects.
  class Parameter {
   public:
    virtual ~Parameter() = default;
  };
  using Parameters = std::vector<std::unique_ptr<Parameter>>;
  using Function = std::function<void(Thread*)>;

  // An empty function gives an undefined thread (state 0), on which every operation throws
  // Thread_Undefined. Throws std::bad_alloc.
  static std::shared_ptr<Thread> create(std::string name, Function function,
                                        Parameters parameters = {});
  Thread(Key, std::string name, Function function, Parameters parameters);
  ~Thread() override;

  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Returns once the new thread exists and knows its id; the function then runs in state 2.
  // Throws Thread_Undefined, Start_AlreadyStarted (also while the function of an earlier,
  // killed run has not yet returned), Start_FailedToStart.
  void start();
  // Asks the thread to end (state 4) and returns at once. Throws Thread_Undefined,
  // End_NotStarted, End_FailedToResume.
  void end();
  // Throws Thread_Undefined, Kill_NotStarted, Kill_FailedToKill, Kill_FailedToResume.
  void kill();
  // Requires: called on the thread itself. Throws Thread_Undefined, Update_NotRunning.
  void update();
  // Requires: called on the thread itself. Sleeps 2 ms, which paces the function's loop; takes
  // one message from the thread's queue (WM_CLOSE and WM_DESTROY ask it to end, others are
  // dropped). True once the thread is asked to end or has been killed. Throws Thread_Undefined.
  bool shouldEnd();
  // Counts down a suspension; only the count exists on POSIX. Throws Thread_Undefined,
  // Resume_NotSuspended.
  void resume();
  // Started: kill false marks it for disposal once it ends, kill true kills it; not started:
  // state 0. Throws Thread_Undefined, MakeUndefined_KillError.
  void makeGarbage(bool kill);
  // Requires: called on the thread itself, as the function's last step. Records the result and
  // moves a running or ending thread to state 5; a killed thread stays killed.
  void finish(bool success);

  // State 2, 3 or 4.
  bool isStarted() const;
  // Whether the function of the latest run is still executing (also after a kill).
  bool isFunctionRunning() const { return inFunction.load(); }
  // Until the function of the latest run has returned, at most the timeout; true when it has
  // (or never ran). Requires: not called on the thread itself.
  bool waitForFunction(std::chrono::milliseconds timeout);
  bool isKilled() const { return killed.load(); }

  const std::string& getName() const { return name; }
  std::int32_t getState() const { return state.load(); }
  // The kernel id of the thread; 0 before start and after kill.
  std::uint32_t getThreadId() const { return threadId.load(); }
  std::int64_t getStartTime() const { return startTime.load(); }
  std::int64_t getLastUpdate() const { return lastUpdate.load(); }
  std::int32_t getSuspendCount() const { return suspendCount.load(); }
  std::uint8_t getSucceeded() const { return succeeded.load(); }
  void setSucceeded(std::uint8_t value) { succeeded.store(value); }
  bool isGarbage() const { return garbage.load(); }
  bool getStopOnDestroy() const { return stopOnDestroy.load(); }
  void setStopOnDestroy(bool value) { stopOnDestroy.store(value); }
  ThreadRunner* getRunner() const { return runner.load(); }
  void setRunner(ThreadRunner* value) { runner.store(value); }

  const Parameters& getParameters() const { return parameters; }
  // nullptr when index is out of range or the parameter is of another type.
  template <typename T>
  T* getParameter(std::size_t index) const {
    return index < parameters.size() ? dynamic_cast<T*>(parameters[index].get()) : nullptr;
  }

 private:
  struct Owner;

  static void runWorker(std::shared_ptr<Thread> self);
  void runFunction();
  void reportEscaped(Exception escaped);
  void markEnded();
  void requireDefined() const;
  template <typename Failure>
  void resumeWhileSuspended();
  // What losing the last owner handle does.
  void release() noexcept;

  std::atomic<bool> stopOnDestroy{true};
  std::atomic<std::uint32_t> threadId{0};
  const std::string name;
  std::thread handle;  // guarded by control
  const Function function;
  std::atomic<ThreadRunner*> runner{nullptr};
  const Parameters parameters;
  std::atomic<std::int32_t> state;
  std::atomic<std::int64_t> startTime{0};
  std::atomic<std::int64_t> lastUpdate{0};
  std::atomic<std::int32_t> suspendCount{0};
  std::atomic<std::uint8_t> succeeded{0};
  std::atomic<bool> garbage{false};

  std::atomic<bool> killed{false};
  std::atomic<bool> inFunction{false};
  // Notified, under functionMutex, when the function returns.
  std::mutex functionMutex;
  std::condition_variable functionReturned;
  // Serialises start and kill, the operations that touch handle.
  std::mutex control;
  // The start handshake: the worker reports its id, then waits until start has set state 2.
  std::mutex startMutex;
  std::condition_variable startChanged;
  bool workerReady = false;
  bool workerGo = false;
};

}  // namespace ZelcorCorelib
