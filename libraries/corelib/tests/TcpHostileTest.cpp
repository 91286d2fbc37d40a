// Hostile peers against a listener that serves one connection at a time, the way the command
// listener does: each must cost the server a bounded time, after which a well-behaved client
// is served. Each case waits out one real deadline, so CTest runs them side by side.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/Tcp.h"
#include "testsupport/WaitFor.h"

namespace ZelcorCorelib {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::waitFor;

struct Failure {
  std::string className;
  std::string text;
  Clock::time_point when;
};

// Short protocol waits, far enough apart to be told from each other on a loaded machine; the
// defaults (2, 3 and 10 seconds) are checked apart.
Tcp::Deadlines shortDeadlines() {
  Tcp::Deadlines deadlines;
  deadlines.dataWait = milliseconds(500);
  deadlines.firstByte = milliseconds(600);
  deadlines.unit = milliseconds(1500);
  return deadlines;
}
const Tcp::Deadlines kDeadlines = shortDeadlines();

TEST(TcpDeadlines, DefaultsAreTheProtocolsAndAcceptedConnectionsTakeTheListeners) {
  Tcp plain;
  EXPECT_EQ(plain.getDeadlines().dataWait, milliseconds(2000));
  EXPECT_EQ(plain.getDeadlines().firstByte, milliseconds(3000));
  EXPECT_EQ(plain.getDeadlines().unit, milliseconds(10'000));
  EXPECT_EQ(plain.getUnitTimeout(), milliseconds(10'000));

  Tcp listener;
  listener.setDeadlines(kDeadlines);
  ASSERT_TRUE(listener.makeListener(0, "JsListener", 0));
  Tcp accepted;
  std::thread server([&] { listener.listenForConnections(accepted); });
  Tcp client;
  ASSERT_TRUE(client.connectToHost("127.0.0.1", listener.getPort(), "good", 0));
  server.join();
  EXPECT_EQ(accepted.getDeadlines().dataWait, kDeadlines.dataWait);
  EXPECT_EQ(accepted.getDeadlines().firstByte, kDeadlines.firstByte);
  EXPECT_EQ(accepted.getDeadlines().unit, kDeadlines.unit);
  EXPECT_EQ(client.getDeadlines().dataWait, milliseconds(2000));
}

class TcpHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    listener.setDeadlines(kDeadlines);
    listener.makeListener(0, "JsListener", 1);
    server = std::thread([this] { serve(); });
  }

  // Marks the server's end however serve returns.
  struct ServerEnd {
    std::atomic<bool>& ended;
    ~ServerEnd() { ended.store(true); }
  };

  void TearDown() override {
    stopping = true;
    // The server may see the flag and end on its own between two clients; then nobody takes
    // the wake-up's connection and it times out, which is no fault. An exception here would
    // leave the server thread joinable and end the whole run in std::terminate.
    std::string why;
    bool woken = false;
    for (int attempt = 0; attempt < 5 && !woken && !serverEnded.load(); ++attempt) {
      try {
        woken = listener.stopListener();
      } catch (const Exception& failure) {
        why = failure.toString();
      }
    }
    if (!woken && !serverEnded.load()) ADD_FAILURE() << "the listener could not be woken: " << why;
    server.join();
    listener.close();
  }

  // Accept, then one exchange: command 10 and a number, answered with the number plus one.
  void serve() {
    ServerEnd end{serverEnded};
    while (!stopping) {
      Tcp connection;
      try {
        if (!listener.listenForConnections(connection) || stopping) continue;
        std::int32_t value = 0;
        if (connection.expectCommand(10) && connection.receiveInt(value)) {
          connection.sendInt(value + 1);
          ++served;
        }
      } catch (const Exception& failure) {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back({failure.getClassName(), failure.toString(), Clock::now()});
      }
    }
  }

  std::optional<Failure> firstFailure(milliseconds deadline = milliseconds(15'000)) {
    auto recorded = [this] {
      std::lock_guard<std::mutex> lock(mutex);
      return !failures.empty();
    };
    if (!waitFor(recorded, deadline)) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex);
    return failures.front();
  }

  // A peer that speaks raw bytes: the connection without the connect protocol.
  void connectRaw(Tcp& peer) {
    ASSERT_TRUE(peer.connectToHost("127.0.0.1", listener.getPort(), "hostile", 0));
  }

  void expectWellBehavedClientIsServed() {
    Tcp client;
    ASSERT_TRUE(client.connectToHost("127.0.0.1", listener.getPort(), "good", 1));
    EXPECT_EQ(client.getName(), "JsListener");
    client.sendCommand(10);
    client.sendInt(41);
    std::int32_t reply = 0;
    EXPECT_TRUE(client.receiveInt(reply));
    EXPECT_EQ(reply, 42);
    EXPECT_TRUE(waitFor([this] { return served.load() == 1; }));
  }

  Tcp listener;
  std::thread server;
  std::atomic<bool> stopping{false};
  std::atomic<bool> serverEnded{false};
  std::atomic<int> served{0};
  std::mutex mutex;
  std::vector<Failure> failures;
};

std::string greeting(Tcp& peer) {
  char bytes[16];
  peer.recvRaw(bytes, sizeof(bytes));
  return std::string(bytes, sizeof(bytes));
}

TEST_F(TcpHostile, SilentPeerCostsTheDataWait) {
  const auto start = Clock::now();
  Tcp peer;
  connectRaw(peer);
  std::optional<Failure> failure = firstFailure();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->className, "Recv_NoData");
  EXPECT_GE(failure->when - start, kDeadlines.dataWait);
  EXPECT_LT(failure->when - start, kDeadlines.dataWait + milliseconds(1500));
  expectWellBehavedClientIsServed();
}

TEST_F(TcpHostile, PeerThatClosesAtOnceIsDropped) {
  const auto start = Clock::now();
  {
    Tcp peer;
    connectRaw(peer);
  }
  std::optional<Failure> failure = firstFailure();
  ASSERT_TRUE(failure);
  // Either the greeting already meets the peer's reset, or the wait for its answer ends.
  EXPECT_TRUE(failure->className == "Send_TooManyFails" || failure->className == "Recv_Fail")
      << failure->text;
  EXPECT_LT(failure->when - start, milliseconds(4500));
  expectWellBehavedClientIsServed();
}

TEST_F(TcpHostile, HalfAHandshakeCostsTheDataWait) {
  Tcp peer;
  connectRaw(peer);
  EXPECT_EQ(greeting(peer), "00000000005CMD:7");
  peer.sendCommand(1);
  const auto start = Clock::now();
  std::optional<Failure> failure = firstFailure();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->className, "Recv_NoData");
  EXPECT_GE(failure->when - start, kDeadlines.dataWait);
  expectWellBehavedClientIsServed();
}

TEST_F(TcpHostile, HugeLengthFieldIsRefusedAtOnce) {
  Tcp peer;
  connectRaw(peer);
  EXPECT_EQ(greeting(peer), "00000000005CMD:7");
  const auto start = Clock::now();
  peer.sendRaw("99999999999", 11);
  std::optional<Failure> failure = firstFailure();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->text, "Recv_OutOfMemory: Out of memory");
  EXPECT_LT(failure->when - start, milliseconds(1000));
  expectWellBehavedClientIsServed();
}

TEST_F(TcpHostile, RandomBytesAreRefused) {
  std::mt19937 random(7);
  std::string noise(300, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  Tcp peer;
  connectRaw(peer);
  peer.sendRaw(noise.data(), noise.size());
  std::optional<Failure> failure = firstFailure();
  ASSERT_TRUE(failure);
  EXPECT_FALSE(failure->className.empty());
  expectWellBehavedClientIsServed();
}

TEST_F(TcpHostile, TricklingPeerIsCutOffTheUnitDeadlineAfterItsFirstByte) {
  Tcp peer;
  connectRaw(peer);
  EXPECT_EQ(greeting(peer), "00000000005CMD:7");
  const std::string answer = "00000000005CMD:1";
  const auto firstByte = Clock::now();
  std::optional<Failure> failure;
  // Each byte well within the wait for data, the whole never in time.
  const milliseconds pace = kDeadlines.dataWait / 3;
  ASSERT_GT(pace * answer.size(), kDeadlines.unit + milliseconds(500));
  for (char byte : answer) {
    try {
      peer.sendRaw(&byte, 1);
    } catch (const Exception&) {
      break;
    }
    failure = firstFailure(pace);
    if (failure) break;
  }
  if (!failure) failure = firstFailure();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->className, "Recv_Fail");
  EXPECT_NE(failure->text.find("(error=timeout)"), std::string::npos) << failure->text;
  EXPECT_GE(failure->when - firstByte, kDeadlines.unit - milliseconds(100));
  EXPECT_LT(failure->when - firstByte, kDeadlines.unit + milliseconds(2000));
  expectWellBehavedClientIsServed();
}

}  // namespace
}  // namespace ZelcorCorelib
