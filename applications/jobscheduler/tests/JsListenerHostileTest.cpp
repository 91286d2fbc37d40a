// Clients that break the rules, against the real listener on a free loopback port. Each must
// cost the listener a bounded time, after which a well-behaved client is served. The listener
// runs with short deadlines (kDeadlines), so a case waits out a fraction of a second where the
// protocol's own waits are 2, 3 and 10 seconds; that those are the defaults is checked apart.
#include "JsListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CorePool.h"
#include "QueueController.h"
#include "net/Tcp.h"
#include "platform/Sockets.h"
#include "support/JobFolders.h"
#include "support/LogSink.h"
#include "support/RawPeer.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
namespace platform = ZelcorCorelib::platform;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::handshake;
using test::handshakeToName;
using test::LogSink;
using test::readBytes;
using test::sendBytes;
using ZelcorCorelib::Ipc;
using ZelcorCorelib::Tcp;
using ZelcorCorelib::testing::waitFor;

const char* const kRefused = "@jslistener.listener.accept-fail";
const char* const kLost = "Connection to % lost.";

// Far enough apart that each wait is told from the others on a loaded machine.
JsListener::Deadlines shortDeadlines() {
  JsListener::Deadlines deadlines;
  deadlines.conversation = milliseconds(1500);
  deadlines.tcp.dataWait = milliseconds(500);
  deadlines.tcp.firstByte = milliseconds(600);
  deadlines.tcp.unit = milliseconds(1500);
  deadlines.handshake = milliseconds(1200);
  return deadlines;
}
const JsListener::Deadlines kDeadlines = shortDeadlines();

TEST(JsListenerDeadlines, TheDefaultsAreTheProtocolsTwoThreeAndTenSeconds) {
  const JsListener::Deadlines deadlines = JsListener().getDeadlines();
  EXPECT_EQ(deadlines.conversation, milliseconds(10'000));
  EXPECT_EQ(deadlines.handshake, milliseconds(5000));
  EXPECT_EQ(deadlines.tcp.dataWait, milliseconds(2000));
  EXPECT_EQ(deadlines.tcp.firstByte, milliseconds(3000));
  EXPECT_EQ(deadlines.tcp.unit, milliseconds(10'000));
}

class JsListenerHostile : public test::JobFolders {
 protected:
  JsListenerHostile() : JobFolders("jslistener-hostile") {}

  void SetUp() override {
    controller = std::make_unique<QueueController>(&quit, cores);
    giveFoldersTo(*controller);
    controller->initQueues();
    listener = std::make_unique<JsListener>();
    listener->setController(controller.get());
    listener->setDeadlines(kDeadlines);
    listener->startListening(0);
    ASSERT_TRUE(listener->isListening());
    port = listener->getPort();
  }

  void TearDown() override { listener.reset(); }

  // Raw bytes, no connect protocol of its own.
  void connectRaw(Tcp& peer) { ASSERT_TRUE(peer.connectToHost("127.0.0.1", port, "bad", 0)); }

  // True once the server has closed the peer's connection; bytes before that are dropped.
  bool closedByServer(Tcp& peer, milliseconds deadline = milliseconds(15'000)) {
    const auto giveUp = Clock::now() + deadline;
    while (Clock::now() < giveUp) {
      platform::WaitResult ready = platform::waitReadable(peer.getSocket(), 100);
      if (ready.state != platform::Readiness::ready) continue;
      char bytes[256];
      platform::TransferResult got = platform::receiveSome(peer.getSocket(), bytes, sizeof bytes);
      if (got.state == platform::Transfer::closed || got.state == platform::Transfer::failed) {
        return true;
      }
    }
    return false;
  }

  void expectWellBehavedClientIsServed() {
    Tcp client;
    ASSERT_TRUE(client.connectToHost("127.0.0.1", port, "jsctl", JsListener::kProtocolKey));
    client.sendCommand(JsListener::kCodeCommand);
    client.sendInt(JsListener::kCommandStatus);
    std::string status;
    ASSERT_TRUE(client.receiveString(status));
    EXPECT_EQ(status, controller->getStatus());
    client.sendCommand(JsListener::kCodeEnd);
    EXPECT_TRUE(closedByServer(client, milliseconds(5000)));
    EXPECT_TRUE(listener->isListening());
  }

  // The records of the listener and of the connections; they arrive on the thread that logs
  // them.
  LogSink log{{"JsListener"}};
  LogSink tcpLog{{"tcp"}};
  std::atomic<std::uint8_t> quit{0};
  CorePool cores;
  std::unique_ptr<QueueController> controller;
  std::unique_ptr<JsListener> listener;
  int port = 0;
};

TEST_F(JsListenerHostile, ASilentClientIsRefusedAfterTheDataWait) {
  Tcp silent;
  connectRaw(silent);
  const auto begin = Clock::now();
  EXPECT_EQ(readBytes(silent, 16), "00000000005CMD:7");
  EXPECT_TRUE(closedByServer(silent));
  EXPECT_GE(Clock::now() - begin, kDeadlines.tcp.dataWait * 9 / 10);
  EXPECT_TRUE(waitFor([&] { return log.count(kRefused) == 1; }));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, AClientThatClosesAtOnceIsRefused) {
  {
    Tcp gone;
    connectRaw(gone);
  }
  EXPECT_TRUE(waitFor([&] { return log.count(kRefused) == 1; }));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, AClientThatStopsInTheMiddleOfTheHandshakeIsRefused) {
  Tcp half;
  connectRaw(half);
  EXPECT_EQ(readBytes(half, 16), "00000000005CMD:7");
  sendBytes(half, "00000000005CMD:1");
  EXPECT_TRUE(closedByServer(half));
  EXPECT_TRUE(waitFor([&] { return log.count(kRefused) == 1; }));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, AHugeLengthFieldIsRefusedBeforeAnythingIsAllocated) {
  Tcp huge;
  connectRaw(huge);
  handshakeToName(huge);
  sendBytes(huge, "99999999999");
  EXPECT_TRUE(closedByServer(huge, milliseconds(1500)));
  EXPECT_TRUE(waitFor([&] { return log.count(kRefused) == 1; }));
  expectWellBehavedClientIsServed();

  // The same inside a conversation ends that conversation only.
  Tcp inConversation;
  connectRaw(inConversation);
  handshake(inConversation, "bad");
  sendBytes(inConversation, "99999999999");
  EXPECT_TRUE(closedByServer(inConversation, milliseconds(1500)));
  EXPECT_TRUE(waitFor([&] { return log.count(kLost) == 1; }));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, RandomBytesInPlaceOfTheHandshakeAreRefused) {
  std::mt19937 random(20240611);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  Tcp noisy;
  connectRaw(noisy);
  sendBytes(noisy, noise);
  EXPECT_TRUE(closedByServer(noisy));
  EXPECT_TRUE(waitFor([&] { return log.count(kRefused) == 1; }, milliseconds(15'000)));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, RandomBytesInAConversationEndItWithinItsDeadlines) {
  std::mt19937 random(7);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  Tcp noisy;
  connectRaw(noisy);
  handshake(noisy, "bad");
  sendBytes(noisy, noise);
  EXPECT_TRUE(closedByServer(noisy, milliseconds(25'000)));
  EXPECT_TRUE(waitFor([&] { return log.count(kLost) == 1; }));
  EXPECT_EQ(controller->getRunFlags(), 0u);  // the noise held no command
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, AConversationWithoutTrafficForItsDeadlineIsDropped) {
  Tcp idle;
  connectRaw(idle);
  handshake(idle, "bad");
  const auto begin = Clock::now();
  EXPECT_TRUE(closedByServer(idle));
  EXPECT_GE(Clock::now() - begin, kDeadlines.conversation * 95 / 100);
  EXPECT_TRUE(waitFor([&] { return log.count(kLost) == 1; }));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, AHandshakePacedJustInsideEachWaitIsCutAtItsOwnDeadline) {
  Tcp slow;
  connectRaw(slow);
  const auto begin = Clock::now();
  EXPECT_EQ(readBytes(slow, 16), "00000000005CMD:7");
  // Every unit whole and within the data wait, but the handshake as a whole too slow.
  const milliseconds pace = kDeadlines.tcp.dataWait * 7 / 10;
  for (const char* unit : {"00000000005CMD:1", "00000000001"}) {
    std::this_thread::sleep_for(pace);
    sendBytes(slow, unit);
  }
  EXPECT_EQ(readBytes(slow, 16), "00000000005CMD:4");
  std::this_thread::sleep_for(pace);
  EXPECT_TRUE(closedByServer(slow, milliseconds(5000)));
  EXPECT_GE(Clock::now() - begin, kDeadlines.handshake * 9 / 10);
  EXPECT_LT(Clock::now() - begin, kDeadlines.handshake + kDeadlines.tcp.dataWait * 2);
  EXPECT_TRUE(waitFor([&] { return log.count(kRefused) == 1; }));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, AClientThatTricklesOneUnitCannotHoldTheListener) {
  Tcp trickle;
  connectRaw(trickle);
  handshake(trickle, "bad");
  const std::string unit = "00000000006CMD:10";
  std::atomic<bool> closed{false};
  // Each byte comes well within the time a byte may take, the whole unit not within its own.
  const milliseconds pace = kDeadlines.tcp.firstByte / 3;
  ASSERT_GT(pace * unit.size(), kDeadlines.tcp.unit * 2);
  std::thread sender([&] {
    for (char byte : unit) {
      if (closed) return;
      try {
        trickle.sendRaw(&byte, 1);
      } catch (const ZelcorCorelib::Exception&) {
        return;
      }
      std::this_thread::sleep_for(pace);  // the client's pace, not a wait for the server
    }
  });
  const auto begin = Clock::now();
  const bool droppedByServer = closedByServer(trickle, milliseconds(16'000));
  closed = true;
  sender.join();
  EXPECT_TRUE(droppedByServer);
  EXPECT_LT(Clock::now() - begin, pace * unit.size());
  EXPECT_TRUE(waitFor([&] { return log.count(kLost) == 1; }));
  expectWellBehavedClientIsServed();
}

TEST_F(JsListenerHostile, EndingWhileAClientHoldsTheHandshakeEndsTheListener) {
  Tcp silent;
  connectRaw(silent);
  EXPECT_EQ(readBytes(silent, 16), "00000000005CMD:7");
  const auto begin = Clock::now();
  listener->endListener();
  EXPECT_LT(Clock::now() - begin, milliseconds(4000));
  EXPECT_FALSE(listener->isListening());
  EXPECT_EQ(listener->getListenSocket().getSocket(), platform::kNoSocket);
  EXPECT_THROW(listener->endListener(), JsListener::Listener_NotStarted);
}

TEST_F(JsListenerHostile, AnEndBreaksAReceiveInTheMiddleOfAUnitWithoutWaitingOutItsDeadline) {
  Tcp partial;
  connectRaw(partial);
  handshake(partial, "bad");
  const char* const receiving = "Tcp::recvRaw: Receiving";
  const std::size_t before = tcpLog.count(receiving);
  sendBytes(partial, "000000");  // half a length field: the unit has its deadline to complete
  ASSERT_TRUE(waitFor([&] { return tcpLog.count(receiving) > before; }));
  const auto begin = Clock::now();
  listener->endListener();
  EXPECT_LT(Clock::now() - begin, kDeadlines.tcp.unit);
  EXPECT_EQ(listener->getThreadId(), 0);
  EXPECT_FALSE(listener->isListening());
  EXPECT_TRUE(closedByServer(partial, milliseconds(1000)));
}

TEST_F(JsListenerHostile, DestroyingWhileAClientHoldsTheHandshakeReturns) {
  Tcp silent;
  connectRaw(silent);
  EXPECT_EQ(readBytes(silent, 16), "00000000005CMD:7");
  const auto begin = Clock::now();
  listener.reset();
  EXPECT_LT(Clock::now() - begin, milliseconds(4000));
  EXPECT_TRUE(closedByServer(silent, milliseconds(1000)));
}

}  // namespace
}  // namespace Zelcor
