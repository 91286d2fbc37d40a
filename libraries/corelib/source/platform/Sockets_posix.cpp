#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace ZelcorCorelib::platform {

namespace {

sockaddr_in ipv4Address(std::uint32_t networkAddress, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = networkAddress;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

SocketError setIntOption(SocketHandle socket, int name, int value) {
  return ::setsockopt(socket, SOL_SOCKET, name, &value, sizeof(value)) == 0 ? 0 : errno;
}

// poll restarts after a signal with the time that is left, so a signal never shortens a wait.
WaitResult waitFor(SocketHandle socket, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto giveUp = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    // Rounded up: a wait that ends a fraction early would report a timeout before its time.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now()).count();
    pollfd entry{socket, events, 0};
    int result = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (result > 0) {
      if ((entry.revents & POLLNVAL) != 0) return {Readiness::failed, EBADF};
      return {Readiness::ready, 0};
    }
    if (result == 0) return {Readiness::timeout, 0};
    if (errno != EINTR) return {Readiness::failed, errno};
  }
}

bool wouldBlock(int error) { return error == EWOULDBLOCK || error == EAGAIN; }

}  // namespace

std::optional<int> tcpProtocolNumber() {
  // The _r form: the plain lookup returns a static record another thread may overwrite.
  protoent entry{};
  protoent* found = nullptr;
  char buffer[1024];
  // A minimal system may lack /etc/protocols; the number of tcp is fixed, so use it then.
  if (::getprotobyname_r("tcp", &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr) {
    return IPPROTO_TCP;
  }
  return found->p_proto;
}

NewSocket createStreamSocket(int protocol, bool ipv6) {
  SocketHandle socket = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (socket < 0) return {kNoSocket, errno};
  if (ipv6) {
    // IPv4 peers too, whatever the system's default says.
    int off = 0;
    ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
  }
  return {socket, 0};
}

void closeSocket(SocketHandle socket) {
  // No retry on EINTR: on Linux the descriptor is released even then, and a retry could close
  // a descriptor another thread has just been given.
  if (socket >= 0) ::close(socket);
}

void shutdownSocket(SocketHandle socket) {
  if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
}

SocketHandle duplicateSocket(SocketHandle socket) {
  if (socket < 0) return kNoSocket;
  const int copy = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
  return copy >= 0 ? copy : kNoSocket;
}

SocketError setReuseAddress(SocketHandle socket) { return setIntOption(socket, SO_REUSEADDR, 1); }

SocketError setSendBufferSize(SocketHandle socket, int bytes) {
  return setIntOption(socket, SO_SNDBUF, bytes);
}

SocketError setReceiveBufferSize(SocketHandle socket, int bytes) {
  return setIntOption(socket, SO_RCVBUF, bytes);
}

SocketError setNoDelay(SocketHandle socket) {
  int on = 1;
  return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0 ? 0 : errno;
}

SocketError bindAnyAddress(SocketHandle socket, int port) {
  sockaddr_in address = ipv4Address(htonl(INADDR_ANY), port);
  return ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ? 0 : errno;
}

SocketError bindAddress(SocketHandle socket, const std::string& address, int port) {
  sockaddr_in6 six{};
  if (::inet_pton(AF_INET6, address.c_str(), &six.sin6_addr) == 1) {
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(static_cast<std::uint16_t>(port));
    return ::bind(socket, reinterpret_cast<sockaddr*>(&six), sizeof(six)) == 0 ? 0 : errno;
  }
  in_addr ipv4{};
  if (::inet_pton(AF_INET, address.c_str(), &ipv4) != 1) return EINVAL;
  sockaddr_in target = ipv4Address(ipv4.s_addr, port);
  return ::bind(socket, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0 ? 0 : errno;
}

bool isListenAddress(const std::string& text) {
  in_addr ipv4{};
  in6_addr ipv6{};
  return ::inet_pton(AF_INET, text.c_str(), &ipv4) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), &ipv6) == 1;
}

bool isIpv6Address(const std::string& text) {
  in6_addr ipv6{};
  return ::inet_pton(AF_INET6, text.c_str(), &ipv6) == 1;
}

std::optional<int> localPort(SocketHandle socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return std::nullopt;
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

int maxListenBacklog() { return SOMAXCONN; }

SocketError startListening(SocketHandle socket, int backlog) {
  return ::listen(socket, backlog) == 0 ? 0 : errno;
}

AcceptedSocket acceptConnection(SocketHandle listener) {
  AcceptedSocket accepted;
  sockaddr_storage peer{};
  for (;;) {
    socklen_t length = sizeof(peer);
    SocketHandle socket =
        ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (socket >= 0) {
      accepted.socket = socket;
      break;
    }
    if (errno != EINTR) {
      accepted.error = errno;
      return accepted;
    }
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (peer.ss_family == AF_INET6) {
    const auto& six = *reinterpret_cast<const sockaddr_in6*>(&peer);
    if (IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) {
      // An IPv4 peer of a dual-stack socket: its dotted address, as from an IPv4 socket.
      in_addr four{};
      std::memcpy(&four, six.sin6_addr.s6_addr + 12, sizeof(four));
      if (::inet_ntop(AF_INET, &four, text, sizeof(text)) != nullptr) accepted.peerAddress = text;
    } else if (::inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof(text)) != nullptr) {
      accepted.peerAddress = text;
    }
    accepted.peerPort = ntohs(six.sin6_port);
    return accepted;
  }
  const auto& four = *reinterpret_cast<const sockaddr_in*>(&peer);
  if (::inet_ntop(AF_INET, &four.sin_addr, text, sizeof(text)) != nullptr) {
    accepted.peerAddress = text;
  }
  accepted.peerPort = ntohs(four.sin_port);
  return accepted;
}

std::string reverseLookup(const std::string& dottedAddress) {
  sockaddr_in address = ipv4Address(0, 0);
  if (::inet_pton(AF_INET, dottedAddress.c_str(), &address.sin_addr) != 1) return {};
  char name[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof(address), name, sizeof(name),
                    nullptr, 0, NI_NAMEREQD) != 0) {
    return {};
  }
  return name;
}

std::optional<std::uint32_t> resolveIpv4(const std::string& host) {
  if (host.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  std::uint32_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return address;
}

ConnectResult startConnect(SocketHandle socket, std::uint32_t address, int port) {
  sockaddr_in target = ipv4Address(address, port);
  if (::connect(socket, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0) {
    return {ConnectStart::connected, 0};
  }
  // EINTR leaves the connect going on in the background, like EINPROGRESS.
  if (errno == EINPROGRESS || errno == EINTR || wouldBlock(errno)) {
    return {ConnectStart::inProgress, 0};
  }
  return {ConnectStart::failed, errno};
}

SocketError pendingError(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

SocketError setNonBlocking(SocketHandle socket, bool nonBlocking) {
  int flags = ::fcntl(socket, F_GETFL);
  if (flags < 0) return errno;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(socket, F_SETFL, flags) == 0 ? 0 : errno;
}

WaitResult waitReadable(SocketHandle socket, int timeoutMs) {
  return waitFor(socket, POLLIN, timeoutMs);
}

WaitResult waitWritable(SocketHandle socket, int timeoutMs) {
  return waitFor(socket, POLLOUT, timeoutMs);
}

TransferResult sendSome(SocketHandle socket, const char* bytes, std::size_t count) {
  for (;;) {
    ssize_t sent = ::send(socket, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return {Transfer::moved, static_cast<std::size_t>(sent), 0};
    if (errno == EINTR) continue;
    if (wouldBlock(errno)) return {Transfer::wouldBlock, 0, errno};
    return {Transfer::failed, 0, errno};
  }
}

TransferResult receiveSome(SocketHandle socket, char* buffer, std::size_t count) {
  for (;;) {
    ssize_t received = ::recv(socket, buffer, count, MSG_DONTWAIT);
    if (received > 0) return {Transfer::moved, static_cast<std::size_t>(received), 0};
    if (received == 0) return {count == 0 ? Transfer::moved : Transfer::closed, 0, 0};
    if (errno == EINTR) continue;
    if (wouldBlock(errno)) return {Transfer::wouldBlock, 0, errno};
    return {Transfer::failed, 0, errno};
  }
}

}  // namespace ZelcorCorelib::platform
