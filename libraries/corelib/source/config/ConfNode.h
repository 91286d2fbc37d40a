// One node of a configuration tree: a name, a type code (ConfNodeTypes.h), the value as text,
// attributes, list items and named children kept in the order they were added. The store keeps
// the process's tree, the file loader builds trees, and whole trees cross the message bus as
// streamTo/streamFrom records.
// Ownership: nodes exist only behind ConfNode::Handle (made by the factories); a parent holds
// one handle per child and knows nothing of other holders; the parent link is weak, so a child
// handle kept after its tree is gone simply has no parent.
// Thread-safety: none; the owner of a tree serialises all access to it.
// Every failure is one of the nested exceptions below and leaves the tree as it was.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfNodeTypes.h"
#include "errors/Exception.h"
#include "time/DateTime.h"
#include "time/TimeSpan.h"
#include "time/TimeZone.h"
#include "values/StreamBase.h"

namespace ZelcorCorelib {

class ConfNode : public Throws, public std::enable_shared_from_this<ConfNode> {
  // Keeps construction inside the factories: outside the class a Key cannot be named or made
  // from "{}".
  struct Key {
    explicit Key() = default;
  };

 public:
  using Handle = std::shared_ptr<ConfNode>;

  ZELCOR_EXCEPTION(Factory_OutOfMemory);
  ZELCOR_EXCEPTION(Get_WrongType);
  ZELCOR_EXCEPTION(Get_InvalidValue);
  ZELCOR_EXCEPTION(Set_WrongType);
  ZELCOR_EXCEPTION(GetParent_NoParent);
  ZELCOR_EXCEPTION(AddChild_NameAlreadyInUse);
  ZELCOR_EXCEPTION(AddChild_NoChild);
  ZELCOR_EXCEPTION(AddChild_HasParent);
  ZELCOR_EXCEPTION(AddChild_Circular);
  ZELCOR_EXCEPTION(RemoveChild_NotFound);
  ZELCOR_EXCEPTION(StreamFrom_Malformed);

  static constexpr char kDefaultListSeparator = '\n';
  // Deeper records in a stream are refused rather than risking the stack.
  static constexpr int kMaxStreamDepth = 256;

  ConfNode(Key, std::string name, int type);
  ConfNode(const ConfNode&) = delete;
  ConfNode& operator=(const ConfNode&) = delete;
  ~ConfNode() override;

  // All raise Factory_OutOfMemory when memory runs out.
  static Handle factory(const std::string& name, int type);
  static Handle factory(const std::string& name);
  // A deep copy without a parent: children copied in their order, list and attributes too.
  static Handle factory(const ConfNode& node);
  static Handle root();

  const std::string& getName() const { return name; }
  int getType() const { return type; }
  const char* getTypeName() const { return confTypeName(type); }
  // Names from the root down joined with "."; for messages only.
  std::string getPath() const;

  // The stored text without any type check or conversion: the file loader writes what it read.
  const std::string& getValue() const { return value; }
  void setValue(const std::string& text) { value = text; }

  const std::map<std::string, std::string>& getAttributes() const { return attributes; }
  void setAttribute(const std::string& key, const std::string& text);

  const std::vector<std::string>& getChildOrder() const { return childOrder; }
  std::size_t getChildCount() const { return childOrder.size(); }
  char getListSeparator() const { return listSeparator; }

  // Raises AddChild_NameAlreadyInUse, AddChild_NoChild (empty handle), AddChild_HasParent
  // (the child belongs to another node) or AddChild_Circular (the child is this node or the
  // root of its tree).
  void addChild(const Handle& child);
  // Raises RemoveChild_NotFound.
  void removeChild(const std::string& childName);
  // Empty when there is no such child.
  Handle getChild(const std::string& childName) const;
  // Raises GetParent_NoParent.
  Handle getParent() const;

  // Empty handle when the path is empty or any step is missing.
  Handle findByPath(const std::string& path) const;
  // Creates missing nodes (type 0 on the way, `type` at the end); an existing last node of
  // another type is replaced by a new empty one. A path with an empty component gives an empty
  // handle and creates nothing.
  Handle createByPath(const std::string& path, int type);

  // False, changing nothing, when the names differ. Takes the other's type, value and
  // attributes and merges its children by name; children only here stay. Lists not merged.
  bool merge(const ConfNode& other);

  // Getters raise Get_WrongType on a type mismatch; the datetime, time-of-day and timezone
  // getters raise Get_InvalidValue for a text that is not a valid value of the type.
  bool getBool() const;
  std::int64_t getInt() const;
  std::uint64_t getUInt() const;
  double getFloat() const;
  std::string getString() const;
  DateTime getDateTime() const;
  DateTime getTimeOfDay() const;
  TimeZone getTimeZone() const;
  TimeSpan getTimeSpan() const;
  std::string getDir() const;
  std::string getFile() const;
  std::vector<std::string> getList() const;

  // Setters raise Set_WrongType on a type mismatch. None changes the type.
  void setBool(bool newValue);
  void setInt(std::int64_t newValue);
  void setUInt(std::uint64_t newValue);
  void setFloat(double newValue);
  void setString(const std::string& newValue);
  void setTimeZone(const TimeZone& newValue);
  void setTimeSpan(const TimeSpan& newValue);
  void setDir(const std::string& newValue);
  void setFile(const std::string& newValue);
  void setList(const std::string& text, char separator);
  void setList(const std::vector<std::string>& items, char separator);

  // The value as the typed getter sees it, rendered as text; never raises. Types 0, 13 and
  // unknown codes give "", and a datetime, time-of-day or timezone text that does not parse
  // is given back as stored.
  std::string valueAsText() const;

  void streamTo(StreamBase& stream) const;
  // Replaces name, type, value, attributes and children (and list items for a list record) by
  // one record of the stream. Raises StreamFrom_Malformed for a short or damaged record, or
  // AddChild_NameAlreadyInUse for two children of one name; this node is then unchanged.
  void streamFrom(StreamBase& stream);

 private:
  void requireGet(int required, const char* word) const;
  void requireSet(int required, const char* word) const;
  void copyFrom(const ConfNode& node);
  void mergeFrom(ConfNode& source);
  void readRecord(StreamBase& stream, int depth, const std::string& context);
  // Requires: a child named oldName exists.
  void renameChild(const std::string& oldName, const std::string& newName);
  void detachChildren();

  std::string name;
  int type = kConfNone;
  std::map<std::string, std::string> attributes;
  std::string value;
  std::vector<std::string> listItems;
  char listSeparator = kDefaultListSeparator;
  std::weak_ptr<ConfNode> parent;
  std::map<std::string, Handle> children;
  std::vector<std::string> childOrder;
};

}  // namespace ZelcorCorelib
