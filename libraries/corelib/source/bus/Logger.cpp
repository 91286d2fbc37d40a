#include "bus/Logger.h"

#include <array>
#include <charconv>
#include <utility>

#include "base/NoDestructor.h"
#include "base/StringUtils.h"
#include "bus/ImsMessage.h"
#include "platform/Threads.h"
#include "time/DateTime.h"

namespace ZelcorCorelib {

namespace {

constexpr std::array<const char*, 9> kLevelNames = {"none",    "fatal", "error", "warning", "info",
                                                    "verbose", "debug", "trace", "flood"};

// Constant-initialised, so loggers made during static initialisation already see it.
constinit std::atomic<int> levelCeiling{kLogTrace};

// Records sent while this many records of the same thread are still being delivered are a
// handler logging about its own records; they are dropped instead of recursing.
constexpr int kMaxNestedRecords = 4;
thread_local int recordsInFlight = 0;

// The level operations' group type: "functional" below info, "debug" from info on.
const char* groupTypeOf(int lineLevel) { return lineLevel < kLogInfo ? "functional" : "debug"; }

// The raw log sink's logger. It hears the "debug"/"level" messages like every other logger, so
// threads and locks follow the levels as their own loggers did; each record keeps the source
// name the line came with. Never destroyed: locks are still released during process exit.
Logger& rawLogger() {
  static NoDestructor<Logger> logger("raw");
  return *logger;
}

bool rawEnabled(int lineLevel) { return rawLogger().isEnabled(lineLevel); }

void rawWrite(int lineLevel, std::string_view source, std::string_view text,
              const ParamStream& parameters) {
  rawLogger().sendAs(source, lineLevel, text, parameters);
}

constexpr RawLogSink kBusSink{&rawEnabled, &rawWrite};
constinit std::atomic<bool> rawSinkInstalled{false};

// Made with the first Logger, so that the raw logger exists before any level message can be
// sent (a sender is an agent, and every agent makes the bus's own logger). The raw logger's
// own construction comes back here and finds the flag set.
void installRawSink() {
  if (rawSinkInstalled.exchange(true)) return;
  rawLogger();
  setRawLogSink(&kBusSink);
}

}  // namespace

std::string levelName(int level) {
  if (level < 0 || level >= static_cast<int>(kLevelNames.size())) return "undefined";
  return kLevelNames[static_cast<std::size_t>(level)];
}

int levelFromName(const std::string& name) {
  const std::string lower = lowerCopy(name);
  for (std::size_t level = 0; level < kLevelNames.size(); ++level) {
    if (lower == kLevelNames[level]) return static_cast<int>(level);
  }
  return kLogNone;
}

int getLevelCeiling() { return levelCeiling.load(std::memory_order_relaxed); }

void setLevelCeiling(int level) { levelCeiling.store(level, std::memory_order_relaxed); }

Logger::Logger() : ImsAgent("logger") {
  levelHookId = setMessageHook(false, "debug", "level", "", 1);
  installRawSink();
}

Logger::Logger(std::string_view name) : Logger() { setSourceName(name); }

Logger::~Logger() {
  if (levelHookId != 0) removeMessageHook(levelHookId);
}

void Logger::setSourceName(std::string_view name) {
  sourceName.assign(name.substr(0, kSourceNameLength));
}

void Logger::fatal(std::string_view text) {
  if (isEnabled(kLogFatal)) sendRecord(kLogFatal, text, ParamStream());
}

void Logger::fatal(const Exception& exception) {
  if (isEnabled(kLogFatal)) sendException(kLogFatal, exception);
}

void Logger::error(std::string_view text, ParamStream parameters) {
  if (isEnabled(kLogError)) sendRecord(kLogError, text, std::move(parameters));
}

void Logger::warning(std::string_view text, ParamStream parameters) {
  if (isEnabled(kLogWarning)) sendRecord(kLogWarning, text, std::move(parameters));
}

void Logger::warning(const Exception& exception) {
  if (isEnabled(kLogWarning)) sendException(kLogWarning, exception);
}

void Logger::info(std::string_view text) {
  if (isEnabled(kLogInfo)) sendRecord(kLogInfo, text, ParamStream());
}

void Logger::verbose(std::string_view text, ParamStream parameters) {
  if (isEnabled(kLogVerbose)) sendRecord(kLogVerbose, text, std::move(parameters));
}

void Logger::debug(std::string_view text, ParamStream parameters) {
  if (isEnabled(kLogDebug)) sendRecord(kLogDebug, text, std::move(parameters));
}

void Logger::trace(std::string_view text, ParamStream parameters) {
  if (isEnabled(kLogTrace)) sendRecord(kLogTrace, text, std::move(parameters));
}

void Logger::flood(std::string_view text, ParamStream parameters) {
  if (isEnabled(kLogFlood)) sendRecord(kLogFlood, text, std::move(parameters));
}

void Logger::send(int lineLevel, std::string_view text, const ParamStream& parameters) {
  sendRecord(lineLevel, text, ParamStream(parameters));
}

void Logger::sendAs(std::string_view source, int lineLevel, std::string_view text,
                    const ParamStream& parameters) {
  sendRecord(source.substr(0, kSourceNameLength), lineLevel, text, ParamStream(parameters));
}

void Logger::sendException(int lineLevel, const Exception& exception) {
  for (ExceptionRecord& record : exception.logRecords()) {
    sendRecord(lineLevel, record.text, std::move(record.parameters));
  }
}

void Logger::sendRecord(std::string_view source, int lineLevel, std::string_view text,
                        ParamStream&& parameters) {
  if (recordsInFlight >= kMaxNestedRecords) return;
  struct InFlight {
    InFlight() { ++recordsInFlight; }
    ~InFlight() { --recordsInFlight; }
  } inFlight;

  // Record and message live on this stack frame: the only allocations are the text (when it
  // outgrows the small-string buffer) and what the caller's parameters already hold.
  LogMessageParameter record;
  record.level = lineLevel;
  record.sourceName.assign(source);
  record.time = DateTime::now().getCount();
  record.threadId = platform::currentThreadId();
  record.processId = platform::currentProcessId();
  record.text.assign(text);
  record.parameters = std::move(parameters);

  char levelText[12];
  auto end = std::to_chars(levelText, levelText + sizeof(levelText), lineLevel).ptr;
  ImsMessage message("debug", groupTypeOf(lineLevel), std::string(levelText, end), &record);
  // A record nobody takes is lost; that is no failure of the code that logged.
  if (ImsAgent* fixed = getReceiver()) {
    sendMessage(*fixed, message);
  } else {
    sendMessage(message);
  }
}

ImsResult Logger::receiveMessage(ImsMessage& message) {
  if (message.getGeneralType() != "debug" || message.getGroupType() != "level") {
    return ImsResult::NotHandled;
  }
  const std::string& text = message.getMessageType();
  int requested = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), requested);
  // An unreadable level is ignored like a negative one, rather than read as 0, which would
  // silence the logger.
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return ImsResult::Handled;
  }
  if (requested >= 0 && requested <= getLevelCeiling()) {
    level.store(requested, std::memory_order_relaxed);
  }
  return ImsResult::Handled;
}

ImsResult Logger::receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) {
  if (hookId == 0 || hookId != levelHookId) return ImsResult::NotHandled;
  return receiveMessage(message);
}

}  // namespace ZelcorCorelib
