// The in-process message bus. Agents set hooks (patterns over a message's three type strings)
// and broadcast messages; dispatch calls every hooked agent whose pattern matches, stage 0
// first, then 1, then 2, synchronously in the sender's thread.
// The process's bus comes from instance(), is made on first use and is never destroyed. Other
// buses may be made (tests do) and are independent of it.
// Thread-safe: one lock guards the hook registry and the stage tables; it is held only to set or
// remove a hook, to take one stage's table and to look up one hook id, never while a handler
// runs, so handlers may send, set and remove hooks themselves, from any number of threads.
// The bus keeps raw agent pointers: an agent removes its hooks before it is destroyed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "bus/ImsHook.h"
#include "errors/Exception.h"
#include "threads/ThreadLock.h"

namespace ZelcorCorelib {

class ImsMessage;

class Ims : public Throws {
 public:
  ZELCOR_EXCEPTION(Ims_OutOfMemory);
  ZELCOR_EXCEPTION(Hook_Duplicate);

  static constexpr int kStageCount = 3;

  // Throws Ims_OutOfMemory when the bus cannot be made; the next call tries again.
  static Ims& instance();

  Ims();
  ~Ims();
  Ims(const Ims&) = delete;
  Ims& operator=(const Ims&) = delete;

  // Ids are 1 for an empty registry, else one more than the largest id present, so removing
  // the largest lets the next hook take its value again. hookStage 0 and 1 name their stage,
  // any other value stage 2. An empty glob matches anything.
  // Throws Hook_Duplicate when the first stage table (0, 1, 2) that holds the pattern already
  // has a hook of this agent for it.
  std::uint64_t setHook(ImsAgent* agent, bool hookOnlyOnce, const std::string& generalType,
                        const std::string& groupType, const std::string& messageType,
                        int hookStage);

  // True when the id was registered and is now gone.
  bool removeHook(std::uint64_t hookId);

  // Broadcast: true when at least one hook's agent handled the message. A Final answer stops
  // delivery to every later hook. Once-hooks called while the message counted as handled are
  // removed at the end. A handler's exception ends the delivery and reaches the caller.
  bool dispatch(ImsMessage& message);

  std::size_t getHookCount() const;

 private:
  // Each hook carries a serial that is never reused, unlike its id: a pass that finds an id
  // reused by a hook set meanwhile must not deliver to that newer hook.
  struct Entry {
    ImsHook hook;
    int stage = 0;
    std::uint64_t serial = 0;
  };
  // Hook id -> serial, ascending by id.
  using IdSet = std::map<std::uint64_t, std::uint64_t>;
  using StageTable = std::map<ImsHookPattern, IdSet>;
  // A table is never changed once published: setting or removing a hook publishes a changed
  // copy. A pass keeps the table it took, which is the copy its stage works on, at the price
  // of a reference count instead of copying the table for every message.
  using TableSnapshot = std::shared_ptr<const StageTable>;

  static int stageOf(int hookStage);
  bool removeHook(std::uint64_t hookId, std::uint64_t serial);
  TableSnapshot takeTable(int stage) const;

  std::map<std::uint64_t, Entry> registry;
  std::array<TableSnapshot, kStageCount> tables;
  std::uint64_t lastSerial = 0;
  mutable ThreadLock lock{false};
};

}  // namespace ZelcorCorelib
