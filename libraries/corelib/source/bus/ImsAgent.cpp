#include "bus/ImsAgent.h"

#include <utility>

#include "base/NoDestructor.h"
#include "bus/Ims.h"
#include "bus/Logger.h"

namespace ZelcorCorelib {

namespace {

// The bus's own module logger. Never destroyed, like the bus: agents destroyed during process
// exit still log their hook removal through it. Only agents other than "logger" touch it, so
// making it (a Logger is an agent too) never comes back here.
Logger& busLogger() {
  static NoDestructor<Logger> logger("imsagent");
  return *logger;
}

// Asked before a line's values are built.
bool busLogWanted(int level) { return getLevelCeiling() >= level && busLogger().isEnabled(level); }

// The bus's lines are a by-product: a log writer that fails must not make a hook operation or
// a send fail, nor throw out of an agent's destructor.
template <typename... V>
void busLog(int level, std::string_view text, const V&... values) {
  try {
    busLogger().send(level, text, makeParams(values...));
  } catch (...) {
  }
}

Ims* processBus() {
  try {
    return &Ims::instance();
  } catch (const Exception&) {
    return nullptr;
  }
}

}  // namespace

ImsAgent::ImsAgent(std::string name) : ImsAgent(std::move(name), processBus()) {}

ImsAgent::ImsAgent(std::string name, Ims* bus)
    : bus(bus), name(std::move(name)), theLogger(this->name == "logger") {
  // Made here, with the source name "imsagent", by the first agent that may log through it.
  if (!theLogger) busLogger();
}

ImsAgent::~ImsAgent() = default;

ImsResult ImsAgent::receiveMessage(ImsMessage&) { return ImsResult::NotHandled; }

ImsResult ImsAgent::receiveHookedMessage(std::uint64_t, ImsMessage&) {
  return ImsResult::NotHandled;
}

std::uint64_t ImsAgent::setMessageHook(bool hookOnlyOnce, const std::string& generalType,
                                       const std::string& groupType, const std::string& messageType,
                                       int hookStage) {
  if (!theLogger && generalType != "debug" && busLogWanted(kLogVerbose)) {
    busLog(kLogVerbose,
           "ImsAgent::setMessageHook: Setting hook:\n\tHook only once   : %\n\tGeneral type glob: "
           "%\n\tGroup type glob  : %\n\tMessage type glob: %",
           hookOnlyOnce ? "yes" : "no", generalType, groupType, messageType);
  }
  if (bus == nullptr) return 0;
  try {
    return bus->setHook(this, hookOnlyOnce, generalType, groupType, messageType, hookStage);
  } catch (const Ims::Hook_Duplicate& duplicate) {
    ZELCOR_THROW_WRAPPED(Hook_Duplicate, duplicate);
  }
}

bool ImsAgent::removeMessageHook(std::uint64_t hookId) {
  if (!theLogger && busLogWanted(kLogVerbose)) {
    busLog(kLogVerbose, "ImsAgent::removeMessageHook: Removing hook %", hookId);
  }
  return bus != nullptr && bus->removeHook(hookId);
}

bool ImsAgent::removeMessageHook(Ims& onBus, std::uint64_t hookId) {
  if (!theLogger && busLogWanted(kLogVerbose)) {
    busLog(kLogVerbose, "ImsAgent::removeMessageHook: Removing hook % from specific IMS system",
           hookId);
  }
  return onBus.removeHook(hookId);
}

bool ImsAgent::sendMessage(ImsMessage& message) {
  message.setSender(this);
  // Log records are "debug" messages: a line about delivering one would be a record itself.
  if (!theLogger && message.getGeneralType() != "debug" && busLogWanted(kLogTrace)) {
    busLog(kLogTrace, "ImsAgent::sendMessage:\n%", message.describe());
  }
  return bus != nullptr && bus->dispatch(message);
}

bool ImsAgent::sendMessage(ImsAgent& receiver, ImsMessage& message) {
  message.setSender(this);
  if (!theLogger && message.getGeneralType() != "debug" && busLogWanted(kLogTrace)) {
    busLog(kLogTrace, "ImsAgent::sendMessage: To \"%\":\n%", receiver.getName(),
           message.describe());
  }
  return receiver.receiveMessage(message) != ImsResult::NotHandled;
}

}  // namespace ZelcorCorelib
