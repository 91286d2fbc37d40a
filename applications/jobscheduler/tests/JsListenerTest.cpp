// The command listener against a real controller, with a client that speaks raw bytes, so that
// every unit on the wire is checked as it travels. Cases that wait out a 2, 3 or 10 second
// deadline live in JsListenerHostileTest.
#include "JsListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CorePool.h"
#include "QueueController.h"
#include "net/Tcp.h"
#include "platform/Sockets.h"
#include "support/JobFolders.h"
#include "support/RawPeer.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
namespace platform = ZelcorCorelib::platform;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using ZelcorCorelib::Ipc;
using ZelcorCorelib::Tcp;
using ZelcorCorelib::Thread;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;

const std::string kWorking = "00000000005CMD:6";
const std::string kDone = "00000000005CMD:7";

std::string frame(const std::string& text) { return Ipc::integerField(text.size()) + text; }
std::string commandBytes(int code) { return frame("CMD:" + std::to_string(code)); }

// A client that sends and checks raw bytes; the connect protocol is played by hand.
class RawClient {
 public:
  explicit RawClient(int port) { EXPECT_TRUE(tcp.connectToHost("127.0.0.1", port, "raw", 0)); }

  void send(const std::string& bytes) { test::sendBytes(tcp, bytes); }
  std::string read(std::size_t count) { return test::readBytes(tcp, count); }

  // One framed string, length field included.
  std::string readUnit() {
    std::string field = read(Ipc::kFieldWidth);
    return field + read(std::stoul(field));
  }

  void handshake() { test::handshake(tcp, "raw"); }

  void sendCommand(int value) {
    send("00000000006CMD:10");
    send(Ipc::integerField(value));
  }

  // The replies up to the status listing that a status request sent behind them brings.
  std::vector<std::string> repliesBeforeStatus() {
    std::vector<std::string> replies;
    for (;;) {
      std::string unit = readUnit();
      if (unit.compare(Ipc::kFieldWidth, 4, "CMD:") != 0) return replies;
      replies.push_back(unit);
    }
  }

  // True when the server has closed its side, with no byte in between.
  bool closedByServer() {
    platform::WaitResult ready = platform::waitReadable(tcp.getSocket(), 5000);
    if (ready.state != platform::Readiness::ready) return false;
    char byte = 0;
    return platform::receiveSome(tcp.getSocket(), &byte, 1).state == platform::Transfer::closed;
  }

  Tcp tcp;
};

class JsListenerTest : public test::JobFolders {
 protected:
  JsListenerTest() : JobFolders("jslistener") {}

  void SetUp() override {
    cores.setCores(2);
    controller = std::make_unique<QueueController>(&quit, cores);
    giveFoldersTo(*controller);
    controller->initQueues();
    listener = std::make_unique<JsListener>();
    listener->setController(controller.get());
  }

  void TearDown() override {
    listener.reset();
    quit.store(1);
    if (loop.joinable()) loop.join();
  }

  void startLoop() {
    loop = std::thread([this] { controller->run(); });
  }

  int start() {
    listener->startListening(0);
    EXPECT_TRUE(listener->isListening());
    return listener->getPort();
  }

  // A job that runs until the test creates its release file.
  std::string addHeldJob() {
    const std::string script =
        writeScript(dir, "held.sh",
                    "i=0\nwhile [ ! -e '" + dir.file("release") +
                        "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done");
    writeRaw(pending + "/held.spec", "executable=" + script + "\narguments=\n");
    return running + "/held.spec";
  }

  void release() { writeRaw(dir.file("release"), "go"); }

  std::atomic<std::uint8_t> quit{0};
  CorePool cores;
  std::unique_ptr<QueueController> controller;
  std::unique_ptr<JsListener> listener;
  std::thread loop;
};

TEST_F(JsListenerTest, StopWhileAJobRunsIsAnsweredEverySecondUntilTheJobHasEnded) {
  const std::string heldSpec = addHeldJob();
  startLoop();
  RawClient client(start());
  ASSERT_TRUE(waitFor([&] { return fs::exists(heldSpec); }));

  client.handshake();
  client.send("00000000006CMD:10");
  client.send("00000000002");
  EXPECT_EQ(client.read(16), kWorking);
  EXPECT_EQ(client.read(16), kWorking);
  // While the job runs the stop is not acknowledged: one more 6 a second, never a 7.
  Clock::time_point previous = Clock::now();
  for (int tick = 0; tick < 2; ++tick) {
    EXPECT_EQ(client.read(16), kWorking);
    const auto gap = Clock::now() - previous;
    previous = Clock::now();
    EXPECT_GE(gap, milliseconds(800));
    EXPECT_LE(gap, milliseconds(3000));
  }
  EXPECT_EQ(controller->getRunFlags(), QueueController::kRunFlagStopped);

  release();
  std::string unit;
  while ((unit = client.read(16)) == kWorking) {
  }
  EXPECT_EQ(unit, kDone);
  // The stop is acknowledged once no job runs; a job that ended after this pass looked for
  // finished jobs reaches the finished folder in the next one.
  EXPECT_TRUE(waitFor([&] { return fs::exists(dir.file("finished/held.spec")); }));
  client.send("00000000005CMD:9");
  EXPECT_TRUE(client.closedByServer());
  EXPECT_EQ(listener->getCommand(), JsListener::kCommandStop);
  EXPECT_EQ(listener->getLastCode(), JsListener::kCodeEnd);
}

TEST_F(JsListenerTest, WhileOneClientWaitsForPauseThenStopAnotherGetsStatusAndResume) {
  const std::string heldSpec = addHeldJob();
  startLoop();
  const int port = start();
  ASSERT_TRUE(waitFor([&] { return fs::exists(heldSpec); }));

  RawClient waiting(port);
  waiting.handshake();
  waiting.sendCommand(JsListener::kCommandPause);
  std::string unit;
  while ((unit = waiting.read(16)) == kWorking) {
  }
  ASSERT_EQ(unit, kDone);
  // Paused and then stopped: confirmed only once the running job has ended.
  waiting.sendCommand(JsListener::kCommandStop);
  EXPECT_EQ(waiting.read(32), kWorking + kWorking);

  RawClient other(port);
  const auto begin = Clock::now();
  other.handshake();
  other.sendCommand(JsListener::kCommandStatus);
  EXPECT_NE(other.readUnit().find("Running Jobs:"), std::string::npos);
  other.sendCommand(JsListener::kCommandResume);
  EXPECT_EQ(other.read(32), kWorking + kDone);
  EXPECT_LT(Clock::now() - begin, milliseconds(2000));
  EXPECT_EQ(controller->getRunFlags(), QueueController::kRunFlagStopped);
  other.send(commandBytes(9));
  EXPECT_TRUE(other.closedByServer());

  // Silent clients that crowd in take the places of idle ones, never the waiting one's.
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (std::size_t i = 0; i < JsListener::kMaxConversations + 4; ++i) {
    crowd.push_back(std::make_unique<RawClient>(port));
    EXPECT_LE(listener->getConversationCount(), JsListener::kMaxConversations);
  }
  EXPECT_EQ(waiting.read(16), kWorking);
  EXPECT_TRUE(fs::exists(heldSpec)) << "the stop must not end the running job";
  release();
  while ((unit = waiting.read(16)) == kWorking) {
  }
  EXPECT_EQ(unit, kDone);
  EXPECT_TRUE(waitFor([&] { return fs::exists(dir.file("finished/held.spec")); }));
  EXPECT_TRUE(controller->allQueuesInState(1));
}

TEST_F(JsListenerTest, ClientsThatConnectAndIdleCannotKeepAnotherOut) {
  const int port = start();
  std::vector<std::unique_ptr<RawClient>> idle;
  for (std::size_t i = 0; i < 3 * JsListener::kMaxConversations; ++i) {
    idle.push_back(std::make_unique<RawClient>(port));
    if (i % 2 == 0) idle.back()->handshake();  // half get as far as a conversation
  }
  const auto begin = Clock::now();
  RawClient served(port);
  served.handshake();
  served.sendCommand(JsListener::kCommandStatus);
  EXPECT_FALSE(served.readUnit().empty());
  EXPECT_LT(Clock::now() - begin, milliseconds(2000));
  EXPECT_LE(listener->getConversationCount(), JsListener::kMaxConversations);
  // The oldest idle ones were closed to make room.
  EXPECT_TRUE(idle.front()->closedByServer());
}

TEST_F(JsListenerTest,
       PauseIsConfirmedAfterAPassAndResumeOrStartOfARunningSchedulerChangesNothing) {
  startLoop();
  RawClient client(start());
  client.handshake();

  client.sendCommand(JsListener::kCommandPause);
  EXPECT_EQ(client.read(16), kWorking);
  std::string unit;
  while ((unit = client.read(16)) == kWorking) {
  }
  EXPECT_EQ(unit, kDone);
  EXPECT_EQ(controller->getRunFlags(), QueueController::kRunFlagPaused);
  EXPECT_TRUE(controller->allQueuesInState(2));

  // Each is answered 6 then 7 at once; none may set a flag that was clear.
  for (int value :
       {JsListener::kCommandResume, JsListener::kCommandResume, JsListener::kCommandStart}) {
    client.sendCommand(value);
    EXPECT_EQ(client.read(32), kWorking + kDone) << value;
    EXPECT_EQ(controller->getRunFlags(), 0u) << value;
  }
  client.send(commandBytes(9));
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(JsListenerTest, OneValueCarriesOneOfStartOrStopAndOneOfResumeOrPause) {
  RawClient client(start());
  client.handshake();
  const std::vector<std::string> twoSteps = {kWorking, kDone, kWorking, kDone};
  const std::vector<std::string> oneStep = {kWorking, kDone};
  const struct {
    std::uint32_t before;
    int value;
    std::vector<std::string> replies;
    std::uint32_t after;
  } cases[] = {
      {3, 12, oneStep, 1},   // RESUME wins over PAUSE, and PAUSE is not done as well
      {3, 3, oneStep, 2},    // START wins over STOP
      {3, 5, twoSteps, 0},   // START, then RESUME
      {3, 15, twoSteps, 0},  // every bit: START and RESUME only
      {0, 12, oneStep, 0},   // RESUME when not paused pauses nothing
      {3, 16, {}, 3},        // no known bit: nothing done, no reply
      {3, 32 + 64, {}, 3},
  };
  for (const auto& c : cases) {
    controller->setRunFlags(c.before);
    client.sendCommand(c.value);
    client.sendCommand(JsListener::kCommandStatus);
    EXPECT_EQ(client.repliesBeforeStatus(), c.replies) << c.value;
    EXPECT_EQ(controller->getRunFlags(), c.after) << c.value;
  }
  client.send(commandBytes(9));
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(JsListenerTest, AStatusRequestIsAnsweredWithOneStringAndNothingElse) {
  RawClient client(start());
  client.handshake();
  client.send("00000000006CMD:10");
  client.send("00000000000");
  const std::string status = controller->getStatus();
  ASSERT_NE(status.find("\tQueue:queue_normal"), std::string::npos);
  EXPECT_EQ(client.read(Ipc::kFieldWidth + status.size()), frame(status));
  client.send("00000000005CMD:9");
  EXPECT_TRUE(client.closedByServer());
  EXPECT_EQ(controller->getRunFlags(), 0u);
}

TEST_F(JsListenerTest, CodesOtherThanNineAndTenAreReadAndIgnored) {
  RawClient client(start());
  client.handshake();
  client.send(commandBytes(3));
  client.send(frame("hello"));
  client.send(commandBytes(6));
  client.sendCommand(JsListener::kCommandStatus);
  EXPECT_EQ(client.repliesBeforeStatus(), std::vector<std::string>{});
  client.send(commandBytes(9));
  EXPECT_TRUE(client.closedByServer());
  EXPECT_EQ(listener->getCommandCount(), 4u);
  EXPECT_EQ(listener->getLastCode(), JsListener::kCodeEnd);
}

// A cancel names a job, never a path: a name the loop could take for a file elsewhere is
// answered at once, and the conversation goes on.
TEST_F(JsListenerTest, ACancelOfSomethingThatIsNoSpecFileNameIsRefusedAtOnce) {
  RawClient client(start());
  client.handshake();
  for (const std::string& bad : {std::string("../finished/x.spec"), std::string("."),
                                 std::string("a/b"), std::string(300, 'x'), std::string("")}) {
    client.send(commandBytes(JsListener::kCodeCancel));
    client.send(frame(bad));
    const std::string answer = "unknown \"" + bad.substr(0, 255) + "\" is no spec file name";
    EXPECT_EQ(client.read(Ipc::kFieldWidth + answer.size()), frame(answer)) << bad;
  }
  client.send(commandBytes(9));
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(JsListenerTest, ClientsAreServedOneAfterAnotherThroughTheConnectProtocol) {
  const int port = start();
  for (int round = 0; round < 3; ++round) {
    Tcp client;
    ASSERT_TRUE(client.connectToHost("127.0.0.1", port, "jsctl", JsListener::kProtocolKey));
    EXPECT_EQ(client.getName(), "JsListener");
    client.sendCommand(JsListener::kCodeCommand);
    client.sendInt(JsListener::kCommandStatus);
    std::string status;
    ASSERT_TRUE(client.receiveString(status));
    EXPECT_EQ(status, controller->getStatus());
    client.sendCommand(JsListener::kCodeEnd);
  }
  EXPECT_TRUE(listener->isListening());
}

TEST_F(JsListenerTest, EndingTwiceThrowsNotStartedTheSecondTime) {
  EXPECT_THROW(listener->endListener(), JsListener::Listener_NotStarted);
  start();
  EXPECT_THROW(listener->startListening(0), JsListener::Listener_AlreadyStarted);
  const std::int32_t id = listener->getThreadId();
  listener->endListener();
  EXPECT_EQ(listener->getThreadId(), 0);
  EXPECT_FALSE(listener->isListening());
  EXPECT_FALSE(listener->hasThread(id));
  EXPECT_EQ(listener->getListenSocket().getSocket(), platform::kNoSocket);
  EXPECT_THROW(listener->endListener(), JsListener::Listener_NotStarted);

  // And it starts again.
  RawClient client(start());
  client.handshake();
  client.send(commandBytes(9));
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(JsListenerTest, APortThatIsTakenEndsTheThreadTruthfully) {
  Tcp holder;
  ASSERT_TRUE(holder.makeListener(0, "holder", 0));
  for (bool askFirst : {true, false}) {
    listener->startListening(holder.getPort());
    const std::int32_t id = listener->getThreadId();
    ASSERT_NE(id, 0);
    EXPECT_EQ(listener->getThread(id)->getState(), Thread::kStateEnded);
    EXPECT_EQ(listener->getThread(id)->getSucceeded(), 0);
    EXPECT_EQ(listener->getListenSocket().getSocket(), platform::kNoSocket);
    if (askFirst) {
      EXPECT_FALSE(listener->isListening());
      EXPECT_THROW(listener->endListener(), JsListener::Listener_NotStarted);
    } else {
      EXPECT_THROW(listener->endListener(), JsListener::Listener_NotRunning);
      EXPECT_FALSE(listener->isListening());
    }
    EXPECT_EQ(listener->getThreadId(), 0);
  }
  RawClient client(start());
  client.handshake();
  client.send(commandBytes(9));
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(JsListenerTest, EndingDuringAConversationReturnsPromptlyInEveryWait) {
  const std::string heldSpec = addHeldJob();
  startLoop();
  ASSERT_TRUE(waitFor([&] { return fs::exists(heldSpec); }));
  // Once idle between two units, once waiting for a stop that is never acknowledged.
  for (bool stopPending : {false, true}) {
    RawClient client(start());
    client.handshake();
    if (stopPending) {
      client.sendCommand(JsListener::kCommandStop);
      EXPECT_EQ(client.read(32), kWorking + kWorking);
    } else {
      client.send(commandBytes(3));
      ASSERT_TRUE(waitFor([&] { return listener->getLastCode() == 3; }));
    }
    const auto begin = Clock::now();
    listener->endListener();
    EXPECT_LT(Clock::now() - begin, milliseconds(1500));
    EXPECT_FALSE(listener->isListening());
    EXPECT_TRUE(client.closedByServer());
  }
  release();
}

TEST_F(JsListenerTest, DestroyingTheListenerEndsItInEveryState) {
  const std::string heldSpec = addHeldJob();
  startLoop();
  ASSERT_TRUE(waitFor([&] { return fs::exists(heldSpec); }));
  const auto begin = Clock::now();
  listener.reset();  // never started
  listener = std::make_unique<JsListener>();
  listener->setController(controller.get());
  start();
  listener.reset();  // accepting
  listener = std::make_unique<JsListener>();
  listener->setController(controller.get());
  RawClient client(start());
  client.handshake();
  client.sendCommand(JsListener::kCommandStop);
  EXPECT_EQ(client.read(32), kWorking + kWorking);
  listener.reset();  // waiting for the stop to be acknowledged
  EXPECT_TRUE(client.closedByServer());
  EXPECT_LT(Clock::now() - begin, milliseconds(3000));
  release();
}

}  // namespace
}  // namespace Zelcor
