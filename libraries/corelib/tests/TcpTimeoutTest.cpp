// The cases that wait out a deadline of the connection: the wait for data is shortened
// (kDataWait; the 2 s default is checked in TcpHostileTest), the connect's 2.5 s is real.
// Kept apart so that CTest runs them beside the fast ones.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>

#include "net/Tcp.h"
#include "platform/Sockets.h"
#include "testsupport/ThrownText.h"

namespace ZelcorCorelib {
namespace {

using test::thrownText;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

constexpr milliseconds kDataWait{300};

Tcp::Deadlines shortDataWait() {
  Tcp::Deadlines deadlines;
  deadlines.dataWait = kDataWait;
  return deadlines;
}

TEST(TcpTimeout, KeyMismatchFailsTheClientAtStepTwoAndTheServerAtStepThree) {
  Tcp listener;
  listener.makeListener(0, "JsListener", 2);
  Tcp accepted;
  auto server = std::async(std::launch::async, [&] {
    std::string failure =
        thrownText<Ipc::Recv_Fail>([&] { listener.listenForConnections(accepted); });
    return std::make_pair(failure, Clock::now());
  });
  Tcp client;
  EXPECT_EQ(thrownText<Tcp::ConnectTcp_BadProtocol>(
                [&] { client.connectToHost("127.0.0.1", listener.getPort(), "client", 1); }),
            "ConnectTcp_BadProtocol: Server \"127.0.0.1\" did not follow required connect "
            "protocol (broke at step 2)");
  const auto clientGaveUp = Clock::now();
  EXPECT_EQ(client.getSocket(), platform::kNoSocket);

  auto [failure, serverGaveUp] = server.get();
  EXPECT_TRUE(contains(failure, "Recv_Fail: Failed to receive 11 bytes through connection "));
  // The client has hung up, so the server stops at once instead of waiting out its 3 s.
  EXPECT_TRUE(contains(failure, "(error=closed)")) << failure;
  EXPECT_LT(serverGaveUp - clientGaveUp, milliseconds(2900));
  EXPECT_EQ(accepted.getSocket(), platform::kNoSocket);
  listener.close();
}

TEST(TcpTimeout, ClientWithoutProtocolLeavesTheServerWithoutData) {
  Tcp listener;
  listener.setDeadlines(shortDataWait());
  listener.makeListener(0, "JsListener", 1);
  Tcp accepted;
  const auto start = Clock::now();
  auto server = std::async(std::launch::async, [&] {
    return thrownText<Ipc::Recv_NoData>([&] { listener.listenForConnections(accepted); });
  });
  Tcp client;
  EXPECT_TRUE(client.connectToHost("127.0.0.1", listener.getPort(), "client", 0));
  char greeting[16];
  EXPECT_TRUE(client.recvRaw(greeting, sizeof(greeting)));
  EXPECT_EQ(std::string(greeting, sizeof(greeting)), "00000000005CMD:7");

  std::string failure = server.get();
  EXPECT_TRUE(contains(failure,
                       "Recv_NoData:\nHaveData_Timeout: Timeout while waiting for data to socket "))
      << failure;
  EXPECT_GE(Clock::now() - start, kDataWait);
  EXPECT_LT(Clock::now() - start, kDataWait + milliseconds(1500));
  listener.close();
}

TEST(TcpTimeout, ClientGivesUpOnASilentServer) {
  Tcp silent;  // no protocol: accepts and says nothing
  silent.makeListener(0, "silent", 0);
  Tcp accepted;
  auto server =
      std::async(std::launch::async, [&] { return silent.listenForConnections(accepted); });
  Tcp client;
  client.setDeadlines(shortDataWait());
  const auto start = Clock::now();
  EXPECT_TRUE(contains(thrownText<Ipc::Recv_NoData>(
                           [&] { client.connectToHost("127.0.0.1", silent.getPort(), "c", 1); }),
                       "HaveData_Timeout"));
  EXPECT_GE(Clock::now() - start, kDataWait);
  EXPECT_EQ(client.getSocket(), platform::kNoSocket);
  EXPECT_TRUE(server.get());
  silent.close();
}

TEST(TcpTimeout, ConnectGivesUpAfterTwoAndAHalfSeconds) {
  // A listener whose backlog is full drops new connection requests unanswered.
  platform::SocketHandle full = platform::createStreamSocket().socket;
  ASSERT_EQ(platform::bindAnyAddress(full, 0), 0);
  ASSERT_EQ(platform::startListening(full, 0), 0);
  const int port = platform::localPort(full).value_or(0);
  Tcp filler;
  ASSERT_TRUE(filler.connectToHost("127.0.0.1", port, "filler", 0));

  Tcp client;
  const auto start = Clock::now();
  EXPECT_EQ(
      thrownText<Tcp::ConnectTcp_Timeout>([&] { client.connectToHost("127.0.0.1", port, "c", 0); }),
      "ConnectTcp_Timeout: Failed to connect because of timeout (error=0)");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(2500));
  EXPECT_LT(took, milliseconds(3500));
  EXPECT_EQ(client.getSocket(), platform::kNoSocket);
  platform::closeSocket(full);
}

TEST(TcpTimeout, DestroyingAListenerNobodyAcceptsOnEndsAndFreesThePort) {
  for (std::int32_t key : {0, 1}) {
    std::optional<Tcp> listener(std::in_place);
    listener->setDeadlines(shortDataWait());
    listener->makeListener(0, "JsListener", key);
    const int port = listener->getPort();
    const auto start = Clock::now();
    listener.reset();
    // With the protocol, the loopback client waits in vain for the greeting, as long as its
    // listener's wait for data.
    EXPECT_LT(Clock::now() - start, milliseconds(key == 0 ? 1000 : 1000 + kDataWait.count()))
        << key;
    Tcp late;
    EXPECT_TRUE(contains(thrownText<Tcp::ConnectTcp_SocketError>(
                             [&] { late.connectToHost("127.0.0.1", port, "late", 0); }),
                         "Failed to connect"))
        << key;
  }
}

}  // namespace
}  // namespace ZelcorCorelib
