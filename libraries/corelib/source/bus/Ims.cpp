#include "bus/Ims.h"

#include <new>
#include <utility>
#include <vector>

#include "base/GlobPattern.h"
#include "base/NoDestructor.h"
#include "bus/ImsAgent.h"
#include "bus/ImsMessage.h"

namespace ZelcorCorelib {

namespace {

bool globMatches(const std::string& glob, const std::string& text) {
  if (glob.empty()) return true;
  // Every hook of the system is a plain word; equality spares the matcher's pattern copy.
  if (glob.find_first_of("*?") == std::string::npos) return glob == text;
  return matchGlob(text, glob);
}

}  // namespace

bool ImsHookPattern::matches(const ImsMessage& message) const {
  return globMatches(generalType, message.getGeneralType()) &&
         globMatches(groupType, message.getGroupType()) &&
         globMatches(messageType, message.getMessageType());
}

Ims& Ims::instance() {
  // A function-local static that is never destroyed: agents destroyed during process exit,
  // in whatever order, still find their bus.
  try {
    static NoDestructor<Ims> bus;
    return *bus;
  } catch (const std::bad_alloc&) {
    ZELCOR_THROW(Ims_OutOfMemory, "@out-of-memory{Out of memory};");
  }
}

Ims::Ims() = default;

Ims::~Ims() = default;

int Ims::stageOf(int hookStage) { return hookStage == 0 || hookStage == 1 ? hookStage : 2; }

std::uint64_t Ims::setHook(ImsAgent* agent, bool hookOnlyOnce, const std::string& generalType,
                           const std::string& groupType, const std::string& messageType,
                           int hookStage) {
  ImsHook hook{agent, ImsHookPattern{generalType, groupType, messageType}, hookOnlyOnce};
  const int stage = stageOf(hookStage);

  ThreadLockGuard guard(lock);
  for (const TableSnapshot& table : tables) {
    if (!table) continue;
    auto found = table->find(hook.pattern);
    if (found == table->end()) continue;
    for (const auto& [id, serial] : found->second) {
      if (registry.at(id).hook.agent == agent) {
        ZELCOR_THROW(Hook_Duplicate,
                     "@ims.hook.duplicate{Trying to set a hook identical to a hook already set};");
      }
    }
    break;  // only the first table that holds the pattern is searched
  }

  const std::uint64_t id = registry.empty() ? 1 : registry.rbegin()->first + 1;
  const std::uint64_t serial = lastSerial + 1;
  // Build everything that may fail before anything is changed.
  auto table =
      tables[stage] ? std::make_shared<StageTable>(*tables[stage]) : std::make_shared<StageTable>();
  (*table)[hook.pattern].emplace(id, serial);
  registry.emplace(id, Entry{std::move(hook), stage, serial});
  tables[stage] = std::move(table);
  lastSerial = serial;
  return id;
}

bool Ims::removeHook(std::uint64_t hookId) { return removeHook(hookId, 0); }

// serial 0 removes whatever hook holds the id.
bool Ims::removeHook(std::uint64_t hookId, std::uint64_t serial) {
  ThreadLockGuard guard(lock);
  auto entry = registry.find(hookId);
  if (entry == registry.end()) return false;
  if (serial != 0 && entry->second.serial != serial) return false;

  // The hook's own stage is searched, not the first stage holding an equal pattern: that could
  // be another agent's, and would leave this id behind for a later hook that reuses it.
  const int stage = entry->second.stage;
  auto table =
      tables[stage] ? std::make_shared<StageTable>(*tables[stage]) : std::make_shared<StageTable>();
  auto pattern = table->find(entry->second.hook.pattern);
  if (pattern != table->end()) {
    pattern->second.erase(hookId);
    if (pattern->second.empty()) table->erase(pattern);
  }
  tables[stage] = table->empty() ? nullptr : std::move(table);
  registry.erase(entry);
  return true;
}

Ims::TableSnapshot Ims::takeTable(int stage) const {
  ThreadLockGuard guard(lock);
  return tables[stage];
}

bool Ims::dispatch(ImsMessage& message) {
  ImsResult state = ImsResult::NotHandled;
  // Filled only by once-hooks, so an ordinary broadcast allocates nothing here.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> removals;

  for (int stage = 0; stage < kStageCount && state != ImsResult::Final; ++stage) {
    const TableSnapshot table = takeTable(stage);
    if (!table) continue;
    for (const auto& [pattern, ids] : *table) {
      if (state == ImsResult::Final) break;
      if (!pattern.matches(message)) continue;
      for (const auto& [id, serial] : ids) {
        if (state == ImsResult::Final) break;
        ImsAgent* agent = nullptr;
        bool once = false;
        {
          ThreadLockGuard guard(lock);
          auto entry = registry.find(id);
          if (entry != registry.end() && entry->second.serial == serial) {
            agent = entry->second.hook.agent;
            once = entry->second.hook.hookOnlyOnce;
          }
        }
        if (agent == nullptr) continue;  // gone meanwhile, or nobody behind it: not handled

        const ImsResult result = agent->receiveHookedMessage(id, message);
        if (result == ImsResult::Handled) {
          state = ImsResult::Handled;
        } else if (result == ImsResult::Final) {
          state = ImsResult::Final;
        }
        if (once && state != ImsResult::NotHandled) removals.emplace_back(id, serial);
      }
    }
  }

  for (const auto& [id, serial] : removals) removeHook(id, serial);
  return state != ImsResult::NotHandled;
}

std::size_t Ims::getHookCount() const {
  ThreadLockGuard guard(lock);
  return registry.size();
}

}  // namespace ZelcorCorelib
