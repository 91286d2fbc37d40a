// A TCP connection of the framework: the listening side, accepted and connected ends, the
// framing of Ipc over them, and the default connect protocol that both ends run right after
// the TCP connection is made when a protocol key other than 0 is given:
//   step 0: server sends command 7, client answers command 1;
//   step 1: client sends its key as a signed integer field;
//   step 2: server sends command 4 when the key equals its own, 5 otherwise (and then
//           refuses the client whatever it does next);
//   step 3: client sends its name; step 4: server sends its name.
// Used by the command listener; written as a general component.
// One object is used by one thread at a time, with one exception: stopListener may be called
// from another thread while the owner's thread blocks in listenForConnections (it connects to
// the listener instead of touching the blocked call). The object owns its socket and closes it
// when destroyed; a listener that is still open first breaks its own accept that way.
// All Tcp objects log through one logger named "tcp".
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "errors/Exception.h"
#include "net/Ipc.h"
#include "platform/Sockets.h"

namespace ZelcorCorelib {

class Logger;

class Tcp : public Ipc {
 public:
  ZELCOR_EXCEPTION(MakeTcpListener_AlreadyOpen);
  ZELCOR_EXCEPTION(MakeTcpListener_BadInit);
  ZELCOR_EXCEPTION(MakeTcpListener_GetProto);
  ZELCOR_EXCEPTION(MakeTcpListener_SocketError);
  ZELCOR_EXCEPTION(MakeTcpListener_ReuseFail);
  ZELCOR_EXCEPTION(MakeTcpListener_SetSendBuffer);
  ZELCOR_EXCEPTION(MakeTcpListener_SetRecvBuffer);
  ZELCOR_EXCEPTION(MakeTcpListener_BindFail);
  ZELCOR_EXCEPTION(MakeTcpListener_ListenFail);
  ZELCOR_EXCEPTION(Listen_BadInit);
  ZELCOR_EXCEPTION(Listen_NotTcpListener);
  ZELCOR_EXCEPTION(Listen_BadTcpProtocol);
  ZELCOR_EXCEPTION(StopListener_NotListener);
  ZELCOR_EXCEPTION(StopListener_NotOpen);
  ZELCOR_EXCEPTION(StopListener_ConnectFail);
  ZELCOR_EXCEPTION(ConnectTcp_FailedInit);
  ZELCOR_EXCEPTION(ConnectTcp_AlreadyOpen);
  ZELCOR_EXCEPTION(ConnectTcp_AlreadyListener);
  ZELCOR_EXCEPTION(ConnectTcp_GetHost);
  ZELCOR_EXCEPTION(ConnectTcp_NoSocket);
  ZELCOR_EXCEPTION(ConnectTcp_SetSendBuffer);
  ZELCOR_EXCEPTION(ConnectTcp_SetRecvBuffer);
  ZELCOR_EXCEPTION(ConnectTcp_SocketError);
  ZELCOR_EXCEPTION(ConnectTcp_Timeout);
  ZELCOR_EXCEPTION(ConnectTcp_BadProtocol);
  ZELCOR_EXCEPTION(Init_WSAStartup);
  ZELCOR_EXCEPTION(Init_WSAVersion);

  static constexpr int kBufferSize = 8192;
  static constexpr int kConnectWaits = 5;
  static constexpr int kConnectWaitMs = 500;
  static constexpr int kDataWaitMs = 2000;
  static constexpr int kReceiveSeconds = 3;
  static constexpr int kSendCalls = 3;

  // The protocol's waits. The defaults are the protocol's; tests shorten them. An accepted
  // connection and the loopback connection of stopListener take their listener's.
  struct Deadlines {
    // For the first byte of a receive (waitForDataToReceive).
    std::chrono::milliseconds dataWait{kDataWaitMs};
    // For the first byte again once data was seen (tryReceive, from recvRaw).
    std::chrono::milliseconds firstByte{std::chrono::seconds(kReceiveSeconds)};
    // For a whole unit from its first byte, and for room to send (Ipc's unit timeout).
    std::chrono::milliseconds unit{kDefaultUnitTimeout};
  };

  Tcp() = default;
  ~Tcp() override;

  void setDeadlines(const Deadlines& value);
  Deadlines getDeadlines() const;
  // A shared secret for the connect protocol (ControlKey.h). A listener with one ends the
  // protocol with a challenge (command 11 and 64 hex digits) that the client must answer with
  // the keyed digest of "control\n" + challenge + "\n" + its name; a client with one expects
  // and answers it. Without, the protocol is the plain one. Set before listening/connecting.
  void setSharedSecret(std::string secret) { sharedSecret = std::move(secret); }
  bool hasSharedSecret() const { return !sharedSecret.empty(); }
  static constexpr std::int32_t kChallengeCommand = 11;

  // The process-wide count of socket users; nothing else to start on this platform.
  static bool init();
  static void term();

  // Port 0 lets the system choose; getPort() then gives the port in use. address: where to
  // listen (platform isListenAddress: a dotted IPv4 address, or an IPv6 one, "::" for every
  // interface; stopListener cannot wake one on an IPv6 address other than "::");
  // empty: every IPv4 interface. Throws the MakeTcpListener_* classes.
  bool makeListener(int port, const std::string& name, std::int32_t protocolKey,
                    const std::string& address = {});
  // Blocks until a peer connects and, with a key, has passed the connect protocol.
  // False when accept returned no socket. Requires: connection is fresh (an open one is
  // closed first). Throws Listen_NotTcpListener, Listen_BadTcpProtocol (with the step) and
  // the receive failures of the protocol; the connection is closed on every failure.
  bool listenForConnections(Tcp& connection);
  // The two halves of listenForConnections, for a server that runs the protocol on another
  // thread than its accepts. acceptConnection blocks for the next peer only: the connection
  // takes the listener's name, key, secret and deadlines, and its host is the peer's numeric
  // address (no name lookup). Throws Listen_NotTcpListener, Listen_BadInit.
  bool acceptConnection(Tcp& connection);
  // Runs the connect protocol as the server on an accepted connection (nothing without a
  // key); the connection's name becomes the client's. Throws as listenForConnections does.
  void answerConnectProtocol();
  // Gives up after kConnectWaits waits of kConnectWaitMs. Throws the ConnectTcp_* classes
  // and the receive failures of the protocol; the socket is closed on every failure.
  bool connectToHost(const std::string& host, int port, const std::string& name,
                     std::int32_t protocolKey);
  // Wakes a blocked listenForConnections by connecting to this listener.
  // Throws StopListener_NotListener, StopListener_NotOpen, StopListener_ConnectFail.
  bool stopListener() override;
  void close() override;

  // Throws Send_ConnectionClosed, Send_TooManyFails. A send call that finds no room for the
  // unit timeout gives up, so a peer that stops reading cannot hold the sender for ever.
  bool sendRaw(const char* bytes, std::size_t count) override;
  // Throws Recv_NotOpen, Recv_NoData, Recv_Fail.
  bool recvRaw(char* buffer, std::size_t count) override;
  // Recv_Fail "timeout" when no byte came within timeoutSeconds, or the unit is not whole
  // within the unit timeout; Recv_Fail "closed" when the peer closed in the middle of a unit.
  bool tryReceive(char* buffer, std::size_t count, int timeoutSeconds);
  // Throws Recv_NoData when nothing is readable within the data wait (kDataWaitMs).
  bool waitForDataToReceive();
  bool haveData(int timeoutMs) override;

  const std::string& getName() const { return name; }
  bool getIsListener() const { return isListener; }
  // Once opened, stays true after close(); the socket shows whether it is still open.
  bool getIsOpen() const { return isOpen; }
  platform::SocketHandle getSocket() const { return socket; }
  int getPort() const { return port; }
  const std::string& getHost() const { return host; }
  std::int32_t getProtocolKey() const { return protocolKey; }

 private:
  static Logger& log();

  bool hasSocket() const { return socket != platform::kNoSocket; }
  void giveUpSocket();
  // The step that failed, or -1.
  int runServerProtocol();
  int runClientProtocol();
  std::size_t sendCall(const char* bytes, std::size_t count, int& error);
  bool receiveWithin(char* buffer, std::size_t count, std::chrono::milliseconds firstByteWait);

  std::string name;
  bool isListener = false;
  bool isOpen = false;
  platform::SocketHandle socket = platform::kNoSocket;
  int port = 0;
  std::string host;
  // Where stopListener connects to wake a listener: the loopback address for one that
  // listens everywhere, else its own address.
  std::string wakeHost;
  std::string sharedSecret;
  std::int32_t protocolKey = 0;
  std::chrono::milliseconds dataWait{kDataWaitMs};
  std::chrono::milliseconds firstByteWait{std::chrono::seconds(kReceiveSeconds)};
};

}  // namespace ZelcorCorelib
