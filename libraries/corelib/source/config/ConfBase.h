// The configuration store of the process: the bus agent "conf-base" that owns the one
// configuration tree (the cache) and the table of path keywords. Nobody calls it directly:
// the file loader sends it trees ("conf"/"data"), ConfAgent sends keyword registrations
// ("conf"/"keyword") and queries that read, write, create or remove entries ("conf"/"query"),
// and "conf"/"rawpath" asks for a path's keyword expansion. Paths may hold keywords written as
// "%name%"; string, dir and file values may hold references "${path}" to other entries.
// Threads: handlers run in the sending threads, possibly several at once; one reader-writer
// lock guards the tree and the keywords, and is never held while a log line is written.
// Ownership: the application frame owns one store for its whole life. The cache is owned;
// message parameters belong to their senders and are only read and answered.
// Services never throw across the bus: every fault is a status in the query, a NotHandled
// answer or a warning line. The one exception that leaves a handler is ConfNode::Set_WrongType
// for a write of a datetime or time-of-day entry, which have no setter.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <shared_mutex>
#include <string>

#include "bus/ImsAgent.h"
#include "bus/Logger.h"
#include "config/ConfNode.h"
#include "config/ConfParams.h"
#include "errors/Exception.h"

namespace ZelcorCorelib {

class ConfBase : public ImsAgent, public Throws {
 public:
  ZELCOR_EXCEPTION(ConfBase_FailedToSetHooks);
  ZELCOR_EXCEPTION(ProcessString_CircularReference);

  // A chain of references deeper than this reads like a circular one rather than risk the
  // stack.
  static constexpr int kMaxReferenceDepth = 64;
  static constexpr const char* kCircularReferenceText = "[ERROR:CIRCULAR-REFERENCE]";

  // Throws ConfBase_FailedToSetHooks (with the bus's exception as cause, when there is one);
  // no hook is left behind then.
  ConfBase();
  ~ConfBase() override;

  ImsResult receiveMessage(ImsMessage& message) override;
  ImsResult receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) override;

 private:
  using Visited = std::set<const ConfNode*>;

  ImsResult query(ImsMessage& message);
  ImsResult cacheData(ImsMessage& message);
  ImsResult registerKeyword(ImsMessage& message);
  ImsResult processPath(ImsMessage& message);

  ImsResult get(ConfQueryParam& param);
  void set(ConfQueryParam& param);
  // Requires: the lock held exclusively and the cache present.
  int createEntry(const ConfQueryParam& param);
  int removeEntry(const ConfQueryParam& param);
  int writeValue(ConfQueryParam& param);
  // Requires: the lock held (shared at least).
  int readValue(const ConfNode& node, ConfQueryParam& param) const;

  // Requires (for the four below): the lock held, shared at least.
  std::string expandKeywords(const std::string& rawPath) const;
  // Empty path: the root. Empty handle when there is no cache or no such node.
  ConfNode::Handle findNode(const std::string& rawPath) const;
  // Throws ProcessString_CircularReference.
  std::string expandReferences(const std::string& text, Visited& visited, int depth) const;
  // The text of a string, dir or file node with its references expanded, or the error text.
  std::string expandedText(const ConfNode& node, const std::string& text) const;

  void removeHooks();

  Logger logger{"confbase"};
  ConfNode::Handle cache;
  std::uint64_t queryHookId = 0;
  std::uint64_t dataHookId = 0;
  std::uint64_t keywordHookId = 0;
  std::uint64_t rawPathHookId = 0;
  std::map<std::string, std::string> keywords;
  mutable std::shared_mutex lock;
};

}  // namespace ZelcorCorelib
