#include "config/SystemBase.h"

#include <array>
#include <bit>
#include <charconv>
#include <vector>

#include "base/StringUtils.h"
#include "config/ConfNodeTypes.h"
#include "config/SystemQueryParam.h"
#include "platform/Environment.h"
#include "platform/SystemFacts.h"
#include "registry/WinRegistry.h"

namespace ZelcorCorelib {

namespace {

enum Slot : int {
  kComputerName = 0,
  kMachineName = 1,
  kPlatform = 2,
  kOs = 3,
  kOsVersion = 4,
  kOsLanguage = 5,
  kKeyboardLanguage = 6,
  kKeyboardType = 7,
  kArchitecture = 8,
  kDomain = 9,
  kCurrentUser = 10,
  kSession = 11,
  kDisplay = 12,
  kOsBits = 13,
  kByteOrder = 14,
  kOsMajor = 15,
  kOsMinor = 16,
};

using FactTable = std::array<std::string, SystemBase::kSlotCount>;

FactTable collectFacts() {
  FactTable slots;
  platform::HostFacts host = platform::collectHostFacts();
  slots[kComputerName] = host.computerName;
  slots[kDomain] = host.domainName;
  slots[kMachineName] = SystemBase::machineName(host.computerName, host.domainName);
  slots[kArchitecture] = host.architecture;
  slots[kOsMajor] = intToText(host.osMajor);
  slots[kOsMinor] = intToText(host.osMinor);
  slots[kOsVersion] = intToText(host.osMajor * 100 + host.osMinor);
  slots[kOs] = host.osText;
  slots[kOsBits] = intToText(host.osBits);
  // Appended, not `"-" + text`: g++ 12 at -O3 reports a false -Wrestrict overlap for that.
  std::string platformName = host.platformName;
  if (host.osBits != 0) platformName.append("-").append(intToText(host.osBits));
  slots[kPlatform] = std::move(platformName);
  slots[kOsLanguage] = host.osLanguage;
  slots[kKeyboardLanguage] = host.keyboardLanguage;
  slots[kKeyboardType] = host.keyboardType;
  slots[kCurrentUser] = host.userName;
  std::optional<std::string> display = platform::getEnvironment("DISPLAY");
  if (display && !display->empty()) {
    slots[kDisplay] = *display;
  } else if (!host.clientName.empty()) {
    slots[kDisplay] = host.clientName;
  } else {
    slots[kDisplay] = slots[kComputerName];
  }
  slots[kSession] = host.sessionId;
  slots[kByteOrder] = std::endian::native == std::endian::big ? "big" : "little";
  return slots;
}

// Filled by the first caller; C++ makes the others wait until it is complete.
const FactTable& facts() {
  static const FactTable table = collectFacts();
  return table;
}

// Fact names and their numbers, 1 to 17; 0 is an unknown name.
constexpr std::array<const char*, 17> kFactNames = {
    "hostname",     "machinename",  "platform",   "os",     "osversion",   "oslang",
    "keyboardlang", "keyboardtype", "arch",       "domain", "currentuser", "osbits",
    "groups",       "groupusers",   "usergroups", "ip",     "diskserial"};

int factNumber(const std::string& name) {
  for (std::size_t i = 0; i < kFactNames.size(); ++i) {
    if (name == kFactNames[i]) return static_cast<int>(i + 1);
  }
  return 0;
}

std::string joinLines(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += item + '\n';
  if (!text.empty()) text.pop_back();
  return text;
}

// The whole text must be the number; blanks around it are allowed. False for anything else,
// out of range included.
template <typename Number>
bool parseNumber(const std::string& text, Number& number) {
  std::string digits = trim(text);
  const char* first = digits.data();
  const char* last = first + digits.size();
  if (first != last && *first == '+') ++first;
  if (first == last || (first != digits.data() && *first == '-')) return false;
  auto [end, error] = std::from_chars(first, last, number);
  return error == std::errc() && end == last;
}

}  // namespace

SystemBase::SystemBase() : ImsAgent("system-base") {
  try {
    queryHookId = setMessageHook(false, "system", "query", "", 1);
    setHookId = setMessageHook(false, "system", "set", "", 1);
  } catch (const Exception& failure) {
    if (queryHookId != 0) removeMessageHook(queryHookId);
    throw SystemBase_FailedToSetIMSHook(failure.getMessage(), ZELCOR_HERE, failure.getParameters());
  }
  if (queryHookId == 0 || setHookId == 0) {
    if (queryHookId != 0) removeMessageHook(queryHookId);
    ZELCOR_THROW(SystemBase_FailedToSetIMSHook,
                 "@system-base.constructor.no-bus{Failed to set the message hooks of % because the "
                 "message bus is not available};",
                 getName());
  }
}

SystemBase::~SystemBase() {
  for (std::uint64_t id : {queryHookId, setHookId}) {
    if (id != 0) removeMessageHook(id);
  }
}

ImsResult SystemBase::receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) {
  if (hookId == 0 || (hookId != queryHookId && hookId != setHookId)) return ImsResult::NotHandled;
  return receiveMessage(message);
}

ImsResult SystemBase::receiveMessage(ImsMessage& message) {
  if (message.getGeneralType() != "system") return ImsResult::NotHandled;
  const std::string& group = message.getGroupType();
  if (group != "query" && group != "set") return ImsResult::NotHandled;
  auto* request = dynamic_cast<SystemQueryParam*>(message.getParameter());
  if (request == nullptr) return ImsResult::NotHandled;
  const int type = request->valueType;
  const bool local = type >= kConfLocalInt && type <= kConfLocalSet;
  if (group == "set") {
    if (!local || request->value == nullptr) {
      request->status = kSystemStatusWriteFailed;
    } else {
      writeLocal(*request);
    }
    return ImsResult::Handled;
  }
  if (request->value == nullptr || (type != kConfSystemString && !local)) {
    request->status = kSystemStatusUnknownType;
  } else if (type == kConfSystemString) {
    std::optional<std::string> answer = getFact(request->name);
    if (answer) {
      *static_cast<std::string*>(request->value) = std::move(*answer);
    } else {
      request->status = kSystemStatusNotFound;
    }
  } else {
    readLocal(*request);
  }
  return ImsResult::Handled;
}

std::optional<std::string> SystemBase::getFact(const std::string& name) {
  std::size_t dot = name.find('.');
  const std::string factName = name.substr(0, dot);
  const std::string argument = dot == std::string::npos ? "" : name.substr(dot + 1);
  const FactTable& slots = facts();
  switch (factNumber(factName)) {
    case 1:
      return slots[kComputerName];
    case 2:
      return slots[kMachineName];
    case 3:
      return slots[kPlatform];
    case 4:
      return slots[kOs];
    case 5:
      return intToText(textToInt(slots[kOsVersion]));
    case 6:
      return slots[kOsLanguage];
    case 7:
      return slots[kKeyboardLanguage];
    case 8:
      return slots[kKeyboardType];
    case 9:
      return slots[kArchitecture];
    case 10:
      return slots[kDomain];
    case 11:
      return slots[kCurrentUser];
    case 12:
      return intToText(textToInt(slots[kOsBits]));
    case 13:
      return joinLines(platform::localGroups());
    case 14:
      return joinLines(platform::groupMembers(argument));
    case 15:
      return joinLines(platform::userGroups(argument));
    case 16:
      return joinLines(platform::ipv4Addresses());
    case 17: {
      std::optional<std::uint64_t> serial = platform::volumeSerial(argument);
      return serial ? uint64ToText(*serial) : std::string("[unknown]");
    }
    default:
      return std::nullopt;
  }
}

std::string SystemBase::getFactSlot(int slot) {
  if (slot < 0 || slot >= kSlotCount) return {};
  return facts()[static_cast<std::size_t>(slot)];
}

std::string SystemBase::machineName(const std::string& computerName, const std::string& domain) {
  // Only a whole trailing ".domain" goes: no domain means nothing to remove, and a name that
  // merely ends in the same letters is another name.
  if (domain.empty() || computerName.size() <= domain.size() + 1) return computerName;
  std::size_t cut = computerName.size() - domain.size();
  std::string tail = computerName.substr(cut);
  if (computerName[cut - 1] != '.' || lowerCopy(tail) != lowerCopy(domain)) return computerName;
  return computerName.substr(0, cut - 1);
}

std::string SystemBase::localHive(const SystemQueryParam& request) const {
  return request.perUser && facts()[kCurrentUser] != "SYSTEM" ? "HKEY_CURRENT_USER"
                                                              : "HKEY_LOCAL_MACHINE";
}

namespace {

// Where a local value lives: the key under SOFTWARE\Zelcor and the value name.
void splitLocalPath(const std::string& path, std::string& key, std::string& valueName) {
  std::size_t slash = path.rfind('\\');
  valueName = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string below = slash == std::string::npos ? "" : path.substr(0, slash);
  key = below.empty() ? "SOFTWARE\\Zelcor" : "SOFTWARE\\Zelcor\\" + below;
}

}  // namespace

void SystemBase::readLocal(SystemQueryParam& request) {
  const std::string hive = localHive(request);
  std::string key;
  std::string valueName;
  splitLocalPath(request.name, key, valueName);
  const int type = request.valueType;
  std::string text;
  std::vector<std::string> list;
  auto read = [&](const std::string& from) {
    if (type == kConfLocalSet) {
      list = WinRegistry::getList(hive, from, valueName, false);
    } else {
      text = WinRegistry::get(hive, from, valueName, false);
    }
  };
  try {
    try {
      read(key);
    } catch (const WinRegistry::Get_NotFound&) {
      // Values written by 32-bit installers sit under the redirected key.
      read("SOFTWARE\\Wow6432Node\\Zelcor" + key.substr(std::string("SOFTWARE\\Zelcor").size()));
    }
  } catch (const WinRegistry::Get_NotFound&) {
    request.status = kSystemStatusNotFound;
    return;
  } catch (const WinRegistry::Get_BadArguments&) {
    request.status = kSystemStatusNotFound;
    return;
  } catch (const WinRegistry::Get_WrongType& failure) {
    logger.warning(failure);
    request.status = kSystemStatusWrongType;
    return;
  } catch (const Exception& failure) {
    logger.warning(failure);
    request.status = kSystemStatusNoAccess;
    return;
  }

  bool converted = true;
  switch (type) {
    case kConfLocalInt:
      converted = parseNumber(text, *static_cast<std::int64_t*>(request.value));
      break;
    case kConfLocalUInt:
      converted = text.find('-') == std::string::npos &&
                  parseNumber(text, *static_cast<std::uint64_t*>(request.value));
      break;
    case kConfLocalFloat:
      converted = parseNumber(text, *static_cast<double*>(request.value));
      break;
    case kConfLocalString:
      *static_cast<std::string*>(request.value) = std::move(text);
      break;
    default:
      *static_cast<std::vector<std::string>*>(request.value) = std::move(list);
      break;
  }
  if (!converted) {
    // A number that is not one would otherwise pass as 0 without anyone noticing.
    logger.warning(
        "@system-base.local.bad-number{Registry value \"%\"->\"%\" holds \"%\", which is not a % "
        "value};",
        key, valueName, text, confTypeName(type));
    request.status = kSystemStatusWrongType;
  }
}

void SystemBase::writeLocal(SystemQueryParam& request) {
  const std::string hive = localHive(request);
  std::string key;
  std::string valueName;
  splitLocalPath(request.name, key, valueName);
  try {
    switch (request.valueType) {
      case kConfLocalInt:
        WinRegistry::set(hive, key, valueName,
                         int64ToText(*static_cast<const std::int64_t*>(request.value)), false);
        break;
      case kConfLocalUInt:
        WinRegistry::set(hive, key, valueName,
                         uint64ToText(*static_cast<const std::uint64_t*>(request.value)), false);
        break;
      case kConfLocalFloat:
        WinRegistry::set(hive, key, valueName,
                         doubleToText(*static_cast<const double*>(request.value)), false);
        break;
      case kConfLocalString:
        WinRegistry::set(hive, key, valueName, *static_cast<const std::string*>(request.value),
                         false);
        break;
      default:
        WinRegistry::setList(hive, key, valueName,
                             *static_cast<const std::vector<std::string>*>(request.value), false);
        break;
    }
  } catch (const WinRegistry::Set_AccessDenied& failure) {
    logger.warning(failure);
    request.status = kSystemStatusWriteDenied;
  } catch (const Exception& failure) {
    logger.warning(failure);
    request.status = kSystemStatusWriteFailed;
  }
}

}  // namespace ZelcorCorelib
