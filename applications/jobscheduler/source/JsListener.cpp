#include "JsListener.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "QueueController.h"
#include "base/NoDestructor.h"
#include "bus/Logger.h"
#include "platform/Process.h"
#include "platform/Sockets.h"

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
// endListener's wait for the thread to leave the running state: it joins the conversation
// threads first, which the end has woken.
constexpr milliseconds kExitWait{2000};
// How often the listener thread looks at handshake deadlines while conversations are open,
// and how long it waits for clients otherwise (only a safety net: an end wakes it).
constexpr milliseconds kTendInterval{100};
constexpr milliseconds kIdleWait{60'000};
// At most one line a minute about making room, however fast clients connect.
constexpr std::chrono::seconds kCrowdedLogInterval{60};
// A failing accept (out of descriptors, say) is retried at this pace, not in a tight loop.
constexpr milliseconds kAcceptRetry{50};
constexpr milliseconds kWorkingInterval{1000};
// A pass takes a cancel within a second; this is only the bound for a loop that is stuck.
constexpr milliseconds kCancelWait{10'000};

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

std::int64_t nowTicks() { return Clock::now().time_since_epoch().count(); }

}  // namespace

// One client: its connection and what the listener thread needs to pick one to end.
struct JsListener::Conversation {
  // The conversation thread's own.
  Tcp connection;
  // The listener thread's handle on the same socket, to end it (shutdown) from outside; a
  // descriptor of its own, so that the conversation closing its one can never make this name
  // another socket.
  ZelcorCorelib::platform::Handle control;
  std::string peer;
  Clock::time_point accepted = Clock::now();
  // The last unit received or sent, as Clock ticks.
  std::atomic<std::int64_t> lastActivity{nowTicks()};
  std::atomic<bool> handshaken{false};
  // Waiting for the queues to acknowledge a STOP or PAUSE: busy, not idle.
  std::atomic<bool> waitingForQueues{false};
  std::atomic<bool> ended{false};
  // Set once shut down, so that it is picked once. The listener thread's.
  bool shutDown = false;
  std::thread thread;
};

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
  // A thread that could not be ended in time still uses this object.
  while (!waitForThreads(kWorkingInterval)) wakeListener();
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
  wakeRead.reset();
  wakeWrite.reset();
  if (!ZelcorCorelib::platform::makePipe(wakeRead, wakeWrite)) {
    throw Listener_FailedToEnd("no pipe to wake the listener with", ZELCOR_HERE);
  }
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
    // Accepts follow a poll; a client that resets in between must not block the thread.
    ZelcorCorelib::platform::setNonBlocking(listenSocket.getSocket(), true);
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
  const bool woken = wakeListener();
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
  if (ended) return;
  if (!woken) throw Listener_FailedToEnd("", ZELCOR_HERE);
  throw Listener_FailedToExitThread("", ZELCOR_HERE);
}

bool JsListener::wakeListener() {
  return wakeWrite.valid() && ZelcorCorelib::platform::writeText(wakeWrite.get(), "x");
}

std::size_t JsListener::getConversationCount() const {
  std::lock_guard<std::mutex> guard(conversationsMutex);
  std::size_t open = 0;
  for (const auto& conversation : conversations) open += conversation->ended.load() ? 0 : 1;
  return open;
}

void JsListener::closeListenSocket() { listenSocket.close(); }

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
  // Whatever ended the loop, no conversation outlives it, and the socket is closed here:
  // nobody would accept on it any more.
  endConversations();
  closeListenSocket();
  std::this_thread::sleep_for(milliseconds(1));
  thread->finish(listening);
}

void JsListener::serveConnections(Thread* thread) {
  const std::vector<int> waitOn{listenSocket.getSocket(), wakeRead.get()};
  while (!thread->shouldEnd() && !endRequested.load()) {
    try {
      thread->update();
    } catch (const Thread::Update_NotRunning&) {
      break;  // asked to end between the two calls
    }
    tendConversations();
    const bool busy = getConversationCount() > 0;
    const std::vector<std::size_t> ready =
        ZelcorCorelib::platform::waitReadable(waitOn, busy ? kTendInterval : kIdleWait);
    if (endRequested.load()) break;
    if (std::find(ready.begin(), ready.end(), 0) == ready.end()) continue;
    auto conversation = std::make_unique<Conversation>();
    bool accepted = false;
    try {
      accepted = listenSocket.acceptConnection(conversation->connection);
    } catch (const Tcp::Listen_NotTcpListener& failure) {
      logFailure(failure, __LINE__);
      break;  // nothing to accept on any more
    } catch (const Exception& failure) {
      logFailure(failure, __LINE__);
      continue;
    }
    if (!accepted) {
      // A client that left before its accept, or no descriptor left for it.
      listenerLogger().debug("JsListener::listener: Accept failed; trying again.");
      sleepUnlessEnding(static_cast<int>(kAcceptRetry.count()));
      continue;
    }
    conversation->peer = conversation->connection.getHost();
    conversation->control = ZelcorCorelib::platform::Handle(
        ZelcorCorelib::platform::duplicateSocket(conversation->connection.getSocket()));
    if (!conversation->control.valid()) {
      // Without it the conversation could not be ended from here: no descriptor left, refuse.
      listenerLogger().warning(
          "@jslistener.listener.no-descriptor{Refused connection from \"%\": no descriptor "
          "left};",
          conversation->peer);
      continue;
    }
    listenerLogger().debug("JsListener::listener: Got connection from %", conversation->peer);
    admit(std::move(conversation));
  }
}

void JsListener::admit(std::unique_ptr<Conversation> conversation) {
  std::lock_guard<std::mutex> guard(conversationsMutex);
  std::size_t open = 0;
  Conversation* quietest = nullptr;
  for (const auto& other : conversations) {
    if (other->ended.load() || other->shutDown) continue;
    ++open;
    if (other->waitingForQueues.load()) continue;
    if (quietest == nullptr || other->lastActivity.load() < quietest->lastActivity.load()) {
      quietest = other.get();
    }
  }
  if (open >= kMaxConversations) {
    const auto now = Clock::now();
    const bool say = now - lastCrowdedLine >= kCrowdedLogInterval;
    if (quietest == nullptr) {
      if (say) {
        lastCrowdedLine = now;
        listenerLogger().warning(
            "@jslistener.listener.crowded{% conversations wait for the queues; refused the "
            "connection from \"%\"};",
            open, conversation->peer);
      }
      return;  // the connection closes with its record
    }
    if (say) {
      lastCrowdedLine = now;
      listenerLogger().warning(
          "@jslistener.listener.make-room{% conversations are open; the one from \"%\", silent "
          "longest, is closed for a new one};",
          open, quietest->peer);
    }
    quietest->shutDown = true;
    ZelcorCorelib::platform::shutdownSocket(quietest->control.get());
  }
  conversation->connection.setMaxStringLength(kMaxClientString);
  Conversation& started = *conversation;
  try {
    started.thread = std::thread([this, &started] { converse(started); });
  } catch (const std::system_error& failure) {
    logFailure(failure, __LINE__);
    return;  // the connection closes with its record
  }
  conversations.push_back(std::move(conversation));
}

void JsListener::tendConversations() {
  std::vector<std::unique_ptr<Conversation>> done;
  {
    std::lock_guard<std::mutex> guard(conversationsMutex);
    const auto now = Clock::now();
    for (auto& conversation : conversations) {
      if (!conversation->handshaken.load() && !conversation->shutDown &&
          !conversation->ended.load() && now - conversation->accepted >= deadlines.handshake) {
        conversation->shutDown = true;
        ZelcorCorelib::platform::shutdownSocket(conversation->control.get());
      }
    }
    auto firstDone = std::stable_partition(
        conversations.begin(), conversations.end(),
        [](const std::unique_ptr<Conversation>& conversation) { return !conversation->ended; });
    std::move(firstDone, conversations.end(), std::back_inserter(done));
    conversations.erase(firstDone, conversations.end());
  }
  // Their functions have returned or are about to: joining is short.
  for (auto& conversation : done) conversation->thread.join();
}

void JsListener::endConversations() {
  {
    std::lock_guard<std::mutex> guard(conversationsMutex);
    for (auto& conversation : conversations) {
      if (!conversation->ended.load()) {
        ZelcorCorelib::platform::shutdownSocket(conversation->control.get());
      }
    }
  }
  // Only this thread starts conversations, and it has stopped; each one sees its socket end
  // (or an end request) at its next wait or transfer.
  std::vector<std::unique_ptr<Conversation>> all;
  {
    std::lock_guard<std::mutex> guard(conversationsMutex);
    all.swap(conversations);
  }
  for (auto& conversation : all) conversation->thread.join();
}

void JsListener::converse(Conversation& conversation) {
  Tcp& connection = conversation.connection;
  try {
    connection.answerConnectProtocol();
    conversation.handshaken.store(true);
    conversation.lastActivity.store(nowTicks());
  } catch (const Exception& failure) {
    if (!endRequested.load()) {
      // One line: the text may carry what a client sent, and must not forge log lines.
      listenerLogger().warning(
          "@jslistener.listener.accept-fail{Refused connection from \"%\"}; | %", conversation.peer,
          failure.toLine(true));
    }
  } catch (const std::exception& failure) {
    listenerLogger().warning("@jslistener.listener.accept-fail{Refused connection from \"%\"}; | %",
                             conversation.peer, std::string(failure.what()));
  } catch (...) {
    listenerLogger().warning("@jslistener.listener.accept-fail{Refused connection from \"%\"};",
                             conversation.peer);
  }
  if (conversation.handshaken.load()) {
    try {
      handleConnection(conversation);
    } catch (const Exception& failure) {
      if (!endRequested.load()) {
        logFailure(failure, __LINE__);
        listenerLogger().warning(kConnectionLost, conversation.peer);
      }
    } catch (const std::exception& failure) {
      logFailure(failure, __LINE__);
      listenerLogger().warning(kConnectionLost, conversation.peer);
    } catch (...) {
      listenerLogger().warning(kConnectionLost, conversation.peer);
    }
  }
  // The listener's descriptor still holds the socket open: end it for the client now.
  ZelcorCorelib::platform::shutdownSocket(conversation.control.get());
  connection.close();
  conversation.ended.store(true);
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

void JsListener::handleConnection(Conversation& conversation) {
  Tcp& connection = conversation.connection;
  const auto received = [&conversation] { conversation.lastActivity.store(nowTicks()); };
  if (!waitForData(connection)) return;
  lastCode.store(connection.receiveCommand());
  received();
  while (lastCode.load() != kCodeEnd) {
    if (!waitForData(connection)) return;
    if (lastCode.load() == kCodeCommand) {
      std::int32_t value = 0;
      connection.receiveInt(value);
      received();
      command.store(value);
      if (!interpretCommand(value, conversation)) return;
    } else if (lastCode.load() == kCodeCancel) {
      std::string name;
      connection.receiveString(name);
      received();
      cancelJob(name, conversation);
    }
    commandCount.fetch_add(1);
    if (!waitForData(connection)) return;
    lastCode.store(connection.receiveCommand());
    received();
  }
}

bool JsListener::interpretCommand(std::int32_t value, Conversation& conversation) {
  Tcp& connection = conversation.connection;
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
    controller->changeRunFlags(QueueController::kRunFlagStopped, false);
    controller->wake();
    connection.sendCommand(kCodeWorking);
    connection.sendCommand(kCodeDone);
  } else if ((value & kCommandStop) != 0) {
    listenerLogger().debug("JsListener::interpretCommand: Received STOP command.");
    if (!setSchedulerFlag(conversation, QueueController::kRunFlagStopped, true)) return false;
  }
  if ((value & kCommandResume) != 0) {
    listenerLogger().debug("JsListener::interpretCommand: Received RESUME command.");
    controller->changeRunFlags(QueueController::kRunFlagPaused, false);
    controller->wake();
    connection.sendCommand(kCodeWorking);
    connection.sendCommand(kCodeDone);
  } else if ((value & kCommandPause) != 0) {
    listenerLogger().debug("JsListener::interpretCommand: Received PAUSE command.");
    if (!setSchedulerFlag(conversation, QueueController::kRunFlagPaused, true)) return false;
  }
  return true;
}

bool JsListener::setSchedulerFlag(Conversation& conversation, std::uint32_t flag, bool set) {
  Tcp& connection = conversation.connection;
  controller->changeRunFlags(flag, set);
  controller->wake();
  connection.sendCommand(kCodeWorking);
  if (set) {
    conversation.waitingForQueues.store(true);
    // The queues' state words carry the flag values 1 (stopped) and 2 (paused).
    while (!controller->allQueuesInState(static_cast<std::int32_t>(flag))) {
      // Another client's START or RESUME has taken the flag back: nothing is left to wait for.
      if ((controller->getRunFlags() & flag) == 0) break;
      connection.sendCommand(kCodeWorking);
      if (!sleepUnlessEnding(static_cast<int>(kWorkingInterval.count()))) return false;
    }
    conversation.waitingForQueues.store(false);
    conversation.lastActivity.store(nowTicks());
  }
  connection.sendCommand(kCodeDone);
  return true;
}

void JsListener::cancelJob(const std::string& name, Conversation& conversation) {
  // A name, never a path: a client names a job, not a file to be moved.
  const bool usable = !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
                      name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
  std::string answer;
  if (controller == nullptr || !usable) {
    answer = "unknown \"" + name.substr(0, 255) + "\" is no spec file name";
  } else {
    listenerLogger().debug("JsListener::cancelJob: Received CANCEL of \"%\".", name);
    answer = controller->cancel(name, kCancelWait)
                 .value_or(
                     "unknown the scheduler did not take the request in time; it may "
                     "still cancel the job");
  }
  conversation.lastActivity.store(nowTicks());
  conversation.connection.sendString(answer);
}

void JsListener::sendStatus(Tcp& connection) { connection.sendString(controller->getStatus()); }

}  // namespace Zelcor
