// Base of every payload a bus message points to (log records, configuration queries, ...).
// A handler knows the payload's class from the message's three type strings and casts to it;
// it never inspects the dynamic type. Owned by the sender, or by the message that adopted it.
#pragma once

namespace ZelcorCorelib {

class ImsMessageParameter {
 public:
  ImsMessageParameter() = default;
  ImsMessageParameter(const ImsMessageParameter&) = default;
  ImsMessageParameter& operator=(const ImsMessageParameter&) = default;
  virtual ~ImsMessageParameter() = default;
};

}  // namespace ZelcorCorelib
