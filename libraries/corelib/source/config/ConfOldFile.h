// The configuration file loader: reads a ".conf" file (gzip-compressed when its extension is
// "gz") into a node tree, resolves "${...}" references between its own values, normalises
// directory and file values, turns unit notations such as "1d6h" into time spans, and sends
// the result over the bus to the configuration store ("conf"/"data"), which replaces or merges
// its tree with it. The application frame and the scheduler's "-c" option call load.
// An agent named "conf-old-file" that sets no hooks. One object belongs to one thread at a
// time. It owns the two trees of its last successful load (both replaced only when a load
// succeeds, so a failed load leaves them and the store as they were).
//
// Format, one definition per node, children inside the braces:
//   name (TypeName) = "value" { child (TypeName) = "value" { } }
// There is no comment syntax and no escape inside values (a value cannot hold a '"').
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "bus/ImsAgent.h"
#include "bus/Logger.h"
#include "config/ConfNode.h"
#include "errors/Exception.h"

namespace ZelcorCorelib {

class ConfOldFile : public ImsAgent, public Throws {
 public:
  ZELCOR_EXCEPTION(Load_FileNotFound);
  // The file cannot be opened or read (a damaged gzip file included).
  ZELCOR_EXCEPTION(Load_FileError);
  ZELCOR_EXCEPTION(Load_PrematureEndOfFile);
  // More than kMaxFileBytes of text (after decompression).
  ZELCOR_EXCEPTION(Load_FileTooLarge);
  // Bad syntax, a name that cannot be a path component, or nesting beyond kMaxNodeDepth.
  ZELCOR_EXCEPTION(Load_InvalidNode);
  // Two siblings of one name; the node tree's AddChild_NameAlreadyInUse is the cause.
  ZELCOR_EXCEPTION(Load_DuplicateNode);
  // A time span ending in a number without unit, or references beyond the limits below.
  ZELCOR_EXCEPTION(Load_InvalidValue);
  ZELCOR_EXCEPTION(Load_FailedToSendToBase);
  // Marks the normal end of the top-level node list; never leaves loadIntoMemory.
  ZELCOR_EXCEPTION(LoadNode_EndOfNodes);

  // Braces nested deeper fail the load instead of exhausting the stack; the store's stream
  // reader accepts at least this much.
  static constexpr int kMaxNodeDepth = 64;
  // Real files hold a few kilobytes. Without a bound, a small gzip file that expands a
  // thousandfold would take the text, both trees and the store's copy in memory several times.
  static constexpr std::size_t kMaxFileBytes = 8 * 1024 * 1024;
  // Limits on "${...}" expansion, so that a hostile file cannot exhaust the stack or memory
  // (a -> b b, b -> c c, ... doubles at each step): a chain of references longer than
  // kMaxReferenceDepth, references that insert more than kMaxValueLength characters into one
  // value, or more than kMaxExpansionWork characters inserted in one load (each reference
  // counts one more) fail the load with Load_InvalidValue. A reference that leads back to the
  // value being expanded is kept as written (the store then reads the value as its
  // circular-reference marker) and logged as a warning.
  static constexpr int kMaxReferenceDepth = 32;
  static constexpr std::size_t kMaxValueLength = 64 * 1024;
  static constexpr std::size_t kMaxExpansionWork = 4 * 1024 * 1024;

  ConfOldFile();
  ~ConfOldFile() override;

  // loadIntoMemory, then sendToBase; raises what they raise.
  void load(const std::string& fileName, bool clearOld);

  // Raises Load_FileNotFound or Load_FileError (their own classes) when the file cannot be
  // opened, and Load_InvalidValue when a value cannot be converted. Errors met while reading
  // reach the caller as a copy of the framework's base Exception that keeps the original's
  // name and text (line and file filled in) plus one location per nesting level.
  void loadIntoMemory(const std::string& fileName);

  // Sends the converted tree of the last successful load, with "clear-old" as message type
  // when clearOld is set. Raises Load_FailedToSendToBase when nothing was loaded yet, when no
  // store handled the data, or (with the cause attached) when the store's handler threw.
  void sendToBase(bool clearOld);

  // The last successful load's trees (empty handles before the first): values as written,
  // and values converted. For inspection; the loader keeps ownership.
  std::shared_ptr<const ConfNode> getRawTree() const { return raw; }
  std::shared_ptr<const ConfNode> getConvertedTree() const { return converted; }

 private:
  Logger logger;
  ConfNode::Handle raw;
  ConfNode::Handle converted;
};

}  // namespace ZelcorCorelib
