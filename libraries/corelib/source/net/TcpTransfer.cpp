// The byte transfer of Tcp: sending, receiving with its deadlines, and the readiness wait.
#include "net/Tcp.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "bus/Logger.h"

namespace ZelcorCorelib {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kFailedSendPause{50};

int millisecondsUntil(Clock::time_point moment) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(moment - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1'000'000)) : 0;
}

}  // namespace

std::size_t Tcp::sendCall(const char* bytes, std::size_t count, int& error) {
  std::size_t sent = 0;
  error = 0;
  while (sent < count) {
    platform::TransferResult result = platform::sendSome(socket, bytes + sent, count - sent);
    if (result.state == platform::Transfer::moved) {
      sent += result.bytes;
      continue;
    }
    if (result.state != platform::Transfer::wouldBlock) {
      error = result.error;
      return sent;
    }
    // The buffers are full: wait for the peer to read, but not for ever.
    const int stallMs = static_cast<int>(getUnitTimeout().count());
    platform::WaitResult room = platform::waitWritable(socket, stallMs);
    if (room.state != platform::Readiness::ready) {
      error = room.error;
      return sent;
    }
  }
  return sent;
}

bool Tcp::sendRaw(const char* bytes, std::size_t count) {
  log().trace("Tcp::sendRaw: Sending % bytes = \"%\"", count,
              count == 0 ? std::string() : std::string(bytes, count));
  if (!isOpen || !hasSocket()) {
    ZELCOR_THROW(Send_ConnectionClosed,
                 "@ipc.send.connection-closed{Attempting to send through a closed connection");
  }
  std::size_t sent = 0;
  int calls = 0;
  while (calls < kSendCalls) {
    ++calls;
    int error = 0;
    sent += sendCall(bytes + sent, count - sent, error);
    if (sent == count) {
      log().trace("Tcp::sendRaw: Sent % bytes", count);
      return true;
    }
    if (error != 0) {
      log().trace("Tcp::sendRaw: Send call % failed (error=%)", calls, error);
      std::this_thread::sleep_for(kFailedSendPause);
    }
  }
  ZELCOR_THROW(Send_TooManyFails,
               "@ipc.send.too-many-fails{Failed to send % bytes through socket % - tried % times "
               "- giving up};",
               count, socket, calls);
}

bool Tcp::recvRaw(char* buffer, std::size_t count) {
  if (!isOpen || !hasSocket()) {
    ZELCOR_THROW(Recv_NotOpen,
                 "@ipc.recv.not-open{Attempting to receive data through closed connection};");
  }
  log().trace("Tcp::recvRaw: Receiving % bytes...", count);
  if (count == 0) {
    log().trace("Tcp::recvRaw: Nothing (zero bytes) to receive");
    return true;
  }
  if (!waitForDataToReceive()) return false;
  return receiveWithin(buffer, count, firstByteWait);
}

bool Tcp::waitForDataToReceive() {
  log().trace("Tcp::waitForDataToReceive: Waiting for data to receive...");
  try {
    haveData(static_cast<int>(dataWait.count()));
  } catch (const Exception& failure) {
    ZELCOR_THROW_WRAPPED(Recv_NoData, failure);
  }
  log().trace("Tcp::waitForDataToReceive: Got some data to receive");
  return true;
}

// Two deadlines: the first byte must come within its limit, and once the unit has begun
// it must be whole within the unit timeout. A peer that trickles a byte now and then would
// otherwise hold the receiver for ever.
bool Tcp::tryReceive(char* buffer, std::size_t count, int timeoutSeconds) {
  return receiveWithin(buffer, count, std::chrono::seconds(timeoutSeconds));
}

bool Tcp::receiveWithin(char* buffer, std::size_t count, std::chrono::milliseconds firstByteLimit) {
  if (!isOpen || !hasSocket()) {
    ZELCOR_THROW(Recv_NotOpen,
                 "@ipc.recv.not-open{Attempting to receive data through closed connection};");
  }
  const Clock::time_point firstByteBy = Clock::now() + firstByteLimit;
  std::optional<Clock::time_point> wholeBy = unitMustEndBy();
  std::size_t received = 0;
  while (received < count) {
    platform::TransferResult result =
        platform::receiveSome(socket, buffer + received, count - received);
    switch (result.state) {
      case platform::Transfer::moved:
        if (result.bytes > 0 && !wholeBy) wholeBy = unitBytesArrived();
        received += result.bytes;
        break;
      case platform::Transfer::closed:
        // The peer has closed: nothing more can come, so waiting out the deadline would only
        // hold the receiver (a client that connects and hangs up costs 3 s otherwise).
        ZELCOR_THROW(Recv_Fail,
                     "@ipc.recv.fail{Failed to receive % bytes through connection % (error=%)};",
                     count, socket, "closed");
      case platform::Transfer::wouldBlock: {
        // Wakes as soon as bytes arrive; the nearest deadline bounds the wait.
        Clock::time_point until = received == 0 ? firstByteBy : *wholeBy;
        if (wholeBy) until = std::min(until, *wholeBy);
        platform::WaitResult ready = platform::waitReadable(socket, millisecondsUntil(until));
        if (ready.state == platform::Readiness::failed) {
          ZELCOR_THROW(Recv_Fail,
                       "@ipc.recv.fail{Failed to receive % bytes through connection % (error=%)};",
                       count, socket, ready.error);
        }
        break;
      }
      case platform::Transfer::failed:
        ZELCOR_THROW(Recv_Fail,
                     "@ipc.recv.fail{Failed to receive % bytes through connection % (error=%)};",
                     count, socket, result.error);
    }
    if (received == count) break;
    const Clock::time_point now = Clock::now();
    if ((received == 0 && now >= firstByteBy) || (wholeBy && now >= *wholeBy)) {
      ZELCOR_THROW(Recv_Fail,
                   "@ipc.recv.fail{Failed to receive % bytes through connection % (error=%)};",
                   count, socket, "timeout");
    }
  }
  log().trace("Tcp::tryReceive: Received % bytes = \"%\"", count, std::string(buffer, count));
  return true;
}

bool Tcp::haveData(int timeoutMs) {
  log().trace("Tcp::haveData: Checking if there is data...");
  if (!isOpen || !hasSocket()) {
    ZELCOR_THROW(HaveData_NotOpen,
                 "@tcp.have-data.not-open{Attempted to check for data on closed socket};");
  }
  platform::WaitResult result = platform::waitReadable(socket, timeoutMs);
  if (result.state == platform::Readiness::failed) {
    ZELCOR_THROW(HaveData_SocketError,
                 "@tcp.have-data.socket-error{Failed to check for data on socket % (error=%)};",
                 socket, result.error);
  }
  if (result.state == platform::Readiness::timeout) {
    ZELCOR_THROW(HaveData_Timeout,
                 "@tcp.have-data.timeout{Timeout while waiting for data to socket % (error=%)};",
                 socket, result.error);
  }
  log().trace("Tcp::haveData: Have data");
  return true;
}

}  // namespace ZelcorCorelib
