#include "errors/RawLog.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace ZelcorCorelib {

namespace {

bool stderrEnabled(int level) { return level > kLogNone && level <= kLogWarning; }

void stderrWrite(int /*level*/, std::string_view source, std::string_view text,
                 const ParamStream& parameters) {
  // One write per line, so that lines of two threads do not interleave.
  std::string line(source);
  line += ": ";
  line += fillPlaceholders(std::string(text), parameters);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

constexpr RawLogSink kStderrSink{&stderrEnabled, &stderrWrite};

// Constant-initialised, so that lines from static initialisation find a sink.
constinit std::atomic<const RawLogSink*> currentSink{&kStderrSink};

}  // namespace

void setRawLogSink(const RawLogSink* sink) {
  currentSink.store(sink != nullptr ? sink : &kStderrSink, std::memory_order_release);
}

bool rawLogEnabled(int level) {
  return currentSink.load(std::memory_order_acquire)->enabled(level);
}

void rawLog(int level, std::string_view source, std::string_view text,
            const ParamStream& parameters) {
  currentSink.load(std::memory_order_acquire)->write(level, source, text, parameters);
}

}  // namespace ZelcorCorelib
