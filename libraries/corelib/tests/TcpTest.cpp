#include "net/Tcp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "net/ControlKey.h"
#include "platform/Sockets.h"
#include "testsupport/ThrownText.h"

namespace ZelcorCorelib {
namespace {

using test::thrownText;
using Clock = std::chrono::steady_clock;

// The other end of the wire, made of plain system sockets so that it shares no code with Tcp.
class RawSocket {
 public:
  explicit RawSocket(platform::SocketHandle fd = platform::kNoSocket) : fd(fd) {}
  RawSocket(RawSocket&& other) noexcept : fd(other.fd) { other.fd = platform::kNoSocket; }
  ~RawSocket() { platform::closeSocket(fd); }

  static RawSocket connectTo(int port) {
    RawSocket raw(platform::createStreamSocket().socket);
    platform::ConnectResult result =
        platform::startConnect(raw.fd, *platform::resolveIpv4("127.0.0.1"), port);
    EXPECT_EQ(result.state, platform::ConnectStart::connected) << result.error;
    return raw;
  }
  // Listening on a port of the system's choice.
  static RawSocket listener(int& port) {
    RawSocket raw(platform::createStreamSocket().socket);
    EXPECT_EQ(platform::bindAnyAddress(raw.fd, 0), 0);
    EXPECT_EQ(platform::startListening(raw.fd, 4), 0);
    port = platform::localPort(raw.fd).value_or(0);
    return raw;
  }
  RawSocket accept() { return RawSocket(platform::acceptConnection(fd).socket); }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      platform::TransferResult result = platform::sendSome(fd, bytes.data(), bytes.size());
      ASSERT_NE(result.state, platform::Transfer::failed) << result.error;
      bytes.remove_prefix(result.bytes);
      if (result.state == platform::Transfer::wouldBlock) platform::waitWritable(fd, 1000);
    }
  }
  // Exactly count bytes, or what came before the peer closed or 5 s passed.
  std::string read(std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t got = 0;
    const auto giveUp = Clock::now() + std::chrono::seconds(5);
    while (got < count && Clock::now() < giveUp) {
      platform::waitReadable(fd, 100);
      platform::TransferResult result = platform::receiveSome(fd, bytes.data() + got, count - got);
      if (result.state == platform::Transfer::closed ||
          result.state == platform::Transfer::failed) {
        break;
      }
      got += result.bytes;
    }
    bytes.resize(got);
    return bytes;
  }
  // True when the peer has closed: nothing more will come.
  bool peerClosed() {
    char byte = 0;
    const auto giveUp = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < giveUp) {
      platform::waitReadable(fd, 100);
      platform::TransferResult result = platform::receiveSome(fd, &byte, 1);
      if (result.state == platform::Transfer::closed ||
          result.state == platform::Transfer::failed) {
        return true;
      }
      if (result.state == platform::Transfer::moved) return false;
    }
    return false;
  }
  platform::SocketHandle fd;
};

// A listener without the connect protocol and the connection it accepted from a raw client.
struct RawClientPair {
  explicit RawClientPair(std::int32_t key = 0) { listener.makeListener(0, "server", key); }
  // Nobody accepts any more: closing spares the destructor its loopback wake-up.
  ~RawClientPair() { listener.close(); }
  void accept() {
    raw.emplace(RawSocket::connectTo(listener.getPort()));
    ASSERT_TRUE(listener.listenForConnections(connection));
  }
  Tcp listener;
  Tcp connection;
  std::optional<RawSocket> raw;
};

TEST(Tcp, SendsTheFramingByteForByte) {
  RawClientPair pair;
  pair.accept();
  Tcp& c = pair.connection;
  EXPECT_TRUE(c.sendUnsigned(123));
  EXPECT_TRUE(c.sendString("abc"));
  EXPECT_TRUE(c.sendCommand(10));
  EXPECT_TRUE(c.sendInt(-5));
  EXPECT_TRUE(c.sendInt(-2147483647 - 1));
  EXPECT_TRUE(c.sendString(""));
  EXPECT_TRUE(c.sendInt64(-9000000000LL));
  EXPECT_TRUE(c.sendUnsigned64(18446744073709551615ULL));
  EXPECT_TRUE(c.sendDouble(2.5));
  const std::string expected =
      "00000000123"
      "00000000003abc"
      "00000000006CMD:10"
      "000000000-5"
      "-2147483648"
      "00000000000"
      "00000000011-9000000000"
      "0000000002018446744073709551615"
      "000000000032.5";
  EXPECT_EQ(pair.raw->read(expected.size()), expected);
}

TEST(Tcp, ReceivesTheFramingAndItsOddCases) {
  RawClientPair pair;
  pair.accept();
  Tcp& c = pair.connection;
  pair.raw->send(
      "00000000123"        // unsigned
      "000000000-5"        // negative travels with zeros in front: reads 0
      "99999999999"        // beyond 32 bits: saturates
      "-0000000005"        // strtol proper
      "00000000003abc"     // string
      "00000000004CMD:"    // command prefix alone
      "00000000005XMD:7"   // wrong prefix
      "00000000006CMD:10"  // command
      "00000000005CMD:4"   // expected command
      "00000000003-42"     // int64
      "0000000000312x"     // uint64, leading digits
      "000000000032.5");   // double
  std::uint32_t unsignedValue = 0;
  std::int32_t intValue = 1;
  EXPECT_TRUE(c.receiveUnsigned(unsignedValue));
  EXPECT_EQ(unsignedValue, 123u);
  EXPECT_TRUE(c.receiveInt(intValue));
  EXPECT_EQ(intValue, 0);
  EXPECT_TRUE(c.receiveUnsigned(unsignedValue));
  EXPECT_EQ(unsignedValue, 4294967295u);
  EXPECT_TRUE(c.receiveInt(intValue));
  EXPECT_EQ(intValue, -5);
  std::string text;
  EXPECT_TRUE(c.receiveString(text));
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(c.receiveCommand(), 0);
  EXPECT_EQ(c.receiveCommand(), 0);
  EXPECT_EQ(c.receiveCommand(), 10);
  EXPECT_TRUE(c.expectCommand(4));
  std::int64_t int64Value = 0;
  EXPECT_TRUE(c.receiveInt64(int64Value));
  EXPECT_EQ(int64Value, -42);
  std::uint64_t uint64Value = 0;
  EXPECT_TRUE(c.receiveUnsigned64(uint64Value));
  EXPECT_EQ(uint64Value, 12u);
  double doubleValue = 0;
  EXPECT_TRUE(c.receiveDouble(doubleValue));
  EXPECT_EQ(doubleValue, 2.5);
}

TEST(Tcp, AnnouncedLengthAboveTheBoundIsRefusedBeforeAllocating) {
  for (const char* field : {"99999999999", "00067108865"}) {
    RawClientPair pair;
    pair.accept();
    pair.raw->send(field);
    std::string text = "untouched";
    EXPECT_EQ(thrownText<Ipc::Recv_OutOfMemory>([&] { pair.connection.receiveString(text); }),
              "Recv_OutOfMemory: Out of memory")
        << field;
    EXPECT_EQ(text, "untouched");
  }
}

TEST(Tcp, PeerClosingInTheMiddleOfAUnitEndsTheReceiveAtOnce) {
  // Half a field; a whole length field and part of the bytes; a length field alone.
  for (const char* sent : {"000000", "00000000010abc", "00000000010"}) {
    RawClientPair pair;
    pair.accept();
    pair.raw->send(sent);
    pair.raw.reset();
    const auto start = Clock::now();
    std::string text;
    std::string failure = thrownText<Ipc::Recv_Fail>([&] { pair.connection.receiveString(text); });
    EXPECT_NE(failure.find("(error=closed)"), std::string::npos) << sent << ": " << failure;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << sent;
  }
}

TEST(Tcp, ConnectProtocolOnTheWireFromTheServerSide) {
  RawClientPair pair(1);
  auto accepted = std::async(std::launch::async,
                             [&] { return pair.listener.listenForConnections(pair.connection); });
  RawSocket raw = RawSocket::connectTo(pair.listener.getPort());
  EXPECT_EQ(raw.read(16), "00000000005CMD:7");
  raw.send(
      "00000000005CMD:1"
      "00000000001");
  EXPECT_EQ(raw.read(16), "00000000005CMD:4");
  raw.send("00000000006client");
  EXPECT_EQ(raw.read(17), "00000000006server");
  EXPECT_TRUE(accepted.get());
  EXPECT_EQ(pair.connection.getName(), "client");
  EXPECT_EQ(pair.connection.getProtocolKey(), 1);
  EXPECT_TRUE(pair.connection.getHost() == "localhost" || pair.connection.getHost() == "127.0.0.1")
      << pair.connection.getHost();
}

TEST(Tcp, ConnectProtocolOnTheWireFromTheClientSide) {
  int port = 0;
  RawSocket rawListener = RawSocket::listener(port);
  Tcp client;
  auto connected = std::async(std::launch::async,
                              [&] { return client.connectToHost("127.0.0.1", port, "jsctl", 1); });
  RawSocket raw = rawListener.accept();
  raw.send("00000000005CMD:7");
  EXPECT_EQ(raw.read(16 + 11),
            "00000000005CMD:1"
            "00000000001");
  raw.send("00000000005CMD:4");
  EXPECT_EQ(raw.read(16), "00000000005jsctl");
  raw.send("00000000010JsListener");
  EXPECT_TRUE(connected.get());
  EXPECT_EQ(client.getName(), "JsListener");
  EXPECT_EQ(client.getHost(), "127.0.0.1");
  EXPECT_EQ(client.getPort(), port);
}

TEST(Tcp, BothEndsCompleteTheProtocolAndStayInStep) {
  Tcp listener;
  listener.makeListener(0, "JsListener", 1);
  Tcp accepted;
  auto served = std::async(std::launch::async, [&] {
    listener.listenForConnections(accepted);
    std::int32_t value = 0;
    accepted.expectCommand(10);
    accepted.receiveInt(value);
    accepted.sendString("got " + std::to_string(value));
    return accepted.getName();
  });
  Tcp client;
  EXPECT_TRUE(client.connectToHost("", listener.getPort(), "client", 1));
  EXPECT_EQ(client.getName(), "JsListener");
  client.sendCommand(10);
  client.sendInt(2);
  std::string reply;
  EXPECT_TRUE(client.receiveString(reply));
  EXPECT_EQ(reply, "got 2");
  EXPECT_EQ(served.get(), "client");
  listener.close();
}

TEST(Tcp, WithASharedSecretOnlyAClientThatKnowsItGetsThrough) {
  const std::string secret = "a secret of more than sixteen bytes";
  struct Case {
    const char* label;
    std::string clientSecret;
    bool through;
  } cases[] = {
      {"the same secret", secret, true},
      {"another secret", "another secret, also long enough", false},
      {"no secret", "", false},
  };
  for (const Case& c : cases) {
    Tcp listener;
    listener.setSharedSecret(secret);
    listener.makeListener(0, "JsListener", 1);
    Tcp accepted;
    auto served = std::async(std::launch::async, [&] {
      try {
        if (!listener.listenForConnections(accepted)) return false;
        // Served like the command port: one command, one answer.
        accepted.expectCommand(10);
        std::int32_t value = 0;
        accepted.receiveInt(value);
        accepted.sendString("status");
        return true;
      } catch (const Exception&) {
        return false;
      }
    });
    Tcp client;
    client.setSharedSecret(c.clientSecret);
    std::string answer;
    try {
      // A client without the secret may take the challenge for the server's name; it gets no
      // further than that.
      if (client.connectToHost("127.0.0.1", listener.getPort(), "client", 1)) {
        client.sendCommand(10);
        client.sendInt(0);
        client.receiveString(answer);
      }
    } catch (const Exception&) {
    }
    EXPECT_EQ(served.get(), c.through) << c.label;
    // Refused, it never sees what the server would answer (at most the random challenge).
    EXPECT_EQ(answer == "status", c.through) << c.label;
    EXPECT_EQ(client.getName() == "JsListener", c.through) << c.label;
    // The listener's own wake-up knows the secret.
    if (c.through) {
      Tcp next;
      auto woken =
          std::async(std::launch::async, [&] { return listener.listenForConnections(next); });
      EXPECT_TRUE(listener.stopListener());
      EXPECT_TRUE(woken.get());
    }
    listener.close();
  }
}

TEST(Tcp, TheSecretNeverCrossesTheWireAndEachChallengeIsFresh) {
  const std::string secret = "a secret of more than sixteen bytes";
  std::string challenges[2];
  for (std::string& challenge : challenges) {
    RawClientPair pair(1);
    pair.listener.setSharedSecret(secret);
    auto accepted = std::async(std::launch::async, [&] {
      return thrownText<Tcp::Listen_BadTcpProtocol>(
          [&] { pair.listener.listenForConnections(pair.connection); });
    });
    RawSocket raw = RawSocket::connectTo(pair.listener.getPort());
    EXPECT_EQ(raw.read(16), "00000000005CMD:7");
    raw.send(
        "00000000005CMD:1"
        "00000000001"
        "00000000004mine");
    EXPECT_EQ(raw.read(16), "00000000005CMD:4");
    EXPECT_EQ(raw.read(17), "00000000006CMD:11");
    const std::string unit = raw.read(11 + 64);
    ASSERT_EQ(unit.substr(0, 11), "00000000064");
    challenge = unit.substr(11);
    EXPECT_EQ(challenge.find(secret), std::string::npos);
    // A wrong answer: refused at step 5, and the server's name never sent.
    raw.send("00000000064" + std::string(64, '0'));
    EXPECT_NE(accepted.get().find("(broke at step 5)"), std::string::npos);
    EXPECT_TRUE(raw.peerClosed());
  }
  EXPECT_NE(challenges[0], challenges[1]);
  EXPECT_EQ(keyedDigest(secret, "m").size(), 64u);
  EXPECT_NE(keyedDigest(secret, "m"), keyedDigest(secret + "x", "m"));
  EXPECT_TRUE(sameDigest(keyedDigest(secret, "m"), keyedDigest(secret, "m")));
  EXPECT_FALSE(sameDigest("", ""));
}

TEST(Tcp, ServerRefusesAWrongCommandAtStepZero) {
  RawClientPair pair(1);
  auto accepted = std::async(std::launch::async, [&] {
    return thrownText<Tcp::Listen_BadTcpProtocol>(
        [&] { pair.listener.listenForConnections(pair.connection); });
  });
  RawSocket raw = RawSocket::connectTo(pair.listener.getPort());
  EXPECT_EQ(raw.read(16), "00000000005CMD:7");
  raw.send("00000000005CMD:2");
  std::string failure = accepted.get();
  EXPECT_TRUE(failure ==
                  "Listen_BadTcpProtocol: Client \"localhost\" did not follow required connect "
                  "protocol (broke at step 0)" ||
              failure ==
                  "Listen_BadTcpProtocol: Client \"127.0.0.1\" did not follow required connect "
                  "protocol (broke at step 0)")
      << failure;
  EXPECT_TRUE(raw.peerClosed());
  EXPECT_EQ(pair.connection.getSocket(), platform::kNoSocket);
}

TEST(Tcp, ClientThatCarriesOnAfterAKeyRefusalIsNeverAccepted) {
  RawClientPair pair(2);
  auto accepted = std::async(std::launch::async, [&] {
    return thrownText<Tcp::Listen_BadTcpProtocol>(
        [&] { pair.listener.listenForConnections(pair.connection); });
  });
  RawSocket raw = RawSocket::connectTo(pair.listener.getPort());
  EXPECT_EQ(raw.read(16), "00000000005CMD:7");
  raw.send(
      "00000000005CMD:1"
      "00000000001");
  EXPECT_EQ(raw.read(16), "00000000005CMD:5");
  raw.send("00000000005sneak");
  EXPECT_NE(accepted.get().find("(broke at step 2)"), std::string::npos);
  EXPECT_TRUE(raw.peerClosed());
}

TEST(Tcp, StopListenerBreaksABlockedAccept) {
  for (std::int32_t key : {0, 1}) {
    Tcp listener;
    listener.makeListener(0, "JsListener", key);
    Tcp accepted;
    auto blocked =
        std::async(std::launch::async, [&] { return listener.listenForConnections(accepted); });
    EXPECT_TRUE(listener.stopListener()) << key;
    EXPECT_TRUE(blocked.get()) << key;
    // With the protocol, the loopback client names itself after the listener.
    EXPECT_EQ(accepted.getName(), key == 0 ? "" : "JsListener");
    listener.close();
  }
}

TEST(Tcp, DestroyingAnOpenListenerBreaksItsOwnAcceptAndFreesThePort) {
  std::optional<Tcp> listener(std::in_place);
  listener->makeListener(0, "JsListener", 1);
  const int port = listener->getPort();
  Tcp accepted;
  Tcp* open = &*listener;
  auto blocked =
      std::async(std::launch::async, [&] { return open->listenForConnections(accepted); });
  listener.reset();
  EXPECT_TRUE(blocked.get());
  EXPECT_EQ(accepted.getName(), "JsListener");

  Tcp late;
  EXPECT_NE(thrownText<Tcp::ConnectTcp_SocketError>([&] {
              late.connectToHost("127.0.0.1", port, "x", 0);
            }).find("Failed to connect (error="),
            std::string::npos);
}

TEST(Tcp, ConnectToAClosedPortFailsAtOnce) {
  int port = 0;
  { RawSocket probe = RawSocket::listener(port); }
  Tcp client;
  const auto start = Clock::now();
  EXPECT_EQ(thrownText<Tcp::ConnectTcp_SocketError>(
                [&] { client.connectToHost("127.0.0.1", port, "c", 1); }),
            "ConnectTcp_SocketError: Failed to connect (error=" +
                std::to_string(static_cast<int>(std::errc::connection_refused)) + ")");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(client.getSocket(), platform::kNoSocket);
}

TEST(Tcp, MisuseIsReportedWithItsMessage) {
  Tcp fresh;
  char buffer[4];
  EXPECT_EQ(thrownText<Tcp::StopListener_NotListener>([&] { fresh.stopListener(); }),
            "StopListener_NotListener: Attempting to break non-listener socket");
  EXPECT_EQ(thrownText<Tcp::Listen_NotTcpListener>([&] { fresh.listenForConnections(fresh); }),
            "Listen_NotTcpListener: Attempting to listen with a closed or non-listener socket");
  EXPECT_EQ(thrownText<Ipc::Send_ConnectionClosed>([&] { fresh.sendInt(1); }),
            "Send_ConnectionClosed: Attempting to send through a closed connection");
  EXPECT_EQ(thrownText<Ipc::Recv_NotOpen>([&] { fresh.recvRaw(buffer, 4); }),
            "Recv_NotOpen: Attempting to receive data through closed connection");
  EXPECT_EQ(thrownText<Ipc::HaveData_NotOpen>([&] { fresh.haveData(10); }),
            "HaveData_NotOpen: Attempted to check for data on closed socket");
  EXPECT_EQ(thrownText<Tcp::ConnectTcp_GetHost>(
                [&] { fresh.connectToHost("no-such-host.invalid", 1, "c", 0); }),
            "ConnectTcp_GetHost: Failed to get host by name");

  Tcp listener;
  listener.makeListener(0, "L", 0);
  EXPECT_EQ(thrownText<Tcp::MakeTcpListener_AlreadyOpen>([&] { listener.makeListener(0, "L", 0); }),
            "MakeTcpListener_AlreadyOpen: Attempting to make an already open tcp a listener");
  EXPECT_EQ(thrownText<Tcp::ConnectTcp_AlreadyOpen>([&] { listener.connectToHost("", 1, "c", 0); }),
            "ConnectTcp_AlreadyOpen: Attempting to connect using an already open connection");
  Tcp second;
  EXPECT_EQ(thrownText<Tcp::MakeTcpListener_BindFail>(
                [&] { second.makeListener(listener.getPort(), "L", 0); }),
            "MakeTcpListener_BindFail: Failed to associate local address with socket (error=" +
                std::to_string(static_cast<int>(std::errc::address_in_use)) + "i)");
  EXPECT_EQ(second.getSocket(), platform::kNoSocket);

  listener.close();
  EXPECT_EQ(thrownText<Tcp::StopListener_NotOpen>([&] { listener.stopListener(); }),
            "StopListener_NotOpen: Attempting to break closed listener socket");
  EXPECT_EQ(
      thrownText<Tcp::ConnectTcp_AlreadyListener>([&] { listener.connectToHost("", 1, "c", 0); }),
      "ConnectTcp_AlreadyListener: Attempting to connect using a listener");
  // A closed object can listen again.
  Tcp reused;
  reused.makeListener(0, "R", 0);
  reused.close();
  EXPECT_TRUE(reused.makeListener(0, "R", 0));
}

TEST(Tcp, HaveDataWaitsForDataAndTimesOut) {
  RawClientPair pair;
  pair.accept();
  const auto start = Clock::now();
  EXPECT_EQ(thrownText<Ipc::HaveData_Timeout>([&] { pair.connection.haveData(300); }),
            "HaveData_Timeout: Timeout while waiting for data to socket " +
                std::to_string(pair.connection.getSocket()) + " (error=0)");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  pair.raw->send("x");
  EXPECT_TRUE(pair.connection.haveData(5000));
}

TEST(Tcp, SendingToAVanishedPeerFailsWithoutASignal) {
  RawClientPair pair;
  pair.accept();
  pair.raw.reset();
  std::string failure;
  // The first send may still be taken before the reset comes back.
  for (int attempt = 0; attempt < 5 && failure.empty(); ++attempt) {
    try {
      pair.connection.sendRaw("abc", 3);
    } catch (const Ipc::Send_TooManyFails& tooMany) {
      failure = tooMany.toString();
    }
  }
  EXPECT_EQ(failure, "Send_TooManyFails: Failed to send 3 bytes through socket " +
                         std::to_string(pair.connection.getSocket()) +
                         " - tried 3 times - giving up");
}

TEST(Tcp, SenderGivesUpOnAPeerThatStopsReading) {
  RawClientPair pair;
  pair.accept();
  pair.connection.setUnitTimeout(std::chrono::milliseconds(200));
  const std::string big(16 * 1024 * 1024, 'x');
  const auto start = Clock::now();
  EXPECT_NE(thrownText<Ipc::Send_TooManyFails>([&] {
              pair.connection.sendString(big);
            }).find("Failed to send 16777216 bytes"),
            std::string::npos);
  // Generous: a loaded machine slows the copying, but a sender that never gives up would hang.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace ZelcorCorelib
