// The operating-system calls behind Tcp: IPv4 stream sockets, listening, accepting, a bounded
// connect, readiness waits and single non-blocking transfers. Called by net/Tcp (and by
// tests that need a raw peer); everything else goes through Tcp.
// Stateless and safe from any thread; one socket is used by one thread at a time. Nothing
// throws: failures come back as an error value (the system's errno, 0 for success), which
// the caller puts into its message. Every socket made here is close-on-exec, so a job never
// inherits the listening socket. Sockets stay in blocking mode; transfers pass a per-call
// "don't wait" flag, so a wait is always one of the explicit waits below.
// A handle returned here belongs to the caller, who ends it with closeSocket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ZelcorCorelib::platform {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// 0 when the call succeeded, else the system's error number.
using SocketError = int;

// The protocol number of "tcp" from the protocol database, or the fixed number where the
// database is missing.
std::optional<int> tcpProtocolNumber();

struct NewSocket {
  SocketHandle socket = kNoSocket;
  SocketError error = 0;
};
// An IPv4 stream socket; protocol 0 lets the system choose.
// ipv6: an IPv6 socket that also takes IPv4 peers (as mapped addresses) once bound to "::".
NewSocket createStreamSocket(int protocol = 0, bool ipv6 = false);
void closeSocket(SocketHandle socket);
// Ends both directions without releasing the descriptor: another thread blocked on it wakes
// (a receive sees the end), and its owner still closes it.
void shutdownSocket(SocketHandle socket);
// A second descriptor of the same socket (close-on-exec), or kNoSocket. Shutting it down ends
// the socket for every holder; closing it leaves the others open.
SocketHandle duplicateSocket(SocketHandle socket);

SocketError setReuseAddress(SocketHandle socket);
SocketError setSendBufferSize(SocketHandle socket, int bytes);
SocketError setReceiveBufferSize(SocketHandle socket, int bytes);
// Sends small writes at once: a frame goes out as a length field and its bytes in two
// writes, which would otherwise wait for the peer's delayed acknowledgement.
SocketError setNoDelay(SocketHandle socket);

// Binds to all interfaces; port 0 lets the system pick one (read it with localPort).
SocketError bindAnyAddress(SocketHandle socket, int port);
// Binds to address: a dotted IPv4 address ("0.0.0.0": every IPv4 interface), or an IPv6
// address ("::": every interface, IPv6 and IPv4; the socket must be made with ipv6). EINVAL
// for anything else.
SocketError bindAddress(SocketHandle socket, const std::string& address, int port);
// Whether bindAddress takes text: a dotted IPv4 address or an IPv6 address.
bool isListenAddress(const std::string& text);
bool isIpv6Address(const std::string& text);
std::optional<int> localPort(SocketHandle socket);
// The largest backlog the system accepts.
int maxListenBacklog();
SocketError startListening(SocketHandle socket, int backlog);

struct AcceptedSocket {
  SocketHandle socket = kNoSocket;  // kNoSocket when accept failed
  SocketError error = 0;
  std::string peerAddress;  // dotted decimal (an IPv6 peer: its text form)
  int peerPort = 0;
};
// Blocks until a peer connects or the call fails; an interrupted call is retried.
AcceptedSocket acceptConnection(SocketHandle listener);

// The name a reverse lookup gives for a dotted address; empty when there is none.
std::string reverseLookup(const std::string& dottedAddress);

// The first IPv4 address of a host name or dotted address (network byte order).
std::optional<std::uint32_t> resolveIpv4(const std::string& host);

enum class ConnectStart { connected, inProgress, failed };
struct ConnectResult {
  ConnectStart state = ConnectStart::failed;
  SocketError error = 0;
};
// Starts a connect that returns at once; finish it with waitWritable and pendingError.
ConnectResult startConnect(SocketHandle socket, std::uint32_t address, int port);
// The outcome of a finished non-blocking connect (SO_ERROR), 0 when it succeeded.
SocketError pendingError(SocketHandle socket);
SocketError setNonBlocking(SocketHandle socket, bool nonBlocking);

enum class Readiness { ready, timeout, failed };
struct WaitResult {
  Readiness state = Readiness::failed;
  SocketError error = 0;
};
// Wait at most timeoutMs; a socket that has failed or whose peer has closed counts as ready,
// so that the next transfer reports it. Interruptions are absorbed within the time.
WaitResult waitReadable(SocketHandle socket, int timeoutMs);
WaitResult waitWritable(SocketHandle socket, int timeoutMs);

enum class Transfer { moved, wouldBlock, closed, failed };
struct TransferResult {
  Transfer state = Transfer::failed;
  std::size_t bytes = 0;
  SocketError error = 0;
};
// One send or recv that never waits; `closed` is a receive of 0 bytes (the peer has shut
// its side). A send to a vanished peer fails with EPIPE instead of raising SIGPIPE.
TransferResult sendSome(SocketHandle socket, const char* bytes, std::size_t count);
TransferResult receiveSome(SocketHandle socket, char* buffer, std::size_t count);

}  // namespace ZelcorCorelib::platform
