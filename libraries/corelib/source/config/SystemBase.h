// The system-information service: the bus agent "system-base" that answers "system"/"query"
// messages with facts about the machine (value type 16) or with local configuration values
// read from the registry under SOFTWARE\Zelcor (17 to 21), and "system"/"set" messages by
// writing such values. The payload is a SystemQueryParam; every failure is a status in it,
// nothing is thrown across the bus. Constructed once by the application frame; tests make
// their own.
// Handlers run on whatever thread delivers the message, any number at once: the fact table is
// filled once per process, on first use, and only read afterwards; registry calls share
// nothing. The agent must outlive every delivery to it; its destructor removes its hooks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bus/ImsAgent.h"
#include "bus/Logger.h"
#include "errors/Exception.h"

namespace ZelcorCorelib {

struct SystemQueryParam;

class SystemBase : public ImsAgent, public Throws {
 public:
  ZELCOR_EXCEPTION(SystemBase_FailedToSetIMSHook);

  static constexpr int kSlotCount = 17;

  // Throws SystemBase::SystemBase_FailedToSetIMSHook when a hook cannot be set.
  SystemBase();
  ~SystemBase() override;

  ImsResult receiveMessage(ImsMessage& message) override;
  ImsResult receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) override;

  // The answer to a fact request such as "hostname" or "groupusers.staff"; nullopt for an
  // unknown name. Fills the fact table on first use.
  static std::optional<std::string> getFact(const std::string& name);
  // One slot of the fact table (0 to 16), "" outside it.
  static std::string getFactSlot(int slot);
  // The computer name without a trailing ".domain" (slot 1 from slots 0 and 9).
  static std::string machineName(const std::string& computerName, const std::string& domain);

 private:
  void readLocal(SystemQueryParam& request);
  void writeLocal(SystemQueryParam& request);
  std::string localHive(const SystemQueryParam& request) const;

  std::uint64_t queryHookId = 0;
  std::uint64_t setHookId = 0;
  Logger logger{"SystemBase"};
};

}  // namespace ZelcorCorelib
