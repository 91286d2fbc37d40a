// The base of a two-way byte connection with a small typed framing on top: integers, strings
// and commands travel as ASCII text, so there is no byte order on the wire.
//   integer field: exactly 11 characters, the decimal text left-padded with '0'
//                  (-5 travels as "000000000-5" and reads back as 0);
//   string:        an integer field with the byte length, then the bytes;
//   command:       the string "CMD:" + decimal value.
// A subclass supplies the raw transfer (sendRaw, recvRaw, haveData); Tcp is the one in use.
// Receiving is bounded: a unit (an integer field, or a string's length and bytes) must arrive
// whole within the unit timeout (10 s) of its first byte, and a string longer than
// kMaxStringLength is refused before anything is allocated, so a slow or hostile peer can
// neither hold a reader for ever nor exhaust its memory.
// One object is used by one thread at a time. Failures are thrown as the nested classes below.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "errors/Exception.h"

namespace ZelcorCorelib {

class Ipc : public Throws {
 public:
  ZELCOR_EXCEPTION(HaveData_NotOpen);
  ZELCOR_EXCEPTION(HaveData_Timeout);
  ZELCOR_EXCEPTION(HaveData_SocketError);
  ZELCOR_EXCEPTION(Send_ConnectionClosed);
  ZELCOR_EXCEPTION(Send_Fail);  // part of the family; no operation raises it
  ZELCOR_EXCEPTION(Send_TooManyFails);
  ZELCOR_EXCEPTION(Recv_NotOpen);
  ZELCOR_EXCEPTION(Recv_NoData);
  ZELCOR_EXCEPTION(Recv_Fail);
  ZELCOR_EXCEPTION(Recv_OutOfMemory);

  static constexpr std::size_t kFieldWidth = 11;
  // Far above any listing or name this family sends, far below what would hurt a process.
  static constexpr std::size_t kMaxStringLength = 64u * 1024u * 1024u;
  static constexpr std::chrono::milliseconds kDefaultUnitTimeout{10'000};

  Ipc() = default;
  Ipc(const Ipc&) = delete;
  Ipc& operator=(const Ipc&) = delete;
  ~Ipc() override = default;

  virtual bool stopListener() = 0;
  virtual void close() = 0;

  virtual bool sendString(const std::string& text);
  virtual bool sendDouble(double value);
  virtual bool sendUnsigned64(std::uint64_t value);
  virtual bool sendInt64(std::int64_t value);
  virtual bool sendUnsigned(std::uint32_t value);
  virtual bool sendInt(std::int32_t value);
  // "CMD:" + value as a string.
  virtual bool sendCommand(std::int32_t value);

  // Throws Recv_OutOfMemory for an announced length above kMaxStringLength.
  virtual bool receiveString(std::string& text);
  virtual bool receiveDouble(double& value);
  // An optional '-' and the leading digits; 0 when there are none.
  virtual bool receiveInt64(std::int64_t& value);
  // The leading digits; 0 when there are none.
  virtual bool receiveUnsigned64(std::uint64_t& value);
  // strtoul/strtol in base 10 over the 32-bit range (an overflow saturates).
  virtual bool receiveUnsigned(std::uint32_t& value);
  virtual bool receiveInt(std::int32_t& value);
  // The value of a received "CMD:<n>"; 0 for any other text, for "CMD:" alone, or when the
  // receive returned false. Receive exceptions pass through.
  virtual std::int32_t receiveCommand();
  virtual bool expectCommand(std::int32_t value);

  // True once data can be read; never false: throws HaveData_Timeout, HaveData_NotOpen or
  // HaveData_SocketError instead.
  virtual bool haveData(int timeoutMs) = 0;

  virtual bool sendRaw(const char* bytes, std::size_t count) = 0;
  virtual bool recvRaw(char* buffer, std::size_t count) = 0;

  // The longest one received unit may take from its first byte to its last; also the
  // longest a send waits for room while the peer does not read.
  void setUnitTimeout(std::chrono::milliseconds timeout) { unitTimeout = timeout; }
  std::chrono::milliseconds getUnitTimeout() const { return unitTimeout; }
  // A lower bound for a receiver that expects only short strings (at most kMaxStringLength).
  void setMaxStringLength(std::size_t length) { maxStringLength = length; }
  std::size_t getMaxStringLength() const { return maxStringLength; }

  // The 11 characters of an integer field.
  static std::string integerField(std::int64_t value);

 protected:
  using UnitClock = std::chrono::steady_clock;

  // For recvRaw implementations. unitMustEndBy: the time by which the unit being received
  // must be whole, once its first byte has arrived. unitBytesArrived: called when bytes of
  // a block arrive; starts the unit's clock on its first byte and returns that time. Outside
  // a framed receive, each block is a unit of its own.
  std::optional<UnitClock::time_point> unitMustEndBy() const;
  UnitClock::time_point unitBytesArrived();

 private:
  class UnitScope;

  bool receiveField(std::string& text);

  std::chrono::milliseconds unitTimeout = kDefaultUnitTimeout;
  std::size_t maxStringLength = kMaxStringLength;
  bool inUnit = false;
  std::optional<UnitClock::time_point> unitStart;
};

}  // namespace ZelcorCorelib
