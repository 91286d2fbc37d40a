// How code below the bus (threads, locks) writes log lines: it hands level, source name, text
// and values to a sink, which the bus Logger installs when the first Logger is made, as
// abseil's raw_logging serves the code below absl/log. The lines then reach the log file as
// records of that source, under the levels the "debug"/"level" messages set.
// Until a sink is installed, warnings and worse go to standard error and the rest is dropped,
// so a program without a logger still hears that a thread died.
// Any thread. A sink is two plain functions that stay valid for the rest of the process: a
// line may still be on its way through the old sink while a new one is installed.
#pragma once

#include <string_view>

#include "values/ParamStream.h"

namespace ZelcorCorelib {

enum LogLevel : int {
  kLogNone = 0,
  kLogFatal = 1,
  kLogError = 2,
  kLogWarning = 3,
  kLogInfo = 4,
  kLogVerbose = 5,
  kLogDebug = 6,
  kLogTrace = 7,
  kLogFlood = 8,
};

struct RawLogSink {
  // Whether a line of this level would be written; callers ask first and build nothing when not.
  bool (*enabled)(int level);
  void (*write)(int level, std::string_view source, std::string_view text,
                const ParamStream& parameters);
};

// Requires: sink is null (back to standard error) or lives for the rest of the process.
void setRawLogSink(const RawLogSink* sink);
bool rawLogEnabled(int level);
// Writes whatever the level; ask rawLogEnabled first.
void rawLog(int level, std::string_view source, std::string_view text,
            const ParamStream& parameters = {});

}  // namespace ZelcorCorelib
