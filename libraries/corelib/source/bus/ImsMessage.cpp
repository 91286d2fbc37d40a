#include "bus/ImsMessage.h"

#include <utility>

namespace ZelcorCorelib {

ImsMessage::ImsMessage(std::string generalType, std::string groupType, std::string messageType,
                       ImsMessageParameter* parameter)
    : generalType(std::move(generalType)),
      groupType(std::move(groupType)),
      messageType(std::move(messageType)),
      parameter(parameter) {}

ImsMessage::ImsMessage(std::string generalType, std::string groupType, std::string messageType,
                       std::unique_ptr<ImsMessageParameter> parameter)
    : generalType(std::move(generalType)),
      groupType(std::move(groupType)),
      messageType(std::move(messageType)),
      parameter(parameter.get()),
      ownedParameter(std::move(parameter)) {}

std::string ImsMessage::describe() const {
  return "\tGeneral type: " + generalType + "\n\tGroup type  : " + groupType +
         "\n\tMessage type: " + messageType;
}

}  // namespace ZelcorCorelib
