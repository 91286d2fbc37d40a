#include "threads/Thread.h"

#include <chrono>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "errors/RawLog.h"
#include "platform/Threads.h"
#include "threads/ThreadMessages.h"
#include "time/DateTime.h"

namespace ZelcorCorelib {

namespace {

const char* const kUndefined = "@thread.undefined{Thread is not defined};";
const char* const kAlreadyStarted =
    "@thread.start.already-started{Trying to start thread \"%\" that is already started};";
const char* const kFailedToStart =
    "@thread.start.failed-to-start{Failed to start thread \"%\" (error=%)};";
const char* const kNotSuspended =
    "@thread.resume.not-suspended{Trying to resume \"%\", but the thread is not suspended};";
const char* const kEndNotStarted =
    "@thread.end.not-started{Trying to end \"%\", but the thread has not been started};";
const char* const kKillNotStarted =
    "@thread.kill.not-started{Trying to kill \"%\", but the thread has not been started};";
const char* const kFailedToKill =
    "@thread.kill.failed-to-kill{Failed to kill thread \"%\" (error=%)};";
const char* const kUpdateNotRunning =
    "@thread.update.not-running{Trying to update \"%\", but the thread is not running};";
const char* const kEndedByException =
    "@thread.run.ended-by-exception{Thread \"%\" ended by an exception: %};";

constexpr int kDestroyWaitChecks = 50;
constexpr auto kDestroyWaitStep = std::chrono::milliseconds(10);
constexpr auto kShouldEndPause = std::chrono::milliseconds(2);

bool startedState(std::int32_t state) {
  return state == Thread::kStateRunning || state == Thread::kStateSuspended ||
         state == Thread::kStateEnding;
}

std::int64_t now() { return DateTime::now().getCount(); }

// Threads sit below the bus: their lines go through the raw log sink, under the source name
// their own loggers had.
constexpr std::string_view kLogSource = "Thread";

template <typename... V>
void trace(const char* text, const V&... values) {
  if (rawLogEnabled(kLogTrace)) rawLog(kLogTrace, kLogSource, text, makeParams(values...));
}

// Moves state from one of the from values to target, unless it has become something else.
bool moveState(std::atomic<std::int32_t>& state, std::initializer_list<std::int32_t> from,
               std::int32_t target) {
  std::int32_t current = state.load();
  for (;;) {
    bool allowed = false;
    for (std::int32_t value : from) allowed = allowed || current == value;
    if (!allowed) return false;
    if (state.compare_exchange_weak(current, target)) return true;
  }
}

}  // namespace

// The handle owners hold: losing the last one is what destroying the Thread means to them,
// while the running function keeps the record itself alive.
struct Thread::Owner {
  explicit Owner(std::shared_ptr<Thread> thread) : record(std::move(thread)) {}
  ~Owner() { record->release(); }
  std::shared_ptr<Thread> record;
};

std::shared_ptr<Thread> Thread::create(std::string name, Function function, Parameters parameters) {
  auto record =
      std::make_shared<Thread>(Key(), std::move(name), std::move(function), std::move(parameters));
  auto owner = std::make_shared<Owner>(record);
  return std::shared_ptr<Thread>(owner, record.get());
}

Thread::Thread(Key, std::string name, Function function, Parameters parameters)
    : name(std::move(name)),
      function(std::move(function)),
      parameters(std::move(parameters)),
      state(this->function ? kStateDefined : kStateUndefined) {}

Thread::~Thread() {
  // Only reached once the function has returned; join reaps the finished platform thread.
  if (handle.joinable()) {
    if (handle.get_id() == std::this_thread::get_id()) {
      handle.detach();
    } else {
      handle.join();
    }
  }
}

void Thread::requireDefined() const {
  if (state.load() == kStateUndefined || !function) ZELCOR_THROW(Thread_Undefined, kUndefined);
}

bool Thread::isStarted() const { return startedState(state.load()); }

void Thread::start() {
  requireDefined();
  trace("Thread::start: Going to start %", name);
  std::lock_guard<std::mutex> guard(control);
  if (isStarted() || inFunction.load()) ZELCOR_THROW(Start_AlreadyStarted, kAlreadyStarted, name);
  if (handle.joinable()) handle.join();  // the earlier run has returned
  {
    std::lock_guard<std::mutex> gate(startMutex);
    workerReady = false;
    workerGo = false;
  }
  killed.store(false);
  inFunction.store(true);
  try {
    handle = std::thread(&Thread::runWorker, shared_from_this());
  } catch (const std::system_error& failure) {
    inFunction.store(false);
    ZELCOR_THROW(Start_FailedToStart, kFailedToStart, name, failure.code().value());
  } catch (const std::bad_alloc&) {
    inFunction.store(false);
    ZELCOR_THROW(Start_FailedToStart, kFailedToStart, name,
                 static_cast<int>(std::errc::not_enough_memory));
  }
  {
    std::unique_lock<std::mutex> gate(startMutex);
    startChanged.wait(gate, [this] { return workerReady; });
    std::int64_t started = now();
    startTime.store(started);
    lastUpdate.store(started);
    state.store(kStateRunning);
    workerGo = true;
  }
  startChanged.notify_all();
  trace("Thread::start: Started %", name);
}

void Thread::runWorker(std::shared_ptr<Thread> self) {
  ThreadMessageQueue queue;
  platform::setCurrentThreadName(self->name);
  {
    std::unique_lock<std::mutex> gate(self->startMutex);
    self->threadId.store(platform::currentThreadId());
    self->workerReady = true;
    self->startChanged.notify_all();
    self->startChanged.wait(gate, [&self] { return self->workerGo; });
  }
  self->runFunction();
}

void Thread::runFunction() {
  try {
    function(this);
  } catch (const Exception& escaped) {
    Run_EndedByException report(kEndedByException, ZELCOR_HERE,
                                makeParams(name, escaped.getClassName()));
    report.addNested(escaped);
    reportEscaped(std::move(report));
  } catch (const std::exception& escaped) {
    reportEscaped(
        Run_EndedByException(kEndedByException, ZELCOR_HERE, makeParams(name, escaped.what())));
  } catch (...) {
    reportEscaped(Run_EndedByException(kEndedByException, ZELCOR_HERE,
                                       makeParams(name, "unknown exception")));
  }
  markEnded();
  {
    std::lock_guard<std::mutex> guard(functionMutex);
    inFunction.store(false);
  }
  functionReturned.notify_all();
}

bool Thread::waitForFunction(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> gate(functionMutex);
  return functionReturned.wait_for(gate, timeout, [this] { return !inFunction.load(); });
}

void Thread::reportEscaped(Exception escaped) {
  succeeded.store(0);
  try {
    if (rawLogEnabled(kLogWarning)) {
      for (const ExceptionRecord& record : escaped.logRecords()) {
        rawLog(kLogWarning, kLogSource, record.text, record.parameters);
      }
    }
  } catch (...) {
    // The thread ends either way; a failed log line must not take the process with it.
  }
}

void Thread::markEnded() { moveState(state, {kStateRunning, kStateEnding}, kStateEnded); }

void Thread::finish(bool success) {
  succeeded.store(success ? 1 : 0);
  markEnded();
}

template <typename Failure>
void Thread::resumeWhileSuspended() {
  while (state.load() == kStateSuspended) {
    try {
      resume();
    } catch (const Exception& failure) {
      ZELCOR_THROW_WRAPPED(Failure, failure);
    }
  }
}

void Thread::end() {
  requireDefined();
  trace("Thread::end: Going to signal thread % to end", name);
  if (!isStarted()) ZELCOR_THROW(End_NotStarted, kEndNotStarted, name);
  resumeWhileSuspended<End_FailedToResume>();
  if (state.load() != kStateEnding && !moveState(state, {kStateRunning}, kStateEnding)) {
    // It ended or was killed meanwhile.
    ZELCOR_THROW(End_NotStarted, kEndNotStarted, name);
  }
  trace("Thread::end: Thread \"%\" has been signalled to end", name);
}

bool Thread::shouldEnd() {
  std::this_thread::sleep_for(kShouldEndPause);
  // Checked first: a killed garbage thread is undefined, and must still be let go.
  if (!killed.load()) {
    requireDefined();
    if (state.load() != kStateEnding) {
      std::optional<std::uint32_t> message = takeThreadMessage();
      if (message && (*message == kWmClose || *message == kWmDestroy)) {
        moveState(state, {kStateRunning}, kStateEnding);
      }
    }
    if (state.load() != kStateEnding) return false;
  }
  trace("Thread::shouldEnd: Got end signal");
  return true;
}

void Thread::update() {
  requireDefined();
  if (state.load() != kStateRunning) ZELCOR_THROW(Update_NotRunning, kUpdateNotRunning, name);
  lastUpdate.store(now());
}

void Thread::kill() {
  requireDefined();
  trace("Thread::kill: Going to kill thread %", name);
  std::lock_guard<std::mutex> guard(control);
  if (!isStarted()) ZELCOR_THROW(Kill_NotStarted, kKillNotStarted, name);
  resumeWhileSuspended<Kill_FailedToResume>();
  killed.store(true);
  if (handle.joinable()) {
    try {
      handle.detach();
    } catch (const std::system_error& failure) {
      killed.store(false);
      ZELCOR_THROW(Kill_FailedToKill, kFailedToKill, name, failure.code().value());
    }
  }
  threadId.store(0);
  state.store(garbage.load() ? kStateUndefined : kStateKilled);
  trace("Thread::kill: Thread \"%\"has been killed", name);
}

void Thread::resume() {
  requireDefined();
  trace("Thread::resume: Going to resume %", name);
  if (state.load() != kStateSuspended) ZELCOR_THROW(Resume_NotSuspended, kNotSuspended, name);
  // Nothing suspends a platform thread here, so there is nothing to resume but the count.
  std::int32_t left = suspendCount.fetch_sub(1) - 1;
  if (left <= 0) {
    suspendCount.store(0);
    moveState(state, {kStateSuspended}, kStateRunning);
    trace("Thread::resume: Thread \"%\" has been resumed", name);
  } else {
    trace("Thread::resume: Suspend counter reduced to % - cannot do actual resume until it is zero",
          left);
  }
}

void Thread::makeGarbage(bool kill) {
  requireDefined();
  if (!isStarted()) {
    state.store(kStateUndefined);
    return;
  }
  if (!kill) {
    garbage.store(true);
    return;
  }
  try {
    this->kill();
  } catch (const Exception& failure) {
    // A thread whose function returned meanwhile needs no kill.
    if (isStarted()) ZELCOR_THROW_WRAPPED(MakeUndefined_KillError, failure);
  }
  state.store(kStateUndefined);
}

void Thread::release() noexcept {
  try {
    if (!stopOnDestroy.load() || !isStarted()) return;
    if (threadId.load() == platform::currentThreadId()) {
      // The function let go of its own last handle: it cannot wait for itself.
      if (state.load() != kStateEnding) end();
      return;
    }
    if (state.load() != kStateEnding) {
      end();
      for (int check = 0; check < kDestroyWaitChecks && isStarted(); ++check) {
        std::this_thread::sleep_for(kDestroyWaitStep);
      }
    } else {
      kill();
    }
    if (isStarted()) kill();
  } catch (...) {
    // Losing a handle cannot fail; a thread that ended meanwhile needs nothing more.
  }
}

}  // namespace ZelcorCorelib
