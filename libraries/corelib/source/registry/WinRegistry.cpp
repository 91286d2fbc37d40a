#include "registry/WinRegistry.h"

#include <cstdint>
#include <new>
#include <optional>

#include "platform/Environment.h"
#include "registry/RegistryFile.h"
#include "registry/RegistryStore.h"

namespace ZelcorCorelib {

namespace {

// Raises E; a store that told why adds that as the cause, so the user learns the file too.
template <typename E, typename... V>
[[noreturn]] void fail(std::string location, const char* message, const std::string& store,
                       const std::string& reason, const V&... values) {
  E failure(message, location, makeParams(values...));
  if (!reason.empty()) {
    failure.addNested(WinRegistry::Store_Failure("@winregistry.store.failure{Registry store %: %};",
                                                 std::move(location), makeParams(store, reason)));
  }
  throw failure;
}

RegistryValue readValue(const std::string& hive, const std::string& key,
                        const std::string& valueName, bool view64, std::uint32_t wanted) {
  if (!RegistryFile::isHiveName(hive)) {
    ZELCOR_THROW(WinRegistry::Get_BadArguments,
                 "@winregistry.get.bad-arguments{Invalid argument \"%\"};", hive);
  }
  const std::string mapped = WinRegistry::mapKey(key);
  platform::RegistryRead read = platform::readRegistryValue(hive, mapped, valueName, view64);
  // Opening the key and reading the value fail alike but for a missing value.
  long result = read.openResult != platform::kRegistrySuccess ? read.openResult : read.queryResult;
  switch (result) {
    case platform::kRegistrySuccess:
      break;
    case platform::kRegistryAccessDenied:
      fail<WinRegistry::Get_AccessDenied>(
          ZELCOR_HERE,
          "@winregistry.get.access-denied{Access denied when trying to get \"%\"->\"%\"};",
          read.store, read.reason, mapped, valueName);
    case platform::kRegistryOutOfMemory:
      fail<WinRegistry::Get_OutOfMemory>(ZELCOR_HERE, "@out-of-memory{Out of memory};", read.store,
                                         read.reason);
    case platform::kRegistryFileNotFound:
    case platform::kRegistryNotFound:
      fail<WinRegistry::Get_NotFound>(
          ZELCOR_HERE, "@winregistry.get.not-found{Could not find registry key \"%\"->\"%\"};",
          read.store, read.reason, mapped, valueName);
    default:
      fail<WinRegistry::Get_UnknownError>(
          ZELCOR_HERE,
          "@winregistry.get.unknown-error{Unknown error when trying to get \"%\"->\"%\"};",
          read.store, read.reason, mapped, valueName);
  }
  if (read.value.type != wanted) {
    ZELCOR_THROW(WinRegistry::Get_WrongType,
                 "@winregistry.get.wrong-type{Cannot get \"%\"->\"%\" of type % because the actual "
                 "type is %};",
                 mapped, valueName, wanted, read.value.type);
  }
  return std::move(read.value);
}

void writeValue(const std::string& hive, const std::string& key, const std::string& valueName,
                const RegistryValue& value, bool view64) {
  if (!RegistryFile::isHiveName(hive)) {
    ZELCOR_THROW(WinRegistry::Set_BadArguments,
                 "@winregistry.set.bad-arguments{Invalid argument \"%\"};", hive);
  }
  const std::string mapped = WinRegistry::mapKey(key);
  platform::RegistryWrite write =
      platform::writeRegistryValue(hive, mapped, valueName, value, view64);
  switch (write.result) {
    case platform::kRegistrySuccess:
      return;
    case platform::kRegistryAccessDenied:
      fail<WinRegistry::Set_AccessDenied>(
          ZELCOR_HERE,
          "@winregistry.set.access-denied{Access denied when trying to set \"%\"->\"%\"};",
          write.store, write.reason, mapped, valueName);
    case platform::kRegistryOutOfMemory:
      fail<WinRegistry::Set_OutOfMemory>(ZELCOR_HERE, "@out-of-memory{Out of memory};", write.store,
                                         write.reason);
    default:
      fail<WinRegistry::Set_UnknownError>(
          ZELCOR_HERE,
          "@winregistry.set.unknown-error{Unknown error when trying to set \"%\"->\"%\"};",
          write.store, write.reason, mapped, valueName);
  }
}

}  // namespace

std::string WinRegistry::mapKey(const std::string& key) {
  std::string mapped = key;
  for (char& c : mapped) {
    if (c == '/') c = '\\';
  }
  const std::string prefix = kResourcePrefix;
  // Only the resource key itself and keys below it: "ResourcesOld" is another key.
  bool underPrefix = mapped.compare(0, prefix.size(), prefix) == 0 &&
                     (mapped.size() == prefix.size() || mapped[prefix.size()] == '\\');
  if (!underPrefix) return mapped;
  std::optional<std::string> replacement = platform::getEnvironment("ZELCOR_ENV");
  // Set to nothing, the variable names no key: the settings stay where they are.
  if (!replacement || replacement->empty()) return mapped;
  std::string target = *replacement;
  for (char& c : target) {
    if (c == '/') c = '\\';
  }
  return target + mapped.substr(prefix.size());
}

std::string WinRegistry::get(const std::string& hive, const std::string& key,
                             const std::string& valueName, bool view64) {
  try {
    return readValue(hive, key, valueName, view64, kRegSz).asText();
  } catch (const std::bad_alloc&) {
    ZELCOR_THROW(Get_OutOfMemory, "@out-of-memory{Out of memory};");
  }
}

std::vector<std::string> WinRegistry::getList(const std::string& hive, const std::string& key,
                                              const std::string& valueName, bool view64) {
  try {
    return readValue(hive, key, valueName, view64, kRegMultiSz).asList();
  } catch (const std::bad_alloc&) {
    ZELCOR_THROW(Get_OutOfMemory, "@out-of-memory{Out of memory};");
  }
}

void WinRegistry::set(const std::string& hive, const std::string& key, const std::string& valueName,
                      const std::string& text, bool view64) {
  try {
    writeValue(hive, key, valueName, RegistryValue::fromText(text), view64);
  } catch (const std::bad_alloc&) {
    ZELCOR_THROW(Set_OutOfMemory, "@out-of-memory{Out of memory};");
  }
}

void WinRegistry::setList(const std::string& hive, const std::string& key,
                          const std::string& valueName, const std::vector<std::string>& items,
                          bool view64) {
  try {
    writeValue(hive, key, valueName, RegistryValue::fromList(items), view64);
  } catch (const std::bad_alloc&) {
    ZELCOR_THROW(Set_OutOfMemory, "@out-of-memory{Out of memory};");
  }
}

}  // namespace ZelcorCorelib
