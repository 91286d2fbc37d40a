// The per-module log client. A Logger writes nothing itself: it drops lines above its own level
// or above the process-wide ceiling, packs the rest into a log record (time, thread, process,
// source name, text with unfilled "%" placeholders, values) and sends it over the bus as a
// "debug" message, or straight to a fixed receiver; the file logger writes it.
// Every module owns one, usually as a module-level object. Level operations may be called from
// any thread: the level test reads two atomics and nothing is built when it fails. The source
// name and the receiver are set by the owner before the logger is shared. The level changes
// through the bus message "debug"/"level"/<n>, from any thread.
// A handler of log records may log itself; records nested deeper than a few levels within one
// thread are dropped, so a handler that always logs cannot recurse without end.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "bus/ImsAgent.h"
#include "bus/ImsMessageParameter.h"
#include "errors/Exception.h"
#include "errors/RawLog.h"
#include "values/ParamStream.h"

namespace ZelcorCorelib {

// "none" ... "flood"; "undefined" for any other value.
std::string levelName(int level);
// Case-insensitive; unknown names (and "none") give 0.
int levelFromName(const std::string& name);
// The process-wide cap on every logger's level; 7 at start.
int getLevelCeiling();
void setLevelCeiling(int level);

// A value the variadic level operations can put into a record: what a ParamStream writes, and
// string views. Pointers other than C strings are refused rather than logged as bools.
template <typename V>
concept LogValue = std::same_as<V, std::string_view> ||
    ((!std::is_pointer_v<std::decay_t<V>> || std::same_as<std::decay_t<V>, char*> ||
      std::same_as<std::decay_t<V>, const char*> ||
      std::same_as<std::decay_t<V>, const char16_t*> ||
      std::same_as<std::decay_t<V>, char16_t*>)&&requires(ParamStream& stream, const V& value) {
      stream.write(value);
    });

class Logger : public ImsAgent {
 public:
  // One log record. Copyable: the file logger queues copies.
  class LogMessageParameter : public ImsMessageParameter {
   public:
    int level = 0;
    std::string sourceName;
    std::int64_t time = 0;  // DateTime count: ms since 1899-12-31 UTC
    std::uint32_t threadId = 0;
    std::int32_t processId = 0;
    std::string text;
    ParamStream parameters;
  };

  Logger();
  explicit Logger(std::string_view sourceName);
  ~Logger() override;

  // Keeps the first 10 characters.
  void setSourceName(std::string_view name);
  const std::string& getSourceName() const { return sourceName; }
  int getLevel() const { return level.load(std::memory_order_relaxed); }
  bool isEnabled(int lineLevel) const {
    return lineLevel <= level.load(std::memory_order_relaxed) && lineLevel <= getLevelCeiling();
  }
  // Records go to this agent directly instead of being broadcast; null broadcasts again.
  void setReceiver(ImsAgent* agent) { receiver.store(agent, std::memory_order_release); }
  ImsAgent* getReceiver() const { return receiver.load(std::memory_order_acquire); }

  void fatal(std::string_view text);
  // The exception's causes first, depth first, then the exception itself, one record each.
  void fatal(const Exception& exception);
  void error(std::string_view text, ParamStream parameters = {});
  void warning(std::string_view text, ParamStream parameters = {});
  void warning(const Exception& exception);
  void info(std::string_view text);
  void verbose(std::string_view text, ParamStream parameters = {});
  void debug(std::string_view text, ParamStream parameters = {});
  void trace(std::string_view text, ParamStream parameters = {});
  void flood(std::string_view text, ParamStream parameters = {});

  // Values are packed only when the level is enabled:
  //   log.flood("ThreadLock::lock: Going to lock % (%)", id, "blocking");
  template <LogValue... V>
  requires(sizeof...(V) > 0) void error(std::string_view text, const V&... values) {
    if (isEnabled(kLogError)) sendRecord(kLogError, text, pack(values...));
  }
  template <LogValue... V>
  requires(sizeof...(V) > 0) void warning(std::string_view text, const V&... values) {
    if (isEnabled(kLogWarning)) sendRecord(kLogWarning, text, pack(values...));
  }
  template <LogValue... V>
  requires(sizeof...(V) > 0) void info(std::string_view text, const V&... values) {
    if (isEnabled(kLogInfo)) sendRecord(kLogInfo, text, pack(values...));
  }
  template <LogValue... V>
  requires(sizeof...(V) > 0) void verbose(std::string_view text, const V&... values) {
    if (isEnabled(kLogVerbose)) sendRecord(kLogVerbose, text, pack(values...));
  }
  template <LogValue... V>
  requires(sizeof...(V) > 0) void debug(std::string_view text, const V&... values) {
    if (isEnabled(kLogDebug)) sendRecord(kLogDebug, text, pack(values...));
  }
  template <LogValue... V>
  requires(sizeof...(V) > 0) void trace(std::string_view text, const V&... values) {
    if (isEnabled(kLogTrace)) sendRecord(kLogTrace, text, pack(values...));
  }
  template <LogValue... V>
  requires(sizeof...(V) > 0) void flood(std::string_view text, const V&... values) {
    if (isEnabled(kLogFlood)) sendRecord(kLogFlood, text, pack(values...));
  }

  // Sends one record whatever the levels say; the level operations call it once they pass.
  void send(int level, std::string_view text, const ParamStream& parameters);
  // The same, with the record naming another source (cut like setSourceName): the lines that
  // code below the bus hands over through the raw log sink.
  void sendAs(std::string_view source, int level, std::string_view text,
              const ParamStream& parameters);

  // "debug"/"level"/<n>: n from 0 up to the ceiling becomes the level; anything else, a
  // negative or unreadable n included, is answered Handled and changes nothing.
  ImsResult receiveMessage(ImsMessage& message) override;
  ImsResult receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) override;

  static constexpr std::size_t kSourceNameLength = 10;

 private:
  template <typename... V>
  static ParamStream pack(const V&... values) {
    ParamStream stream;
    (write(stream, values), ...);
    return stream;
  }
  template <typename V>
  static void write(ParamStream& stream, const V& value) {
    if constexpr (std::same_as<V, std::string_view>) {
      stream.writeString(std::string(value));
    } else {
      stream.write(value);
    }
  }

  void sendRecord(int lineLevel, std::string_view text, ParamStream&& parameters) {
    sendRecord(sourceName, lineLevel, text, std::move(parameters));
  }
  void sendRecord(std::string_view source, int lineLevel, std::string_view text,
                  ParamStream&& parameters);
  void sendException(int lineLevel, const Exception& exception);

  std::string sourceName = "anonymous";
  std::atomic<int> level{kLogTrace};
  std::uint64_t levelHookId = 0;
  std::atomic<ImsAgent*> receiver{nullptr};
};

}  // namespace ZelcorCorelib
