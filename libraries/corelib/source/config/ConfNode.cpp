#include "config/ConfNode.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <new>
#include <utility>

#include "base/StringUtils.h"

namespace ZelcorCorelib {

namespace {

constexpr const char* kOutOfMemory = "@out-of-memory{Out of memory};";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Unsigned arithmetic so that overflow wraps (as configured values always have) instead of
// being undefined.
std::uint64_t accumulateDigits(const std::string& text, std::size_t start) {
  std::uint64_t result = 0;
  for (std::size_t i = start; i < text.size() && isDigit(text[i]); ++i) {
    result = result * 10u + static_cast<std::uint64_t>(text[i] - '0');
  }
  return result;
}

std::int64_t parseInt(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::uint64_t magnitude = accumulateDigits(text, negative ? 1 : 0);
  return static_cast<std::int64_t>(negative ? 0u - magnitude : magnitude);
}

double parseFloat(const std::string& text) {
  double result = std::strtod(text.c_str(), nullptr);
  // Overflow in either direction reads as the largest finite magnitude, never as infinity.
  if (std::isinf(result)) result = result > 0 ? DBL_MAX : -DBL_MAX;
  return result;
}

std::vector<std::string> splitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (std::size_t pos = text.find(separator); pos != std::string::npos;
       pos = text.find(separator, start)) {
    items.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
  if (start < text.size()) items.push_back(text.substr(start));
  return items;
}

// The components of a dotted path; false when the path or any component is empty.
bool splitPath(const std::string& path, std::vector<std::string>& parts) {
  if (path.empty()) return false;
  std::size_t start = 0;
  while (true) {
    std::size_t pos = path.find('.', start);
    std::string part =
        path.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
    if (part.empty()) return false;
    parts.push_back(std::move(part));
    if (pos == std::string::npos) return true;
    start = pos + 1;
  }
}

}  // namespace

ConfNode::ConfNode(Key, std::string name, int type) : name(std::move(name)), type(type) {}

ConfNode::~ConfNode() = default;

ConfNode::Handle ConfNode::factory(const std::string& name, int type) {
  try {
    return std::make_shared<ConfNode>(Key{}, name, type);
  } catch (const std::bad_alloc&) {
    throw Factory_OutOfMemory(kOutOfMemory, ZELCOR_HERE);
  }
}

ConfNode::Handle ConfNode::factory(const std::string& name) { return factory(name, kConfNone); }

ConfNode::Handle ConfNode::factory(const ConfNode& node) {
  try {
    Handle copy = std::make_shared<ConfNode>(Key{}, node.name, node.type);
    copy->copyFrom(node);
    return copy;
  } catch (const std::bad_alloc&) {
    throw Factory_OutOfMemory(kOutOfMemory, ZELCOR_HERE);
  }
}

ConfNode::Handle ConfNode::root() { return factory("root", kConfNone); }

void ConfNode::copyFrom(const ConfNode& node) {
  value = node.value;
  listItems = node.listItems;
  listSeparator = node.listSeparator;
  attributes = node.attributes;
  for (const std::string& childName : node.childOrder) {
    const ConfNode& source = *node.children.at(childName);
    Handle copy = std::make_shared<ConfNode>(Key{}, source.name, source.type);
    copy->copyFrom(source);
    addChild(copy);
  }
}

std::string ConfNode::getPath() const {
  std::vector<const ConfNode*> chain{this};
  Handle up = parent.lock();
  while (up) {
    chain.push_back(up.get());
    up = up->parent.lock();
  }
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty() || it != chain.rbegin()) path += '.';
    path += (*it)->name;
  }
  return path;
}

void ConfNode::setAttribute(const std::string& key, const std::string& text) {
  attributes[key] = text;
}

void ConfNode::addChild(const Handle& child) {
  if (!child) {
    throw AddChild_NoChild(
        "@conf-node.add-child.no-child{Cannot add an empty child node to \"" + getPath() + "\"};",
        ZELCOR_HERE);
  }
  if (children.count(child->name) != 0) {
    throw AddChild_NameAlreadyInUse(
        "@conf-node.add-child.name-already-in-use{Cannot add child node \"" + child->name +
            "\" to \"" + getPath() + "\" because another child with that name already exists};",
        ZELCOR_HERE);
  }
  // A node in two maps would break the parent link of one of them.
  if (Handle owner = child->parent.lock()) {
    throw AddChild_HasParent("@conf-node.add-child.has-parent{Cannot add child node \"" +
                                 child->name + "\" to \"" + getPath() +
                                 "\" because it already belongs to \"" + owner->getPath() + "\"};",
                             ZELCOR_HERE);
  }
  // A parentless child can only close a cycle if it is the top of this node's tree; a cycle
  // would never be freed and would make every walk over the tree endless.
  const ConfNode* top = this;
  for (Handle up = parent.lock(); up; up = up->parent.lock()) top = up.get();
  if (top == child.get()) {
    throw AddChild_Circular("@conf-node.add-child.circular{Cannot add node \"" + child->name +
                                "\" to \"" + getPath() +
                                "\" because it would become its own descendant};",
                            ZELCOR_HERE);
  }
  childOrder.push_back(child->name);
  try {
    children.emplace(child->name, child);
  } catch (...) {
    childOrder.pop_back();
    throw;
  }
  child->parent = weak_from_this();
}

void ConfNode::removeChild(const std::string& childName) {
  auto it = children.find(childName);
  if (it == children.end()) {
    throw RemoveChild_NotFound("@conf-node.remove-child.not-found{Cannot remove child node \"" +
                                   childName + "\" from \"" + getPath() +
                                   "\" because no such child exists};",
                               ZELCOR_HERE);
  }
  it->second->parent.reset();
  children.erase(it);
  childOrder.erase(std::find(childOrder.begin(), childOrder.end(), childName));
}

ConfNode::Handle ConfNode::getChild(const std::string& childName) const {
  auto it = children.find(childName);
  return it == children.end() ? Handle() : it->second;
}

ConfNode::Handle ConfNode::getParent() const {
  Handle up = parent.lock();
  if (!up) throw GetParent_NoParent(std::string(), ZELCOR_HERE);
  return up;
}

ConfNode::Handle ConfNode::findByPath(const std::string& path) const {
  if (path.empty()) return Handle();
  const ConfNode* node = this;
  Handle found;
  std::size_t start = 0;
  while (true) {
    std::size_t pos = path.find('.', start);
    auto it = node->children.find(
        path.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
    if (it == node->children.end()) return Handle();
    found = it->second;
    node = found.get();
    if (pos == std::string::npos) return found;
    start = pos + 1;
    if (start == path.size()) return Handle();  // nothing left to look up after the "."
  }
}

ConfNode::Handle ConfNode::createByPath(const std::string& path, int newType) {
  std::vector<std::string> parts;
  if (!splitPath(path, parts)) return Handle();
  Handle node = shared_from_this();
  std::size_t i = 0;
  for (; i + 1 < parts.size(); ++i) {
    Handle next = node->getChild(parts[i]);
    if (!next) break;
    node = std::move(next);
  }
  if (i + 1 == parts.size()) {
    Handle existing = node->getChild(parts[i]);
    if (existing && existing->type == newType) return existing;
    Handle fresh = factory(parts[i], newType);
    if (existing) node->removeChild(parts[i]);
    node->addChild(fresh);
    return fresh;
  }
  // The missing part is built apart and hung in last, so a failure leaves the tree untouched.
  Handle top = factory(parts[i], kConfNone);
  Handle tail = top;
  for (std::size_t j = i + 1; j < parts.size(); ++j) {
    Handle next = factory(parts[j], j + 1 == parts.size() ? newType : kConfNone);
    tail->addChild(next);
    tail = std::move(next);
  }
  node->addChild(top);
  return tail;
}

bool ConfNode::merge(const ConfNode& other) {
  if (other.name != name) return false;
  // Working from a private copy makes merging a node with itself or its own relatives safe.
  Handle snapshot = factory(other);
  mergeFrom(*snapshot);
  return true;
}

void ConfNode::mergeFrom(ConfNode& source) {
  type = source.type;
  value = source.value;
  for (const auto& [key, text] : source.attributes) attributes[key] = text;
  const std::vector<std::string> order = source.childOrder;
  for (const std::string& childName : order) {
    Handle theirs = source.getChild(childName);
    if (Handle mine = getChild(childName)) {
      mine->mergeFrom(*theirs);
    } else {
      source.removeChild(childName);
      addChild(theirs);
    }
  }
}

void ConfNode::requireGet(int required, const char* word) const {
  if (type == required) return;
  throw Get_WrongType(std::string("@conf-node.get.wrong-type{Trying to get ") + word +
                          " value from node " + getPath() + " but this node is of type " +
                          getTypeName() + "};",
                      ZELCOR_HERE);
}

void ConfNode::requireSet(int required, const char* word) const {
  if (type == required) return;
  throw Set_WrongType(std::string("@conf-node.set.wrong-type{Trying to set ") + word +
                          " value in node " + getPath() + " but this node is of type " +
                          getTypeName() + "};",
                      ZELCOR_HERE);
}

namespace {

[[noreturn]] void throwInvalidValue(const std::string& value, const std::string& path,
                                    const char* typeName) {
  ZELCOR_THROW(ConfNode::Get_InvalidValue,
               "@conf-node.get.invalid-value{Value \"%\" of node % is not a valid % value};", value,
               path, typeName);
}

}  // namespace

bool ConfNode::getBool() const {
  requireGet(kConfBool, "bool");
  return value == "true" || value == "yes" || value == "on" || value == "active" || value == "ok";
}

std::int64_t ConfNode::getInt() const {
  requireGet(kConfInt, "int");
  return parseInt(value);
}

std::uint64_t ConfNode::getUInt() const {
  requireGet(kConfUInt, "uint");
  return accumulateDigits(value, 0);
}

double ConfNode::getFloat() const {
  requireGet(kConfFloat, "float");
  return parseFloat(value);
}

std::string ConfNode::getString() const {
  requireGet(kConfString, "string");
  return value;
}

DateTime ConfNode::getDateTime() const {
  requireGet(kConfDateTime, "datetime");
  std::optional<DateTime> moment = DateTime::fromText(value);
  if (!moment) throwInvalidValue(value, getPath(), getTypeName());
  return *moment;
}

DateTime ConfNode::getTimeOfDay() const {
  requireGet(kConfTimeOfDay, "time-of-day");
  std::optional<DateTime> moment = DateTime::fromText("2000-01-01T" + value);
  if (!moment) throwInvalidValue(value, getPath(), getTypeName());
  return *moment;
}

TimeZone ConfNode::getTimeZone() const {
  requireGet(kConfTimeZone, "timezone");
  std::optional<TimeZone> zone = TimeZone::fromText(value);
  if (!zone) throwInvalidValue(value, getPath(), getTypeName());
  return *zone;
}

TimeSpan ConfNode::getTimeSpan() const {
  requireGet(kConfTimeSpan, "timespan");
  // "90s", "1d6h" as people write them; anything else as before.
  if (auto milliseconds = TimeSpan::parseMilliseconds(value)) return TimeSpan(0, 0, *milliseconds);
  return TimeSpan::fromText(value);
}

std::string ConfNode::getDir() const {
  requireGet(kConfDir, "dir");
  std::string path = value;
  std::replace(path.begin(), path.end(), '\\', '/');
  const bool hadSeparator = !path.empty() && path.back() == '/';
  while (!path.empty() && path.back() == '/') path.pop_back();
  // Stripping every separator of "/" would turn the file system root into "", the current
  // folder.
  if (path.empty() && hadSeparator) path = "/";
  return path;
}

std::string ConfNode::getFile() const {
  requireGet(kConfFile, "file");
  std::string path = value;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::vector<std::string> ConfNode::getList() const {
  requireGet(kConfList, "list");
  return listItems;
}

void ConfNode::setBool(bool newValue) {
  requireSet(kConfBool, "bool");
  value = newValue ? "true" : "false";
}

void ConfNode::setInt(std::int64_t newValue) {
  requireSet(kConfInt, "int");
  value = int64ToText(newValue);
}

void ConfNode::setUInt(std::uint64_t newValue) {
  requireSet(kConfUInt, "uint");
  value = uint64ToText(newValue);
}

void ConfNode::setFloat(double newValue) {
  requireSet(kConfFloat, "float");
  value = doubleToText(newValue);
}

void ConfNode::setString(const std::string& newValue) {
  requireSet(kConfString, "string");
  value = newValue;
}

void ConfNode::setTimeZone(const TimeZone& newValue) {
  requireSet(kConfTimeZone, "timezone");
  value = newValue.toText();
}

void ConfNode::setTimeSpan(const TimeSpan& newValue) {
  requireSet(kConfTimeSpan, "timespan");
  value = newValue.toText();
}

void ConfNode::setDir(const std::string& newValue) {
  requireSet(kConfDir, "dir");
  value = newValue;
}

void ConfNode::setFile(const std::string& newValue) {
  requireSet(kConfFile, "file");
  value = newValue;
}

void ConfNode::setList(const std::string& text, char separator) {
  requireSet(kConfList, "list");
  listItems = splitList(text, separator);
  listSeparator = separator;
}

void ConfNode::setList(const std::vector<std::string>& items, char separator) {
  requireSet(kConfList, "list");
  listItems = items;
  listSeparator = separator;
}

std::string ConfNode::valueAsText() const {
  try {
    switch (type) {
      case kConfBool:
        return getBool() ? "true" : "false";
      case kConfInt:
        return int64ToText(getInt());
      case kConfUInt:
        return uint64ToText(getUInt());
      case kConfFloat:
        return doubleToText(getFloat());
      case kConfString:
        return value;
      // With its offset, so that the text names one moment wherever it is read again.
      case kConfDateTime:
        return getDateTime().toText(true, false, true);
      case kConfTimeOfDay: {
        const std::string text = getTimeOfDay().toText();
        return text.size() > 11 ? text.substr(11, 8) : text;
      }
      case kConfTimeZone:
        return getTimeZone().toText();
      case kConfTimeSpan:
        return getTimeSpan().toText();
      case kConfDir:
        return getDir();
      case kConfFile:
        return getFile();
      case kConfList: {
        std::string text;
        for (const std::string& item : listItems) {
          if (!text.empty()) text += listSeparator;
          text += item;
        }
        return text;
      }
      default:
        return std::string();
    }
  } catch (const Get_InvalidValue&) {
    return value;  // shown as written rather than lost
  }
}

void ConfNode::streamTo(StreamBase& stream) const {
  stream.writeString(name);
  stream.writeInt32(type);
  stream.writeString(value);
  if (type == kConfList) {
    stream.writeChar(listSeparator);
    stream.writeUInt32(static_cast<std::uint32_t>(listItems.size()));
    for (const std::string& item : listItems) stream.writeString(item);
  }
  stream.writeUInt32(static_cast<std::uint32_t>(attributes.size()));
  for (const auto& [key, text] : attributes) {
    stream.writeString(key);
    stream.writeString(text);
  }
  stream.writeUInt32(static_cast<std::uint32_t>(childOrder.size()));
  for (const std::string& childName : childOrder) children.at(childName)->streamTo(stream);
}

void ConfNode::streamFrom(StreamBase& stream) {
  // Read into a node of its own first, so that a damaged record changes nothing here.
  Handle fresh = root();
  fresh->readRecord(stream, 0, std::string());
  if (fresh->name != name) {
    if (Handle up = parent.lock()) up->renameChild(name, fresh->name);
  }
  name = std::move(fresh->name);
  type = fresh->type;
  value = std::move(fresh->value);
  if (type == kConfList) {
    listItems = std::move(fresh->listItems);
    listSeparator = fresh->listSeparator;
  }
  attributes = std::move(fresh->attributes);
  detachChildren();
  children = std::move(fresh->children);
  childOrder = std::move(fresh->childOrder);
  for (auto& entry : children) entry.second->parent = weak_from_this();
}

void ConfNode::readRecord(StreamBase& stream, int depth, const std::string& context) {
  bool named = false;
  auto where = [&]() {
    if (!named) return context.empty() ? std::string("(top)") : context;
    return context.empty() ? name : context + "." + name;
  };
  auto fail = [&]() {
    ZELCOR_THROW(StreamFrom_Malformed,
                 "@conf-node.stream-from.malformed{Configuration node data is incomplete or "
                 "damaged at node %};",
                 where());
  };
  if (depth > kMaxStreamDepth) {
    ZELCOR_THROW(StreamFrom_Malformed,
                 "@conf-node.stream-from.too-deep{Configuration node data nests deeper than % "
                 "levels at node %};",
                 kMaxStreamDepth, where());
  }
  if (!stream.readString(name)) fail();
  named = true;
  std::int32_t streamedType = 0;
  if (!stream.readInt32(streamedType) || !stream.readString(value)) fail();
  type = streamedType;
  std::uint32_t count = 0;
  if (type == kConfList) {
    if (!stream.readChar(listSeparator) || !stream.readUInt32(count)) fail();
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string item;
      if (!stream.readString(item)) fail();
      listItems.push_back(std::move(item));
    }
  }
  if (!stream.readUInt32(count)) fail();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string key;
    std::string text;
    if (!stream.readString(key) || !stream.readString(text)) fail();
    attributes[key] = std::move(text);
  }
  if (!stream.readUInt32(count)) fail();
  const std::string here = where();
  for (std::uint32_t i = 0; i < count; ++i) {
    Handle child = root();
    child->readRecord(stream, depth + 1, here);
    addChild(child);
  }
}

void ConfNode::renameChild(const std::string& oldName, const std::string& newName) {
  if (children.count(newName) != 0) {
    throw AddChild_NameAlreadyInUse(
        "@conf-node.add-child.name-already-in-use{Cannot add child node \"" + newName + "\" to \"" +
            getPath() + "\" because another child with that name already exists};",
        ZELCOR_HERE);
  }
  auto entry = children.extract(oldName);
  entry.key() = newName;
  children.insert(std::move(entry));
  *std::find(childOrder.begin(), childOrder.end(), oldName) = newName;
}

void ConfNode::detachChildren() {
  for (auto& entry : children) entry.second->parent.reset();
  children.clear();
  childOrder.clear();
}

}  // namespace ZelcorCorelib
