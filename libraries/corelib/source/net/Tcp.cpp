#include "net/Tcp.h"

#include <atomic>

#include "base/NoDestructor.h"
#include "bus/Logger.h"
#include "net/ControlKey.h"

namespace ZelcorCorelib {

namespace {

// Socket users of the process; only counted, as this platform needs no start-up call.
std::atomic<int>& userCount() {
  static std::atomic<int> count{0};
  return count;
}

constexpr int kNoFailedStep = -1;

}  // namespace

Logger& Tcp::log() {
  // Never destroyed, so that connections closed during process exit can still log.
  static NoDestructor<Logger> logger("tcp");
  return *logger;
}

Tcp::~Tcp() {
  if (!hasSocket() || !isOpen) return;
  if (isListener) {
    try {
      Tcp::stopListener();
    } catch (...) {
      // Nobody may be accepting any more; closing is all that is left to do.
    }
  }
  close();
}

bool Tcp::init() {
  int count = userCount().fetch_add(1) + 1;
  log().trace("Tcp::init: %", count);
  return true;
}

void Tcp::term() {
  int count = userCount().load();
  log().trace("Tcp::term: %", count);
  while (count > 0 && !userCount().compare_exchange_weak(count, count - 1)) {
  }
}

void Tcp::setDeadlines(const Deadlines& value) {
  dataWait = value.dataWait;
  firstByteWait = value.firstByte;
  setUnitTimeout(value.unit);
}

Tcp::Deadlines Tcp::getDeadlines() const {
  return Deadlines{dataWait, firstByteWait, getUnitTimeout()};
}

void Tcp::close() {
  if (hasSocket()) platform::closeSocket(socket);
  socket = platform::kNoSocket;
}

void Tcp::giveUpSocket() {
  close();
  term();
}

bool Tcp::makeListener(int listenPort, const std::string& listenerName, std::int32_t key,
                       const std::string& address) {
  if (hasSocket()) {
    ZELCOR_THROW(MakeTcpListener_AlreadyOpen,
                 "@tpc.make-tcp-listener.already-open{Attempting to make an already open tcp a "
                 "listener};");
  }
  try {
    init();
  } catch (const Exception& failure) {
    ZELCOR_THROW_WRAPPED(MakeTcpListener_BadInit, failure);
  }
  std::optional<int> protocol = platform::tcpProtocolNumber();
  if (!protocol) {
    term();
    ZELCOR_THROW(MakeTcpListener_GetProto,
                 "@tcp.make-tcp-listener.get-proto{Failed to get tcp protocol by name};");
  }
  const bool everywhere = address.empty() || address == "0.0.0.0" || address == "::";
  platform::NewSocket created =
      platform::createStreamSocket(*protocol, platform::isIpv6Address(address));
  if (created.socket == platform::kNoSocket) {
    term();
    ZELCOR_THROW(MakeTcpListener_SocketError,
                 "@tcp.make-tcp-listener.socket-error{Failed to create socket for listener};");
  }
  socket = created.socket;
  log().trace("Tcp::makeListener: Created socket %", socket);

  // Every failure below closes the socket: giving it up without closing would leak it.
  if (platform::setReuseAddress(socket) != 0) {
    giveUpSocket();
    ZELCOR_THROW(MakeTcpListener_ReuseFail,
                 "@tcp.make-tcp-listener.reuse-fail{Failed to re-use socket address};");
  }
  if (platform::SocketError error = platform::setSendBufferSize(socket, kBufferSize)) {
    giveUpSocket();
    ZELCOR_THROW(MakeTcpListener_SetSendBuffer,
                 "@tcp.make-tcp-listener.set-sendbuffer{Failed to set send buffer size "
                 "(error=%)};",
                 error);
  }
  if (platform::SocketError error = platform::setReceiveBufferSize(socket, kBufferSize)) {
    giveUpSocket();
    ZELCOR_THROW(MakeTcpListener_SetRecvBuffer,
                 "@tcp.make-tcp-listener.set-recvbuffer{Failed to set receive buffer size "
                 "(error=%)};",
                 error);
  }
  if (platform::SocketError error = address.empty()
                                        ? platform::bindAnyAddress(socket, listenPort)
                                        : platform::bindAddress(socket, address, listenPort)) {
    giveUpSocket();
    ZELCOR_THROW(MakeTcpListener_BindFail,
                 "@tcp.make-tcp-listener.bind-fail{Failed to associate local address with socket "
                 "(error=%i)};",
                 error);
  }
  if (platform::SocketError error =
          platform::startListening(socket, platform::maxListenBacklog())) {
    giveUpSocket();
    ZELCOR_THROW(MakeTcpListener_ListenFail,
                 "@tcp.make-tcp-listener.listen-fail{Failed to place socket in listening state "
                 "(error=%)};",
                 error);
  }
  // Port 0 binds to a port the system picks; stopListener must connect to that one.
  port = platform::localPort(socket).value_or(listenPort);
  name = listenerName;
  protocolKey = key;
  host.clear();
  wakeHost = everywhere ? "127.0.0.1" : address;
  isListener = true;
  isOpen = true;
  return true;
}

bool Tcp::listenForConnections(Tcp& connection) {
  if (!acceptConnection(connection)) return false;
  log().trace("Tcp::listenForConnections: Getting name of connecting host");
  std::string peerName = platform::reverseLookup(connection.host);
  if (!peerName.empty()) connection.host = peerName;
  log().trace("Tcp::listenForConnections: Got connection from host \"%\"", connection.host);
  connection.answerConnectProtocol();
  log().trace("Tcp::listenForConnections: Got valid connection");
  return true;
}

bool Tcp::acceptConnection(Tcp& connection) {
  if (!isListener || !isOpen || !hasSocket()) {
    ZELCOR_THROW(Listen_NotTcpListener,
                 "@tcp.listen.not-tcp-listener{Attempting to listen with a closed or "
                 "non-listener socket};");
  }
  try {
    init();
  } catch (const Exception& failure) {
    ZELCOR_THROW_WRAPPED(Listen_BadInit, failure);
  }
  log().trace("Tcp::acceptConnection: accept");
  platform::AcceptedSocket accepted = platform::acceptConnection(socket);
  log().trace("Tcp::acceptConnection: Accepted socket %", accepted.socket);
  if (accepted.socket == platform::kNoSocket) {
    log().trace("Tcp::acceptConnection: accept failed (error=%)", accepted.error);
    return false;
  }
  connection.close();
  connection.host = accepted.peerAddress;
  connection.socket = accepted.socket;
  platform::setNoDelay(connection.socket);  // latency only; the stream works without it
  connection.port = accepted.peerPort;
  connection.isListener = false;
  connection.isOpen = true;
  // Until the protocol replaces it with the client's, the name the server gives itself.
  connection.name = protocolKey == 0 ? std::string() : name;
  connection.protocolKey = protocolKey;
  connection.setDeadlines(getDeadlines());
  connection.sharedSecret = sharedSecret;
  return true;
}

void Tcp::answerConnectProtocol() {
  if (protocolKey == 0) {
    log().trace("Tcp::answerConnectProtocol: Accepted connection without default protocol");
    return;
  }
  log().trace("Tcp::answerConnectProtocol: Running default connect protocol");
  int failedStep = kNoFailedStep;
  try {
    failedStep = runServerProtocol();
  } catch (Exception& failure) {
    close();
    failure.addLocation(ZELCOR_HERE);
    throw;
  }
  if (failedStep != kNoFailedStep) {
    close();
    ZELCOR_THROW(Listen_BadTcpProtocol,
                 "@tcp.listen.bad-tcp-protocol{Client \"%\" did not follow required connect "
                 "protocol (broke at step %)};",
                 host, failedStep);
  }
}

namespace {

// What the client's digest covers: the purpose, the server's challenge and the client's name.
std::string challengeMessage(const std::string& challenge, const std::string& clientName) {
  std::string message = "control";
  message += '\n';
  message += challenge;
  message += '\n';
  message += clientName;
  return message;
}

}  // namespace

int Tcp::runServerProtocol() {
  if (!sendCommand(7) || !expectCommand(1)) return 0;
  std::int32_t clientKey = 0;
  if (!receiveInt(clientKey)) return 1;
  const bool keyAccepted = clientKey == protocolKey;
  if (!sendCommand(keyAccepted ? 4 : 5)) return 2;
  std::string clientName;
  if (!receiveString(clientName)) return 3;
  // A client told 5 should have given up; one that carries on is still refused.
  if (!keyAccepted) return 2;
  if (!sharedSecret.empty()) {
    // Proof of the secret before anything of the server is given away, its name included.
    const std::string challenge = makeChallenge();
    if (challenge.empty() || !sendCommand(kChallengeCommand) || !sendString(challenge)) {
      return 5;
    }
    std::string answer;
    if (!receiveString(answer)) return 5;
    if (!sameDigest(answer, keyedDigest(sharedSecret, challengeMessage(challenge, clientName)))) {
      return 5;
    }
  }
  const std::string serverName = name;
  name = clientName;
  if (!sendString(serverName)) return 4;
  return kNoFailedStep;
}

int Tcp::runClientProtocol() {
  if (!expectCommand(7) || !sendCommand(1)) return 0;
  if (!sendInt(protocolKey)) return 1;
  if (!expectCommand(4)) return 2;
  if (!sendString(name)) return 3;
  if (!sharedSecret.empty()) {
    std::string challenge;
    if (!expectCommand(kChallengeCommand) || !receiveString(challenge)) return 5;
    if (!sendString(keyedDigest(sharedSecret, challengeMessage(challenge, name)))) return 5;
  }
  std::string serverName;
  if (!receiveString(serverName)) return 4;
  // A server that wants a key sends its challenge where the name would be: without a key,
  // there is nothing to answer it with.
  if (sharedSecret.empty() && serverName == "CMD:" + std::to_string(kChallengeCommand)) return 5;
  name = serverName;
  return kNoFailedStep;
}

bool Tcp::connectToHost(const std::string& hostName, int hostPort, const std::string& ownName,
                        std::int32_t key) {
  log().trace("Tcp::connectToHost: Connecting to \"%\" through port %", hostName, hostPort);
  if (hasSocket()) {
    ZELCOR_THROW(ConnectTcp_AlreadyOpen,
                 "@tcp.connect-tcp.already-open{Attempting to connect using an already open "
                 "connection};");
  }
  if (isListener) {
    ZELCOR_THROW(ConnectTcp_AlreadyListener,
                 "@tcp.connect-tcp.already-listener{Attempting to connect using a listener};");
  }
  try {
    init();
  } catch (const Exception& failure) {
    ZELCOR_THROW_WRAPPED(ConnectTcp_FailedInit, failure);
  }
  std::optional<std::uint32_t> address = platform::resolveIpv4(hostName);
  if (!address && hostName.empty()) address = platform::resolveIpv4("127.0.0.1");
  if (!address) {
    ZELCOR_THROW(ConnectTcp_GetHost, "@tcp.connect-tcp.get-host{Failed to get host by name};");
  }

  platform::NewSocket created = platform::createStreamSocket();
  if (created.socket == platform::kNoSocket) {
    ZELCOR_THROW(ConnectTcp_NoSocket, "@tcp.connect-tcp.no-socket{Failed to create socket};");
  }
  socket = created.socket;
  log().trace("Tcp::connect: Created socket %", socket);
  if (platform::SocketError error = platform::setSendBufferSize(socket, kBufferSize)) {
    close();
    ZELCOR_THROW(ConnectTcp_SetSendBuffer,
                 "@tcp.connect-tcp.set-sendbuffer{Failed to set send buffer size (error=%)};",
                 error);
  }
  if (platform::SocketError error = platform::setReceiveBufferSize(socket, kBufferSize)) {
    close();
    ZELCOR_THROW(ConnectTcp_SetRecvBuffer,
                 "@tcp.connect-tcp.set-recvbuffer{Failed to set receive buffer size (error=%)};",
                 error);
  }

  // Non-blocking only for the connect, so that an unanswered one gives up in time.
  log().trace("Tcp::connect: Connecting");
  platform::SocketError error = platform::setNonBlocking(socket, true);
  platform::ConnectResult started{platform::ConnectStart::failed, error};
  if (error == 0) started = platform::startConnect(socket, *address, hostPort);
  if (started.state == platform::ConnectStart::failed) {
    close();
    ZELCOR_THROW(ConnectTcp_SocketError,
                 "@tcp.connect-tcp.socket-error{Failed to connect (error=%)};", started.error);
  }
  if (started.state == platform::ConnectStart::inProgress) {
    bool writable = false;
    for (int wait = 0; wait < kConnectWaits && !writable; ++wait) {
      platform::WaitResult result = platform::waitWritable(socket, kConnectWaitMs);
      if (result.state == platform::Readiness::failed) {
        close();
        ZELCOR_THROW(ConnectTcp_SocketError,
                     "@tcp.connect-tcp.socket-error{Failed to connect (error=%)};", result.error);
      }
      writable = result.state == platform::Readiness::ready;
    }
    if (!writable) {
      error = platform::pendingError(socket);
      close();
      ZELCOR_THROW(ConnectTcp_Timeout,
                   "@tcp.connect-tcp.timeout{Failed to connect because of timeout (error=%)};",
                   error);
    }
    // Writable also means the connect has failed (refused, unreachable): ask which.
    if ((error = platform::pendingError(socket)) != 0) {
      close();
      ZELCOR_THROW(ConnectTcp_SocketError,
                   "@tcp.connect-tcp.socket-error{Failed to connect (error=%)};", error);
    }
  }
  log().trace("Tcp::connect: Successfully connected");
  platform::setNonBlocking(socket, false);
  platform::setNoDelay(socket);
  isOpen = true;
  host = hostName;
  port = hostPort;
  protocolKey = key;
  name = ownName;

  if (key == 0) {
    log().trace("Tcp::connect: Connected without default protocol");
  } else {
    log().trace("Tcp::connect: Running default connect protocol");
    int failedStep = kNoFailedStep;
    try {
      failedStep = runClientProtocol();
    } catch (Exception& failure) {
      close();
      failure.addLocation(ZELCOR_HERE);
      throw;
    }
    if (failedStep != kNoFailedStep) {
      close();
      ZELCOR_THROW(ConnectTcp_BadProtocol,
                   "@tcp.connect-tcp.bad-protocol{Server \"%\" did not follow required connect "
                   "protocol (broke at step %)};",
                   host, failedStep);
    }
  }
  log().trace("Tcp::connect: Got valid connection");
  return true;
}

bool Tcp::stopListener() {
  log().trace("Tcp::stopListener");
  if (!isListener) {
    ZELCOR_THROW(StopListener_NotListener,
                 "@tcp.break-listen.not-listener{Attempting to break non-listener socket};");
  }
  if (!isOpen || !hasSocket()) {
    ZELCOR_THROW(StopListener_NotOpen,
                 "@tcp.break-listen.not-open{Attempting to break closed listener socket};");
  }
  Tcp wakeUp;
  wakeUp.setDeadlines(getDeadlines());
  wakeUp.setSharedSecret(sharedSecret);
  bool connected = false;
  try {
    connected = wakeUp.connectToHost(wakeHost.empty() ? host : wakeHost, port, name, protocolKey);
  } catch (const Exception& failure) {
    ZELCOR_THROW_WRAPPED(StopListener_ConnectFail, failure);
  }
  if (!connected) return false;
  wakeUp.close();
  log().trace("Tcp::stopListener: Broken");
  return true;
}

}  // namespace ZelcorCorelib
