#include "config/ConfBase.h"

#include <cstdio>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "values/ParamStream.h"
#include "values/StringStream.h"

namespace ZelcorCorelib {

namespace {

constexpr const char* kFailedToSetHooks =
    "@conf-base.conf-base.failed-to-set-hooks{Failed to set the message hooks of the "
    "configuration store};";

// A store that cannot write a log line must still answer: a failing log writer may not turn
// into an exception across the bus.
template <typename... V>
void logLine(Logger& logger, int level, std::string_view text, const V&... values) {
  if (!logger.isEnabled(level)) return;
  try {
    logger.send(level, text, makeParams(values...));
  } catch (...) {
  }
}

// The byte form of a string stream holds type bytes and record separators; they are shown as
// \xNN so that the warning line stays one readable line.
std::string streamText(StreamBase& stream) {
  const auto* strings = dynamic_cast<const StringStream*>(&stream);
  if (strings == nullptr) return std::string();
  std::string text;
  for (char c : strings->getBytes()) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      text += escaped;
    } else {
      text += c;
    }
  }
  return text;
}

bool holdsText(int type) { return type == kConfString || type == kConfDir || type == kConfFile; }

template <typename T>
T& valueOf(const ConfQueryParam& param) {
  return *static_cast<T*>(param.value);
}

}  // namespace

ConfBase::ConfBase() : ImsAgent("conf-base") {
  try {
    queryHookId = setMessageHook(false, "conf", "query", "", 1);
    dataHookId = setMessageHook(false, "conf", "data", "", 1);
    keywordHookId = setMessageHook(false, "conf", "keyword", "", 1);
    rawPathHookId = setMessageHook(false, "conf", "rawpath", "", 1);
  } catch (const Exception& cause) {
    removeHooks();
    ConfBase_FailedToSetHooks failure(kFailedToSetHooks, ZELCOR_HERE);
    failure.addNested(cause);
    throw failure;
  }
  // Id 0: the agent has no bus, so nobody could ever reach the store.
  if (queryHookId == 0 || dataHookId == 0 || keywordHookId == 0 || rawPathHookId == 0) {
    removeHooks();
    ZELCOR_THROW(ConfBase_FailedToSetHooks, kFailedToSetHooks);
  }
}

ConfBase::~ConfBase() {
  removeHooks();
  std::unique_lock guard(lock);
  keywords.clear();
  cache.reset();
}

void ConfBase::removeHooks() {
  for (std::uint64_t* id : {&queryHookId, &dataHookId, &keywordHookId, &rawPathHookId}) {
    if (*id != 0) removeMessageHook(*id);
    *id = 0;
  }
}

ImsResult ConfBase::receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) {
  if (hookId == 0) return ImsResult::NotHandled;
  if (hookId != queryHookId && hookId != dataHookId && hookId != keywordHookId &&
      hookId != rawPathHookId) {
    return ImsResult::NotHandled;
  }
  return receiveMessage(message);
}

ImsResult ConfBase::receiveMessage(ImsMessage& message) {
  if (message.getGeneralType() != "conf") return ImsResult::NotHandled;
  const std::string& group = message.getGroupType();
  if (group == "query") return query(message);
  if (group == "data") return cacheData(message);
  if (group == "keyword") return registerKeyword(message);
  if (group == "rawpath") return processPath(message);
  return ImsResult::NotHandled;
}

ImsResult ConfBase::query(ImsMessage& message) {
  logLine(logger, kLogTrace, "ConfBase::query: Handling incoming message");
  logLine(logger, kLogTrace, "ConfBase::query: Extacting query details from message");
  auto* param = dynamic_cast<ConfQueryParam*>(message.getParameter());
  if (param == nullptr) return ImsResult::NotHandled;
  if (!param->isSet) return get(*param);
  set(*param);
  return ImsResult::Handled;
}

ImsResult ConfBase::get(ConfQueryParam& param) {
  logLine(logger, kLogTrace, "ConfBase::get: Path=\"%\"", param.path);
  std::shared_lock guard(lock);
  ConfNode::Handle node = findNode(param.path);
  if (!node) {
    param.status = kConfStatusNotFound;
    return ImsResult::Handled;
  }
  const int nodeType = node->getType();
  // A string read of a path entry is what it always was: a text.
  const bool pathAsString =
      param.queryType == kConfString && (nodeType == kConfDir || nodeType == kConfFile);
  if (param.queryType != kConfSubEntries && param.queryType != nodeType && !pathAsString) {
    param.status = kConfStatusWrongType;
    return ImsResult::Handled;
  }
  param.status = readValue(*node, param);
  if (param.status != kConfStatusUnanswered) return ImsResult::Handled;
  param.status = kConfStatusDone;
  return ImsResult::Final;
}

int ConfBase::readValue(const ConfNode& node, ConfQueryParam& param) const {
  if (param.value == nullptr) return kConfStatusUnknownType;
  try {
    switch (param.queryType) {
      case kConfBool:
        valueOf<bool>(param) = node.getBool();
        break;
      case kConfInt:
        valueOf<std::int64_t>(param) = node.getInt();
        break;
      case kConfUInt:
        valueOf<std::uint64_t>(param) = node.getUInt();
        break;
      case kConfFloat:
        valueOf<double>(param) = node.getFloat();
        break;
      case kConfDateTime:
        valueOf<DateTime>(param) = node.getDateTime();
        break;
      case kConfTimeOfDay:
        valueOf<DateTime>(param) = node.getTimeOfDay();
        break;
      case kConfTimeZone:
        valueOf<TimeZone>(param) = node.getTimeZone();
        break;
      case kConfTimeSpan:
        valueOf<TimeSpan>(param) = node.getTimeSpan();
        break;
      case kConfString:
      case kConfDir:
      case kConfFile: {
        const int type = node.getType();
        const std::string text = type == kConfString ? node.getString()
                                 : type == kConfDir  ? node.getDir()
                                                     : node.getFile();
        valueOf<std::string>(param) = expandedText(node, text);
        break;
      }
      case kConfList:
        valueOf<std::vector<std::string>>(param) = node.getList();
        break;
      case kConfSubEntries:
        valueOf<std::vector<std::string>>(param) = node.getChildOrder();
        break;
      default:
        return kConfStatusUnknownType;
    }
  } catch (const ConfNode::Get_InvalidValue&) {
    // The text is no value of the node's type, so the entry holds no value of the one asked.
    return kConfStatusWrongType;
  } catch (const ConfNode::Get_WrongType&) {
    return kConfStatusWrongType;
  }
  return kConfStatusUnanswered;
}

std::string ConfBase::expandedText(const ConfNode& node, const std::string& text) const {
  Visited visited{&node};
  try {
    return expandReferences(text, visited, 0);
  } catch (const ProcessString_CircularReference&) {
    return kCircularReferenceText;
  }
}

std::string ConfBase::expandReferences(const std::string& text, Visited& visited, int depth) const {
  if (text.find("${") == std::string::npos) return text;
  std::string result;
  std::size_t pos = 0;
  while (true) {
    const std::size_t open = text.find("${", pos);
    if (open == std::string::npos) break;
    result.append(text, pos, open - pos);
    const std::size_t close = text.find('}', open + 2);
    if (close == std::string::npos) {
      pos = open;
      break;
    }
    const std::string reference = text.substr(open + 2, close - open - 2);
    pos = close + 1;
    ConfNode::Handle target = findNode(reference);
    if (!target) {
      result += "${" + reference + "}";
      continue;
    }
    if (!holdsText(target->getType())) {
      result += target->valueAsText();
      continue;
    }
    // Identity, not the written text: "%kw%" and the path it stands for are one entry.
    if (visited.count(target.get()) != 0) {
      ZELCOR_THROW(ProcessString_CircularReference,
                   "@conf-base.process-string.circular-reference{Configuration entry \"%\" "
                   "refers back to itself};",
                   reference);
    }
    if (depth >= kMaxReferenceDepth) {
      ZELCOR_THROW(ProcessString_CircularReference,
                   "@conf-base.process-string.too-deep{References nest deeper than % levels at "
                   "\"%\"};",
                   kMaxReferenceDepth, reference);
    }
    visited.insert(target.get());
    result += expandReferences(target->valueAsText(), visited, depth + 1);
    visited.erase(target.get());
  }
  result.append(text, pos, std::string::npos);
  return result;
}

void ConfBase::set(ConfQueryParam& param) {
  logLine(logger, kLogTrace, "ConfBase::set: Path=\"%\"", param.path);
  std::unique_lock guard(lock);
  if (!cache) cache = ConfNode::root();
  int status = kConfStatusUnanswered;
  switch (param.queryType) {
    case kConfCreateEntry:
      status = createEntry(param);
      break;
    case kConfRemoveEntry:
      status = removeEntry(param);
      break;
    default:
      status = writeValue(param);
      break;
  }
  param.status = status == kConfStatusUnanswered ? kConfStatusDone : status;
}

int ConfBase::createEntry(const ConfQueryParam& param) {
  if (param.path.empty()) return kConfStatusInvalidPath;
  // Only real node types; 13 and up name queries, not entries.
  if (param.entryType < kConfNone || param.entryType > kConfList) return kConfStatusUnknownType;
  ConfNode::Handle node = cache->createByPath(expandKeywords(param.path), param.entryType);
  if (!node || node == cache) return kConfStatusInvalidPath;
  if (param.description != nullptr && !param.description->empty()) {
    node->setAttribute("description", *param.description);
  }
  return kConfStatusDone;
}

int ConfBase::removeEntry(const ConfQueryParam& param) {
  ConfNode::Handle node = param.path.empty() ? ConfNode::Handle() : findNode(param.path);
  if (!node || node == cache) return kConfStatusInvalidPath;
  node->getParent()->removeChild(node->getName());
  return kConfStatusDone;
}

int ConfBase::writeValue(ConfQueryParam& param) {
  ConfNode::Handle node = findNode(param.path);
  if (!node) return kConfStatusNotFound;
  if (node->getType() != param.queryType) return kConfStatusWrongType;
  ConfNode& target = *node;
  switch (param.queryType) {
    case kConfDateTime:
    case kConfTimeOfDay:
      ZELCOR_THROW(ConfNode::Set_WrongType,
                   "@conf-node.set.wrong-type{Trying to set % value in node % but values of this "
                   "type cannot be set};",
                   confTypeName(param.queryType), target.getPath());
    default:
      break;
  }
  if (param.value == nullptr) return kConfStatusUnknownType;
  switch (param.queryType) {
    case kConfBool:
      target.setBool(valueOf<bool>(param));
      break;
    case kConfInt:
      target.setInt(valueOf<std::int64_t>(param));
      break;
    case kConfUInt:
      target.setUInt(valueOf<std::uint64_t>(param));
      break;
    case kConfFloat:
      target.setFloat(valueOf<double>(param));
      break;
    case kConfString:
      target.setString(valueOf<std::string>(param));
      break;
    case kConfTimeZone:
      target.setTimeZone(valueOf<TimeZone>(param));
      break;
    case kConfTimeSpan:
      target.setTimeSpan(valueOf<TimeSpan>(param));
      break;
    case kConfDir:
      target.setDir(valueOf<std::string>(param));
      break;
    case kConfFile:
      target.setFile(valueOf<std::string>(param));
      break;
    case kConfList: {
      auto ltype = param.options.find("ltype");
      const std::string kind = ltype == param.options.end() ? std::string() : ltype->second;
      if (kind == "str") {
        target.setList(valueOf<std::string>(param), param.listSeparator);
      } else if (kind == "list") {
        target.setList(valueOf<std::vector<std::string>>(param), param.listSeparator);
      } else {
        return kConfStatusBadListType;
      }
      break;
    }
    default:
      return kConfStatusUnknownType;
  }
  return kConfStatusUnanswered;
}

ImsResult ConfBase::cacheData(ImsMessage& message) {
  logLine(logger, kLogDebug, "ConfBase::cache: Handling incoming message");
  logLine(logger, kLogTrace, "ConfBase::cache: Unstreaming cache message data");
  auto* param = dynamic_cast<ConfDataParam*>(message.getParameter());
  if (param == nullptr || param->stream == nullptr) {
    logLine(logger, kLogWarning,
            "@config.cache.no-data{Configuration data message carries no data stream};");
    return ImsResult::NotHandled;
  }
  // Read apart from the cache, so that damaged data leaves the configuration as it was.
  ConfNode::Handle tree = ConfNode::root();
  try {
    tree->streamFrom(*param->stream);
  } catch (const Exception& failure) {
    logLine(logger, kLogWarning,
            "@config.cache.unstream{Failed to read new configuration data (%)}; (New data "
            "stream: %)",
            failure.toString(), streamText(*param->stream));
    return ImsResult::NotHandled;
  }

  enum class Outcome { Replaced, Merged, Refused } outcome = Outcome::Refused;
  {
    std::unique_lock guard(lock);
    if (message.getMessageType() == "clear-old" || (cache && cache->getName().empty())) {
      cache = std::move(tree);
      outcome = Outcome::Replaced;
    } else {
      // A refused merge must not leave even an empty cache behind.
      ConfNode::Handle target = cache ? cache : ConfNode::root();
      if (target->merge(*tree)) {
        cache = std::move(target);
        outcome = Outcome::Merged;
      }
    }
  }
  switch (outcome) {
    case Outcome::Replaced:
      logLine(logger, kLogDebug, "ConfBase::cache: Replaced old configuration data");
      return ImsResult::Handled;
    case Outcome::Merged:
      logLine(logger, kLogDebug, "ConfBase::cache: Merged new configuration data with old");
      return ImsResult::Handled;
    case Outcome::Refused:
      break;
  }
  logLine(logger, kLogWarning,
          "@config.cache.merge{Failed to merge new configuration data with old}; (New data "
          "stream: %)",
          streamText(*param->stream));
  return ImsResult::NotHandled;
}

ImsResult ConfBase::registerKeyword(ImsMessage& message) {
  logLine(logger, kLogTrace, "ConfBase::registerKeyword: Handling incoming message");
  logLine(logger, kLogTrace, "ConfBase::registerKeyword: Extacting keyword details from message");
  auto* param = dynamic_cast<ConfKeywordParam*>(message.getParameter());
  if (param == nullptr) return ImsResult::NotHandled;
  logLine(logger, kLogTrace, "ConfBase::registerKeyword: Keyword=\"%\", Path=\"%\"", param->keyword,
          param->path);
  std::unique_lock guard(lock);
  keywords[param->keyword] = param->path;
  return ImsResult::Handled;
}

ImsResult ConfBase::processPath(ImsMessage& message) {
  logLine(logger, kLogTrace, "ConfBase::processPath: Handling incoming message");
  logLine(logger, kLogTrace, "ConfBase::processPath: Extacting path details from message");
  auto* param = dynamic_cast<ConfPathParam*>(message.getParameter());
  if (param == nullptr) return ImsResult::NotHandled;
  logLine(logger, kLogTrace, "ConfBase::processPath: Raw path=\"%\"", param->path);
  std::shared_lock guard(lock);
  param->path = expandKeywords(param->path);
  return ImsResult::Handled;
}

std::string ConfBase::expandKeywords(const std::string& rawPath) const {
  std::string result;
  std::string keyword;
  bool inside = false;
  for (char c : rawPath) {
    if (!inside) {
      if (c == '%') {
        inside = true;
        keyword.clear();
      } else {
        result += c;
      }
    } else if (c != '%') {
      keyword += c;
    } else {
      auto found = keywords.find(keyword);
      result += found != keywords.end() ? found->second : "%" + keyword + "%";
      inside = false;
    }
  }
  return result;
}

ConfNode::Handle ConfBase::findNode(const std::string& rawPath) const {
  if (!cache) return ConfNode::Handle();
  if (rawPath.empty()) return cache;
  return cache->findByPath(expandKeywords(rawPath));
}

}  // namespace ZelcorCorelib
