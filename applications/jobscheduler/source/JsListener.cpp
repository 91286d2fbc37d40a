#include "JsListener.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "QueueController.h"
#include "base/NoDestructor.h"
#include "bus/Logger.h"

namespace Zelcor {

using ZelcorCorelib::Exception;
using ZelcorCorelib::Tcp;
using ZelcorCorelib::Thread;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kSourceFile = "applications/jobscheduler/source/JsListener";
const char* const kFailureLine = "% (Line: % File: %)";
const char* const kConnectionLost = "Connection to % lost.";

// How often an ending listener is noticed by a conversation that waits.
constexpr milliseconds kEndCheck{20};
// The time a thread that could not listen gets to end before startListening returns.
constexpr milliseconds kStartWait{10'000};
// How long startListening waits for a former thread in its last steps.
constexpr milliseconds kFormerEndWait{1000};
// endListener's wait for the thread to leave the running state.
constexpr milliseconds kExitWait{200};
// A failing accept (out of descriptors, say) is retried at this pace, not in a tight loop.
constexpr milliseconds kAcceptRetry{50};
constexpr milliseconds kWorkingInterval{1000};

// Never destroyed, so that a listener ended during process exit can still log.
ZelcorCorelib::Logger& listenerLogger() {
  static ZelcorCorelib::NoDestructor<ZelcorCorelib::Logger> logger("JsListener");
  return *logger;
}

void logFailure(const Exception& failure, int line) {
  // One line: the text may carry what a client sent, and must not forge log lines.
  listenerLogger().error(kFailureLine, failure.toLine(true), line, kSourceFile);
}

void logFailure(const std::exception& failure, int line) {
  listenerLogger().error(kFailureLine, std::string(failure.what()), line, kSourceFile);
}

}  // namespace

JsListener::JsListener() { setup(); }

JsListener::~JsListener() {
  endRequested.store(true);
  if (threadId != 0) {
    try {
      endListener();
    } catch (...) {
      // Ending is all that is left to do; what failed has been disposed of.
    }
  }
  // A thread that could not be ended (busy receiving a unit from a client) still uses this
  // object; it may also sit in an accept an earlier break did not reach, which a connection
  // wakes.
  while (!waitForThreads(kWorkingInterval)) breakAccept();
}

void JsListener::setup() {
  listenerLogger().debug("JsListener::setup: Constructing JobScheduler Listener.");
  threadId = 0;
  endRequested.store(false);
  commandCount.store(0);
}

void JsListener::startListening(std::int32_t listenPort, const std::string& address) {
  if (threadId != 0) throw Listener_AlreadyStarted("", ZELCOR_HERE);
  // A former thread that outlived an end it could not hear yet would share the socket.
  if (!waitForThreads(kFormerEndWait)) throw Listener_AlreadyStarted("", ZELCOR_HERE);
  collectGarbage();
  endRequested.store(false);
  port.store(listenPort);
  listenAddress = address;
  // Listening starts here, so the socket is whole before any break can reach it; a thread
  // that cannot listen is still started, and ends at once as failed, so its state tells.
  const bool listening = openListenSocket();
  try {
    threadId = createThread("listener",
                            [this, listening](Thread* thread) { listener(thread, listening); });
    startThread(threadId);
  } catch (Exception& failure) {
    closeListenSocket();
    failure.addLocation(ZELCOR_HERE);
    throw;
  }
  if (!listening) waitForThreads(kStartWait);
}

bool JsListener::openListenSocket() {
  try {
    listenSocket.setDeadlines(deadlines.tcp);
    listenSocket.setSharedSecret(sharedSecret);
    listenSocket.makeListener(port.load(), kListenerName, kProtocolKey, listenAddress);
    port.store(listenSocket.getPort());
    return true;
  } catch (const Exception& failure) {
    logFailure(failure, __LINE__);
    listenerLogger().error("@jslistener.listener.listen-fail{Cannot listen on port %};",
                           port.load());
    if (!listenAddress.empty()) {
      listenerLogger().error("@jslistener.listener.listen-address{The address was \"%\".};",
                             listenAddress);
    }
    return false;
  }
}

std::int32_t JsListener::threadState() const { return getThread(threadId)->getState(); }

bool JsListener::isListening() {
  if (threadId == 0 || !hasThread(threadId)) return false;
  if (threadState() == Thread::kStateRunning) return true;
  disposeThread();
  return false;
}

void JsListener::disposeThread() {
  try {
    sendToGarbage(threadId, true);
  } catch (const Exception&) {
    // Gone or disposed of already: either way no thread is left under this id.
  }
  threadId = 0;
  try {
    collectGarbage();
  } catch (const Exception&) {
    // The record goes with the runner at the latest.
  }
}

void JsListener::endListener() {
  listenerLogger().debug("JsListener::endListener: Ending JobScheduler Listener.");
  if (threadId == 0) throw Listener_NotStarted("", ZELCOR_HERE);
  bool running = false;
  try {
    running = hasThread(threadId) && threadState() == Thread::kStateRunning;
  } catch (Exception& failure) {
    disposeThread();
    failure.addLocation(ZELCOR_HERE);
    throw;
  }
  if (!running) {
    disposeThread();
    throw Listener_NotRunning("", ZELCOR_HERE);
  }

  endRequested.store(true);
  bool broken = false;
  std::exception_ptr breakFailure;
  try {
    std::lock_guard<std::mutex> guard(socketMutex);
    broken = listenSocket.stopListener();
  } catch (const Exception&) {
    breakFailure = std::current_exception();
  }
  bool ended = false;
  try {
    waitForThreads(kExitWait);
    ended = threadState() != Thread::kStateRunning;
  } catch (Exception& failure) {
    disposeThread();
    failure.addLocation(ZELCOR_HERE);
    throw;
  }
  disposeThread();
  // A thread that ended has ended, even where the break itself failed: it was busy with a
  // client's connect protocol, and saw the end request right after it.
  if (ended) return;
  if (breakFailure) {
    try {
      std::rethrow_exception(breakFailure);
    } catch (Exception& failure) {
      failure.addLocation(ZELCOR_HERE);
      throw;
    }
  }
  if (!broken) throw Listener_FailedToEnd("", ZELCOR_HERE);
  throw Listener_FailedToExitThread("", ZELCOR_HERE);
}

void JsListener::breakAccept() {
  try {
    std::lock_guard<std::mutex> guard(socketMutex);
    if (listenSocket.getSocket() != ZelcorCorelib::platform::kNoSocket) {
      listenSocket.stopListener();
    }
  } catch (const Exception&) {
    // Busy with a client's connect protocol: it ends right after that.
  }
}

void JsListener::closeListenSocket() {
  std::lock_guard<std::mutex> guard(socketMutex);
  listenSocket.close();
}

void JsListener::listener(Thread* thread, bool listening) {
  if (listening) {
    try {
      serveConnections(thread);
    } catch (const Exception& failure) {
      logFailure(failure, __LINE__);
    } catch (const std::exception& failure) {
      logFailure(failure, __LINE__);
    } catch (...) {
      listenerLogger().error("@jslistener.listener.unknown-fail{The listener failed};");
    }
  }
  // Whatever ended the loop, the socket is closed here: nobody would accept on it any more.
  closeListenSocket();
  std::this_thread::sleep_for(milliseconds(1));
  thread->finish(listening);
}

void JsListener::serveConnections(Thread* thread) {
  while (!thread->shouldEnd()) {
    try {
      thread->update();
    } catch (const Thread::Update_NotRunning&) {
      break;  // asked to end between the two calls
    }
    Tcp connection;
    bool accepted = false;
    try {
      accepted = listenSocket.listenForConnections(connection);
    } catch (const Tcp::Listen_NotTcpListener& failure) {
      logFailure(failure, __LINE__);
      break;  // nothing to accept on any more
    } catch (const Exception& failure) {
      if (endRequested.load()) break;
      // A client that fails the connect protocol is refused; the next one is served.
      logFailure(failure, __LINE__);
      listenerLogger().warning("@jslistener.listener.accept-fail{Refused connection from \"%\"};",
                               connection.getHost());
      continue;
    }
    if (endRequested.load()) break;
    if (!accepted) {
      listenerLogger().debug("JsListener::listener: Accept failed; trying again.");
      sleepUnlessEnding(static_cast<int>(kAcceptRetry.count()));
      continue;
    }
    const std::string host = connection.getHost();
    listenerLogger().debug("JsListener::listener: Got connection from %", host);
    try {
      handleConnection(connection);
    } catch (const Exception& failure) {
      logFailure(failure, __LINE__);
      listenerLogger().warning(kConnectionLost, host);
    } catch (const std::exception& failure) {
      logFailure(failure, __LINE__);
      listenerLogger().warning(kConnectionLost, host);
    } catch (...) {
      listenerLogger().warning(kConnectionLost, host);
    }
  }
}

bool JsListener::sleepUnlessEnding(int milliseconds) {
  const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!endRequested.load()) {
    const auto now = Clock::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kEndCheck));
  }
  return false;
}

bool JsListener::waitForData(Tcp& connection) {
  const auto deadline = Clock::now() + deadlines.conversation;
  for (;;) {
    if (endRequested.load()) return false;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    const int slice = static_cast<int>(std::clamp(left, milliseconds(0), kEndCheck).count());
    try {
      return connection.haveData(slice);
    } catch (const Tcp::HaveData_Timeout&) {
      if (Clock::now() >= deadline) throw;
    }
  }
}

void JsListener::handleConnection(Tcp& connection) {
  if (!waitForData(connection)) return;
  lastCode.store(connection.receiveCommand());
  while (lastCode.load() != kCodeEnd) {
    if (!waitForData(connection)) return;
    if (lastCode.load() == kCodeCommand) {
      std::int32_t value = 0;
      connection.receiveInt(value);
      command.store(value);
      if (!interpretCommand(value, connection)) return;
    }
    commandCount.fetch_add(1);
    if (!waitForData(connection)) return;
    lastCode.store(connection.receiveCommand());
  }
  connection.close();
}

bool JsListener::interpretCommand(std::int32_t value, Tcp& connection) {
  if (controller == nullptr) {
    listenerLogger().error(
        "@jslistener.interpret-command.no-controller{No queue controller to command};");
    return true;
  }
  if (value == kCommandStatus) {
    sendStatus(connection);
    return true;
  }
  // START and RESUME clear their flag: a start of a running scheduler changes nothing.
  if ((value & kCommandStart) != 0) {
    listenerLogger().debug("JsListener::interpretCommand: Received START command.");
    controller->setRunFlags(controller->getRunFlags() & ~QueueController::kRunFlagStopped);
    connection.sendCommand(kCodeWorking);
    connection.sendCommand(kCodeDone);
  } else if ((value & kCommandStop) != 0) {
    listenerLogger().debug("JsListener::interpretCommand: Received STOP command.");
    if (!setSchedulerFlag(connection, QueueController::kRunFlagStopped, true)) return false;
  }
  if ((value & kCommandResume) != 0) {
    listenerLogger().debug("JsListener::interpretCommand: Received RESUME command.");
    controller->setRunFlags(controller->getRunFlags() & ~QueueController::kRunFlagPaused);
    connection.sendCommand(kCodeWorking);
    connection.sendCommand(kCodeDone);
  } else if ((value & kCommandPause) != 0) {
    listenerLogger().debug("JsListener::interpretCommand: Received PAUSE command.");
    if (!setSchedulerFlag(connection, QueueController::kRunFlagPaused, true)) return false;
  }
  return true;
}

bool JsListener::setSchedulerFlag(Tcp& connection, std::uint32_t flag, bool set) {
  const std::uint32_t flags = controller->getRunFlags();
  controller->setRunFlags(set ? flags | flag : flags ^ flag);
  connection.sendCommand(kCodeWorking);
  if (set) {
    // The queues' state words carry the flag values 1 (stopped) and 2 (paused).
    while (!controller->allQueuesInState(static_cast<std::int32_t>(flag))) {
      connection.sendCommand(kCodeWorking);
      if (!sleepUnlessEnding(static_cast<int>(kWorkingInterval.count()))) return false;
    }
  }
  connection.sendCommand(kCodeDone);
  return true;
}

void JsListener::sendStatus(Tcp& connection) { connection.sendString(controller->getStatus()); }

}  // namespace Zelcor
