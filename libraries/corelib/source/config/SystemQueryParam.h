// The payload of "system" bus messages: a system fact or a local (registry-held) value asked
// for by the configuration agent and answered by the system-information service. Built by the
// sender for one message and freed by it after the send.
#pragma once

#include <string>
#include <utility>

#include "bus/ImsMessageParameter.h"

namespace ZelcorCorelib {

// value points at the caller's variable: std::string for "system string" (16) and
// "local string" (20), std::int64_t (17), std::uint64_t (18), double (19),
// std::vector<std::string> for "local set" (21).
struct SystemQueryParam : ImsMessageParameter {
  SystemQueryParam(std::string name, int valueType, void* value, bool perUser)
      : name(std::move(name)), valueType(valueType), value(value), perUser(perUser) {}
  std::string name;
  int valueType;
  void* value;
  bool perUser;
  int status = 0;
};

// Status codes the service writes into SystemQueryParam::status when a request fails.
enum SystemQueryStatus : int {
  kSystemStatusNotFound = 3,
  kSystemStatusWrongType = 4,
  kSystemStatusUnknownType = 5,
  kSystemStatusNoAccess = 6,
  kSystemStatusWriteDenied = 10,
  kSystemStatusWriteFailed = 11,
};

}  // namespace ZelcorCorelib
