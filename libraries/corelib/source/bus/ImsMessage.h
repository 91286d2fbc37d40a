// One bus message: three type strings that hooks match against, and a pointer to the payload
// that the handler reads its inputs from and writes its answer into, so the message is request
// and reply at once. Normally a local of the sending function, passed by reference; handlers
// run before the send returns. Not shared between threads while a send is in progress.
#pragma once

#include <memory>
#include <string>

#include "bus/ImsMessageParameter.h"

namespace ZelcorCorelib {

class ImsAgent;

class ImsMessage {
 public:
  // Does not own the parameter: the sender keeps it alive during the send and frees it after.
  ImsMessage(std::string generalType, std::string groupType, std::string messageType,
             ImsMessageParameter* parameter = nullptr);
  // Owns the parameter: it is destroyed with the message.
  ImsMessage(std::string generalType, std::string groupType, std::string messageType,
             std::unique_ptr<ImsMessageParameter> parameter);

  ImsMessage(const ImsMessage&) = delete;
  ImsMessage& operator=(const ImsMessage&) = delete;

  const std::string& getGeneralType() const { return generalType; }
  const std::string& getGroupType() const { return groupType; }
  const std::string& getMessageType() const { return messageType; }
  ImsMessageParameter* getParameter() const { return parameter; }
  bool getOwnsParameter() const { return ownedParameter != nullptr; }
  // Set by ImsAgent::sendMessage; null before the first send.
  ImsAgent* getSender() const { return sender; }
  void setSender(ImsAgent* agent) { sender = agent; }

  // The three type strings as the bus's log lines show them.
  std::string describe() const;

 private:
  std::string generalType;
  std::string groupType;
  std::string messageType;
  ImsMessageParameter* parameter;
  std::unique_ptr<ImsMessageParameter> ownedParameter;
  ImsAgent* sender = nullptr;
};

}  // namespace ZelcorCorelib
