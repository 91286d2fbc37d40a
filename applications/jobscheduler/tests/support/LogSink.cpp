#include "support/LogSink.h"

#include <algorithm>

#include "bus/ImsMessage.h"
#include "bus/Logger.h"
#include "values/Primitive.h"

namespace Zelcor::test {

LogSink::LogSink(std::vector<std::string> sources, const std::vector<std::string>& groups)
    : ImsAgent("test-sink"), sources(std::move(sources)) {
  for (const std::string& group : groups) {
    hookIds.push_back(setMessageHook(false, "debug", group, "", 1));
  }
}

LogSink::~LogSink() {
  for (std::uint64_t id : hookIds) removeMessageHook(id);
}

ZelcorCorelib::ImsResult LogSink::receiveHookedMessage(std::uint64_t,
                                                       ZelcorCorelib::ImsMessage& message) {
  // A "" group also catches the level messages, which carry no record.
  const std::string& group = message.getGroupType();
  if (group != "functional" && group != "debug") return ZelcorCorelib::ImsResult::NotHandled;
  const auto* record =
      static_cast<const ZelcorCorelib::Logger::LogMessageParameter*>(message.getParameter());
  if (!sources.empty() &&
      std::find(sources.begin(), sources.end(), record->sourceName) == sources.end()) {
    return ZelcorCorelib::ImsResult::NotHandled;
  }
  Record copy{record->level, record->sourceName, record->threadId, record->text, record->text};
  for (const auto& value : record->parameters.getPrimitives()) {
    copy.line += " | " + ZelcorCorelib::primitiveToText(value);
  }
  std::lock_guard<std::mutex> guard(mutex);
  kept.push_back(std::move(copy));
  return ZelcorCorelib::ImsResult::NotHandled;
}

std::size_t LogSink::count(const std::string& fragment, std::uint32_t threadId) const {
  std::lock_guard<std::mutex> guard(mutex);
  std::size_t found = 0;
  for (const Record& record : kept) {
    found += (threadId == kAnyThread || record.threadId == threadId) &&
             record.line.find(fragment) != std::string::npos;
  }
  return found;
}

std::vector<std::string> LogSink::texts(int level, std::uint32_t threadId) const {
  std::lock_guard<std::mutex> guard(mutex);
  std::vector<std::string> found;
  for (const Record& record : kept) {
    if ((level == kAnyLevel || record.level == level) &&
        (threadId == kAnyThread || record.threadId == threadId)) {
      found.push_back(record.text);
    }
  }
  return found;
}

}  // namespace Zelcor::test
