// One hook of the bus: which agent wants which messages. A pattern is three globs over the
// message's general, group and message type strings; an empty glob matches any string.
// Plain values, copied in and out of the bus's registry under its lock.
#pragma once

#include <compare>
#include <string>

namespace ZelcorCorelib {

class ImsAgent;
class ImsMessage;

struct ImsHookPattern {
  std::string generalType;
  std::string groupType;
  std::string messageType;

  // Byte-wise, general glob first, then group glob, then message-type glob.
  auto operator<=>(const ImsHookPattern&) const = default;
  bool operator==(const ImsHookPattern&) const = default;

  // Every non-empty glob matches its type string as a whole.
  bool matches(const ImsMessage& message) const;
};

struct ImsHook {
  ImsAgent* agent = nullptr;
  ImsHookPattern pattern;
  bool hookOnlyOnce = false;
};

}  // namespace ZelcorCorelib
