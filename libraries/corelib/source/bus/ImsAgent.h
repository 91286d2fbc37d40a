// Base of every participant of the message bus. A service sets hooks in its constructor, keeps
// the ids, answers in receiveHookedMessage / receiveMessage and removes its hooks in its own
// destructor (this base leaves the bus alone). A client broadcasts with sendMessage, or sends
// straight to a known receiver.
// Handlers run in the sending thread, possibly in several threads at once; each agent guards
// its own state. The agent must outlive every delivery to it. The bus is not owned.
// The bus writes its own log lines through a logger of source "imsagent"; nothing is logged
// for the agent named "logger", nor about messages of general type "debug" (log records).
#pragma once

#include <cstdint>
#include <string>

#include "bus/ImsMessage.h"
#include "bus/ImsResult.h"
#include "errors/Exception.h"

namespace ZelcorCorelib {

class Ims;

class ImsAgent {
 public:
  ZELCOR_EXCEPTION(Hook_Duplicate);

  // Attaches to the process's bus; when that cannot be made the agent stays without a bus:
  // it sets no hooks (id 0) and its broadcasts are not delivered.
  explicit ImsAgent(std::string name);
  virtual ~ImsAgent();

  ImsAgent(const ImsAgent&) = delete;
  ImsAgent& operator=(const ImsAgent&) = delete;

  virtual ImsResult receiveMessage(ImsMessage& message);
  virtual ImsResult receiveHookedMessage(std::uint64_t hookId, ImsMessage& message);

  // Throws ImsAgent::Hook_Duplicate (caused by Ims::Hook_Duplicate) when this agent already
  // hooks the pattern.
  std::uint64_t setMessageHook(bool hookOnlyOnce, const std::string& generalType,
                               const std::string& groupType, const std::string& messageType,
                               int hookStage);
  // Removes from this agent's bus; false for an unknown id.
  bool removeMessageHook(std::uint64_t hookId);
  bool removeMessageHook(Ims& bus, std::uint64_t hookId);

  // Broadcast; false when nobody handled the message (or there is no bus).
  bool sendMessage(ImsMessage& message);
  // Direct send: no hooks, no bus lock. False when the receiver answers NotHandled.
  bool sendMessage(ImsAgent& receiver, ImsMessage& message);

  const std::string& getName() const { return name; }
  Ims* getBus() const { return bus; }
  bool isTheLogger() const { return theLogger; }

 protected:
  // Attaches to the given bus instead (null: no bus); for separate buses.
  ImsAgent(std::string name, Ims* bus);

 private:
  Ims* bus;
  std::string name;
  bool theLogger;
};

}  // namespace ZelcorCorelib
