#include "config/ConfOldFile.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <utility>

#include "base/StringUtils.h"
#include "bus/ImsMessage.h"
#include "config/ConfParams.h"
#include "files/File.h"
#include "files/FileUtils.h"
#include "values/StringStream.h"

namespace ZelcorCorelib {

namespace {

static_assert(ConfOldFile::kMaxNodeDepth <= ConfNode::kMaxStreamDepth,
              "every tree the loader accepts must also cross the bus");

constexpr const char* kFileNotFound =
    "@conf-old-file.load.file-not-found{Configuration file \"%\" was not found};";
constexpr const char* kFileError = "@conf-old-file.load.file-error{Failed to load file \"%\"};";
constexpr const char* kReadError =
    "@conf-old-file.load.read-error{Failed to read file \"%\" in line %};";
constexpr const char* kTooLarge =
    "@conf-old-file.load.too-large{Configuration file \"%\" is larger than % bytes (reading "
    "stopped in line %)};";
constexpr const char* kPrematureEnd =
    "@conf-old-file.load.premature-end-of-file{Premature end of file in line % in file \"%\"};";
constexpr const char* kInvalidNode =
    "@conf-old-file.load.invalid-node{Invalid configuration node definition in line % in file "
    "\"%\"};";
constexpr const char* kTooDeep =
    "@conf-old-file.load.too-deep{Configuration nodes nested deeper than % levels in line % in "
    "file \"%\"};";
constexpr const char* kDuplicate =
    "@conf-old-file.load.duplicate-node{Node \"%\" in line % in file \"%\" is defined twice};";
constexpr const char* kTimeSpanUnit =
    "@conf-old-file.load.time-span-unit-missing{Time span \"%\" of \"%\" in line % in file \"%\" "
    "ends in a number without a unit};";
constexpr const char* kReferenceLimit =
    "@conf-old-file.load.reference-limit{References in the value of \"%\" in line % in file "
    "\"%\" nest deeper than % levels or expand too far};";
constexpr const char* kCircular =
    "@conf-old-file.load.circular-reference{The value of \"%\" in line % in file \"%\" refers "
    "back to itself; the reference is kept as written};";
constexpr const char* kFailedToSend =
    "@conf-old-file.load.failed-to-send-to-base{Failed to send configuration data to "
    "configuration base};";
constexpr const char* kNothingLoaded =
    "@conf-old-file.send.nothing-loaded{No configuration file has been loaded, so there is "
    "nothing to send to the configuration base};";

using LineMap = std::map<const ConfNode*, std::size_t>;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\r' || c == '\n'; }

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// Names are path components: a "." could never be found again, and the other characters
// only get into a name when a brace, quote or parenthesis went missing before it.
bool isValidName(const std::string& name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    return isControl(c) || c == '.' || c == '{' || c == '}' || c == ')' || c == '"' || c == '=';
  });
}

bool isValidTypeName(const std::string& typeName) {
  return std::none_of(typeName.begin(), typeName.end(), [](char c) {
    return isControl(c) || c == '{' || c == '}' || c == '(' || c == '"' || c == '=';
  });
}

int typeFromName(const std::string& typeName) {
  if (typeName.empty()) return kConfNone;
  if (typeName == "Bool") return kConfBool;
  if (typeName == "Integer" || typeName == "NetworkPort") return kConfInt;
  if (typeName == "Real") return kConfFloat;
  if (typeName == "DirName") return kConfDir;
  if (typeName == "FileName") return kConfFile;
  if (typeName == "DateTime" || typeName == "Date") return kConfDateTime;
  if (typeName == "Time") return kConfTimeOfDay;
  if (typeName == "TimeSpan") return kConfTimeSpan;
  return kConfString;  // "String", the network address types and every unknown name
}

// The path as the store and the file spell it, without the tree root's own name.
std::string pathInFile(const ConfNode& node) {
  std::string path = node.getPath();
  std::size_t dot = path.find('.');
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

std::string childPath(const ConfNode& parent, const std::string& name) {
  const std::string path = parent.getPath();
  const std::size_t dot = path.find('.');
  return dot == std::string::npos ? name : path.substr(dot + 1) + "." + name;
}

// Copies keep the original's class name, text, values and locations; only the C++ type
// becomes the base class.
[[noreturn]] void rethrowWithLocation(const Exception& caught, std::string location) {
  Exception copy(caught);
  copy.addLocation(std::move(location));
  throw copy;
}

// Reads node definitions character by character with one character of look-ahead.
class NodeReader {
 public:
  NodeReader(File& file, const std::string& fileName, LineMap& lines)
      : file(file), fileName(fileName), lines(lines) {}

  // Reads one definition with its body into parent. Raises LoadNode_EndOfNodes when nothing
  // but blanks is left.
  void readNode(ConfNode& parent, int depth) {
    if (!skipBlanks()) throw ConfOldFile::LoadNode_EndOfNodes();
    const std::size_t start = line();
    std::string name;
    const bool complete = readUntil('(', name);
    trimRight(name);
    // A stray "}" at the end says more about the file than running out of it does.
    if (!isValidName(name) && (complete || !name.empty())) invalid(start);
    if (!complete) premature();
    if (depth > ConfOldFile::kMaxNodeDepth) {
      throw ConfOldFile::Load_InvalidNode(kTooDeep, ZELCOR_HERE,
                                          makeParams(ConfOldFile::kMaxNodeDepth, start, fileName));
    }
    std::string typeName;
    if (!readUntil(')', typeName)) premature();
    typeName = trim(typeName);
    if (!isValidTypeName(typeName)) invalid(start);
    std::string value;
    readValue(value);

    ConfNode::Handle node = ConfNode::factory(name, typeFromName(typeName));
    node->setValue(value);
    lines[node.get()] = start;
    try {
      parent.addChild(node);
    } catch (const ConfNode::AddChild_NameAlreadyInUse& cause) {
      ConfOldFile::Load_DuplicateNode failure(kDuplicate, ZELCOR_HERE,
                                              makeParams(childPath(parent, name), start, fileName));
      failure.addNested(cause);
      throw failure;
    }
    readBody(*node, depth);
  }

 private:
  // A value part is "=" and a value in double quotes. Anything else used to swallow one
  // character silently (an unquoted 5 became an empty value), so it is refused.
  void readValue(std::string& value) {
    char c = 0;
    if (!skipBlanks()) premature();
    next(c);
    if (c != '=') invalid(line());
    if (!skipBlanks()) premature();
    next(c);
    if (c != '"') invalid(line());
    if (!readUntil('"', value)) premature();
  }

  void readBody(ConfNode& node, int depth) {
    char c = 0;
    if (!skipBlanks()) premature();
    next(c);
    if (c != '{') invalid(line());
    try {
      while (true) {
        if (!skipBlanks()) premature();
        next(c);
        if (c == '}') return;
        putBack(c);
        readNode(node, depth + 1);
      }
    } catch (const Exception& failure) {
      rethrowWithLocation(failure, ZELCOR_HERE);
    }
  }

  // False at the end of the data; a read error is no end and raises Load_FileError, so a
  // damaged file can never pass for a shorter one.
  bool next(char& c) {
    if (havePutBack) {
      c = putBackChar;
      havePutBack = false;
      return true;
    }
    if (file.readChar(c)) {
      if (++bytesRead > ConfOldFile::kMaxFileBytes) {
        throw ConfOldFile::Load_FileTooLarge(
            kTooLarge, ZELCOR_HERE, makeParams(fileName, ConfOldFile::kMaxFileBytes, line()));
      }
      return true;
    }
    if (file.failed()) {
      throw ConfOldFile::Load_FileError(kReadError, ZELCOR_HERE, makeParams(fileName, line()));
    }
    return false;
  }

  void putBack(char c) {
    putBackChar = c;
    havePutBack = true;
  }

  // True when a character other than a blank follows (it is left unread).
  bool skipBlanks() {
    char c = 0;
    while (next(c)) {
      if (!isBlank(c)) {
        putBack(c);
        return true;
      }
    }
    return false;
  }

  // Everything up to stop (which is consumed); false when the data ends first.
  bool readUntil(char stop, std::string& text) {
    char c = 0;
    while (next(c)) {
      if (c == stop) return true;
      text += c;
    }
    return false;
  }

  std::size_t line() const { return file.getLineNumber(); }

  [[noreturn]] void premature() {
    throw ConfOldFile::Load_PrematureEndOfFile(kPrematureEnd, ZELCOR_HERE,
                                               makeParams(line(), fileName));
  }

  [[noreturn]] void invalid(std::size_t where) {
    throw ConfOldFile::Load_InvalidNode(kInvalidNode, ZELCOR_HERE, makeParams(where, fileName));
  }

  File& file;
  const std::string& fileName;
  LineMap& lines;
  char putBackChar = 0;
  bool havePutBack = false;
  std::size_t bytesRead = 0;
};

// Builds the converted tree from the raw one. Results that do not depend on which values are
// being expanded at the moment (no reference was kept for leading back) are kept, so each
// value is worked out once however often it is referred to.
class Converter {
 public:
  Converter(const ConfNode& rawRoot, const LineMap& lines, const std::string& fileName,
            Logger& logger)
      : rawRoot(rawRoot), lines(lines), fileName(fileName), logger(logger) {}

  ConfNode::Handle convert() {
    ConfNode::Handle root = ConfNode::root();
    convertChildren(rawRoot, *root);
    return root;
  }

 private:
  struct Value {
    std::string text;
    int height = 0;  // the longest chain of references below this value
    bool cyclic = false;
  };

  void convertChildren(const ConfNode& from, ConfNode& to) {
    for (const std::string& childName : from.getChildOrder()) {
      const ConfNode& rawChild = *from.getChild(childName);
      current = &rawChild;
      Value value = resolve(rawChild, 0);
      if (value.cyclic) {
        logger.warning(kCircular, pathInFile(rawChild), lineOf(rawChild), fileName);
      }
      ConfNode::Handle child = ConfNode::factory(rawChild.getName(), rawChild.getType());
      child->setValue(value.text);
      to.addChild(child);
      convertChildren(rawChild, *child);
    }
  }

  // depth: how many references lead from the tree node being converted to this one.
  Value resolve(const ConfNode& node, int depth) {
    if (depth > ConfOldFile::kMaxReferenceDepth) limitReached();
    auto known = finished.find(&node);
    if (known != finished.end()) {
      if (depth + known->second.height > ConfOldFile::kMaxReferenceDepth) limitReached();
      return known->second;
    }
    Value result;
    switch (node.getType()) {
      case kConfString:
      case kConfDir:
      case kConfFile:
        expanding.insert(&node);
        result = expand(node.getValue(), depth);
        expanding.erase(&node);
        if (node.getType() == kConfDir) {
          std::string& path = result.text;
          if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
          normalizePath(path);
        } else if (node.getType() == kConfFile) {
          normalizePath(result.text);
        }
        break;
      case kConfTimeSpan:
        result.text = timeSpan(node);
        break;
      default:
        result.text = node.getValue();
        break;
    }
    if (!result.cyclic) finished.emplace(&node, result);
    return result;
  }

  Value expand(const std::string& text, int depth) {
    Value out;
    std::size_t inserted = 0;
    std::size_t pos = 0;
    while (true) {
      std::size_t dollar = text.find('$', pos);
      if (dollar == std::string::npos || dollar + 3 >= text.size()) break;
      if (text[dollar + 1] != '{') {
        out.text.append(text, pos, dollar + 1 - pos);
        pos = dollar + 1;
        continue;
      }
      std::size_t close = text.find('}', dollar + 2);
      if (close == std::string::npos) break;
      out.text.append(text, pos, dollar - pos);
      countWork(1);
      ConfNode::Handle target = rawRoot.findByPath(text.substr(dollar + 2, close - dollar - 2));
      if (target && expanding.count(target.get()) != 0) {
        out.cyclic = true;
        target.reset();
      }
      if (target) {
        Value referenced = resolve(*target, depth + 1);
        out.cyclic = out.cyclic || referenced.cyclic;
        out.height = std::max(out.height, referenced.height + 1);
        inserted += referenced.text.size();
        if (inserted > ConfOldFile::kMaxValueLength) limitReached();
        countWork(referenced.text.size());
        out.text += referenced.text;
      } else {
        out.text.append(text, dollar, close + 1 - dollar);
      }
      pos = close + 1;
    }
    out.text.append(text, pos, std::string::npos);
    return out;
  }

  // Unit letters become ISO 8601 designators: 1d6h30m gives P1DT6H30M. The "P" and the "T"
  // are supplied where missing, since the time span reader takes a text without "P" as zero.
  std::string timeSpan(const ConfNode& node) {
    const std::string& text = node.getValue();
    // Built with append and push_back: g++ 12 at -O3 reports a false -Wrestrict overlap for
    // `pending + 'D'` and for inserting the "P" in front.
    bool sawP = false;
    std::string designators;  // everything after the "P"
    std::string pending;
    for (char c : text) {
      char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (c == 'P') {
        sawP = true;
        designators.clear();
      } else if (upper == 'D') {
        designators.append(pending).push_back('D');
        pending.clear();
      } else if (upper == 'H' || upper == 'M' || upper == 'S') {
        if (designators.find('T') == std::string::npos) designators.push_back('T');
        designators.append(pending).push_back(upper);
        pending.clear();
      } else if (upper != 'T') {  // a written "T" would come out twice
        pending.push_back(c);
      }
    }
    if (std::any_of(pending.begin(), pending.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      throw ConfOldFile::Load_InvalidValue(
          kTimeSpanUnit, ZELCOR_HERE, makeParams(text, pathInFile(node), lineOf(node), fileName));
    }
    std::string out;
    if (sawP || !designators.empty()) {
      out.reserve(designators.size() + 1);
      out.push_back('P');
      out.append(designators);
    }
    return out;
  }

  void countWork(std::size_t amount) {
    work += amount;
    if (work > ConfOldFile::kMaxExpansionWork) limitReached();
  }

  [[noreturn]] void limitReached() {
    throw ConfOldFile::Load_InvalidValue(kReferenceLimit, ZELCOR_HERE,
                                         makeParams(pathInFile(*current), lineOf(*current),
                                                    fileName, ConfOldFile::kMaxReferenceDepth));
  }

  std::size_t lineOf(const ConfNode& node) const {
    auto found = lines.find(&node);
    return found == lines.end() ? 0 : found->second;
  }

  const ConfNode& rawRoot;
  const LineMap& lines;
  const std::string& fileName;
  Logger& logger;
  const ConfNode* current = nullptr;
  std::set<const ConfNode*> expanding;
  std::map<const ConfNode*, Value> finished;
  std::size_t work = 0;
};

}  // namespace

ConfOldFile::ConfOldFile() : ImsAgent("conf-old-file"), logger("conffile") {}

ConfOldFile::~ConfOldFile() = default;

void ConfOldFile::load(const std::string& fileName, bool clearOld) {
  loadIntoMemory(fileName);
  sendToBase(clearOld);
}

void ConfOldFile::loadIntoMemory(const std::string& fileName) {
  logger.debug("ConfOldFile::loadIntoMemory: Loading \"%\"", fileName);
  if (!exists(fileName)) throw Load_FileNotFound(kFileNotFound, ZELCOR_HERE, makeParams(fileName));
  File file(fileName);
  if (isDirectory(fileName) || !file.openRead()) {
    throw Load_FileError(kFileError, ZELCOR_HERE, makeParams(fileName));
  }

  ConfNode::Handle newRaw = ConfNode::root();
  LineMap lines;
  NodeReader reader(file, fileName, lines);
  try {
    while (true) reader.readNode(*newRaw, 1);
  } catch (const LoadNode_EndOfNodes&) {
    // the normal end of the node list
  } catch (const Exception& failure) {
    rethrowWithLocation(failure, ZELCOR_HERE);
  }

  ConfNode::Handle newConverted = Converter(*newRaw, lines, fileName, logger).convert();
  raw = std::move(newRaw);
  converted = std::move(newConverted);
  logger.debug("ConfOldFile::loadIntoMemory: Successfully loaded");
  file.close();
}

void ConfOldFile::sendToBase(bool clearOld) {
  logger.debug("ConfOldFile::sendToBase: Sending to local configuration base");
  if (!converted) throw Load_FailedToSendToBase(kNothingLoaded, ZELCOR_HERE);
  auto stream = std::make_unique<StringStream>();
  converted->streamTo(*stream);
  auto parameter = std::make_unique<ConfDataParam>(stream.get());
  ImsMessage message("conf", "data", clearOld ? "clear-old" : "", parameter.get());
  bool handled = false;
  try {
    handled = sendMessage(message);
  } catch (const Exception& cause) {
    Load_FailedToSendToBase failure(kFailedToSend, ZELCOR_HERE);
    failure.addNested(cause);
    throw failure;
  }
  if (!handled) throw Load_FailedToSendToBase(kFailedToSend, ZELCOR_HERE);
  logger.debug("ConfFile::send: Successfully sent");
}

}  // namespace ZelcorCorelib
