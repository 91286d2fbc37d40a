// Test helper: catches the log records that code under test sends, on the bus and in the
// sending thread, so that a test can check what was logged without a log file. Records may
// arrive on any thread; the queries take the same lock and may run on any thread. One test
// owns the sink; its hooks go with it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bus/ImsAgent.h"

namespace Zelcor::test {

class LogSink : public ZelcorCorelib::ImsAgent {
 public:
  static constexpr int kAnyLevel = -1;
  static constexpr std::uint32_t kAnyThread = 0;

  // Keeps the records of the named sources (none named: every source) sent in the given log
  // groups: "functional" (fatal to warning), "debug" (info and finer), "" both.
  explicit LogSink(std::vector<std::string> sources = {},
                   const std::vector<std::string>& groups = {""});
  ~LogSink() override;

  ZelcorCorelib::ImsResult receiveHookedMessage(std::uint64_t hookId,
                                                ZelcorCorelib::ImsMessage& message) override;

  // Records whose line holds fragment.
  std::size_t count(const std::string& fragment, std::uint32_t threadId = kAnyThread) const;
  bool saw(const std::string& fragment) const { return count(fragment) != 0; }
  std::vector<std::string> texts(int level = kAnyLevel, std::uint32_t threadId = kAnyThread) const;

 private:
  struct Record {
    int level = 0;
    std::string source;
    std::uint32_t threadId = 0;
    std::string text;
    // The text with " | value" for each of its values, as the line would show them.
    std::string line;
  };

  std::vector<std::string> sources;
  std::vector<std::uint64_t> hookIds;
  mutable std::mutex mutex;
  std::vector<Record> kept;
};

}  // namespace Zelcor::test
