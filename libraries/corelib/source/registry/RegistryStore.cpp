#include "registry/RegistryStore.h"

#include <new>
#include <optional>

#include "files/FileUtils.h"
#include "platform/Environment.h"
#include "platform/LockedFile.h"

namespace ZelcorCorelib::platform {

namespace {

constexpr const char* kDefaultStore = "/etc/zelcor/registry.reg";

std::string storePath() {
  std::optional<std::string> path = getEnvironment("ZELCOR_REGISTRY");
  return path && !path->empty() ? *path : kDefaultStore;
}

long writeResultOf(const FileError& error) {
  switch (error.kind) {
    case FileError::Kind::accessDenied:
      return kRegistryAccessDenied;
    case FileError::Kind::outOfMemory:
      return kRegistryOutOfMemory;
    default:
      return kRegistryWriteFault;
  }
}

long readResultOf(const FileError& error) {
  return error.kind == FileError::Kind::outOfMemory ? kRegistryOutOfMemory : kRegistryAccessDenied;
}

// The file is line by line: a line break in a name would end its line early.
bool storable(const std::string& text) {
  return text.find_first_of("\r\n") == std::string::npos && text.find('\0') == std::string::npos;
}

void writeLocked(const std::string& hive, const std::string& key, const std::string& valueName,
                 const RegistryValue& value, const std::string& target, RegistryWrite& result) {
  FileError error;
  if (!makeFolders(folderName(target), error)) {
    result.result = writeResultOf(error);
    result.reason = "its folder cannot be made (" + error.text + ")";
    return;
  }
  FileLock lock(target + ".lock");
  switch (lock.acquire(error)) {
    case FileLock::Result::acquired:
      break;
    case FileLock::Result::openFailed:
      result.result = writeResultOf(error);
      result.reason = "its lock file cannot be opened (" + error.text + ")";
      return;
    case FileLock::Result::lockFailed:
      result.result = writeResultOf(error);
      result.reason = "it cannot be locked (" + error.text + ")";
      return;
  }
  std::string bytes;
  FileOwnership ownership;
  RegistryFile document;
  bool existed = false;
  switch (readWholeFile(target, bytes, ownership, error)) {
    case ReadOutcome::missing:
      break;
    case ReadOutcome::failed:
      result.result = readResultOf(error);
      result.reason = "it cannot be read (" + error.text + ")";
      return;
    case ReadOutcome::ok:
      existed = true;
      try {
        document = RegistryFile::parse(bytes, target);
      } catch (const Exception& failure) {
        // A file that cannot be understood is left exactly as it is.
        result.result = kRegistryBadDatabase;
        result.reason = failure.toLine();
        return;
      }
      break;
  }
  document.setValue(hive, key, valueName, value);
  if (!replaceFileDurably(target, document.render(), existed ? &ownership : nullptr, error)) {
    result.result = writeResultOf(error);
    result.reason = "it cannot be rewritten (" + error.text + ")";
  }
}

}  // namespace

RegistryRead readRegistryValue(const std::string& hive, const std::string& key,
                               const std::string& valueName, bool /*view64*/) {
  RegistryRead result;
  try {
    result.store = storePath();
    std::string bytes;
    FileOwnership ownership;
    FileError error;
    switch (readWholeFile(result.store, bytes, ownership, error)) {
      case ReadOutcome::missing:
        result.openResult = kRegistryFileNotFound;
        return result;
      case ReadOutcome::failed:
        result.openResult = readResultOf(error);
        result.reason = "it cannot be read (" + error.text + ")";
        return result;
      case ReadOutcome::ok:
        break;
    }
    RegistryFile document;
    try {
      document = RegistryFile::parse(bytes, result.store);
    } catch (const Exception& failure) {
      result.openResult = kRegistryBadDatabase;
      result.reason = failure.toLine();
      return result;
    }
    RegistryFile::Lookup lookup = document.find(hive, key, valueName);
    switch (lookup.outcome) {
      case RegistryFile::Outcome::keyMissing:
        result.openResult = kRegistryFileNotFound;
        break;
      case RegistryFile::Outcome::valueMissing:
        result.queryResult = kRegistryFileNotFound;
        break;
      case RegistryFile::Outcome::damaged:
        result.queryResult = kRegistryBadDatabase;
        result.reason = lookup.problem;
        break;
      case RegistryFile::Outcome::found:
        result.value = std::move(lookup.value);
        break;
    }
  } catch (const std::bad_alloc&) {
    result.openResult = kRegistryOutOfMemory;
  }
  return result;
}

RegistryWrite writeRegistryValue(const std::string& hive, const std::string& key,
                                 const std::string& valueName, const RegistryValue& value,
                                 bool /*view64*/) {
  RegistryWrite result;
  try {
    result.store = storePath();
    if (!RegistryFile::isHiveName(hive) || !storable(key) || !storable(valueName)) {
      result.result = kRegistryInvalidParameter;
      result.reason = "a key or value name with a line break or NUL cannot be stored";
      return result;
    }
    writeLocked(hive, key, valueName, value, resolveLinkTarget(result.store), result);
  } catch (const std::bad_alloc&) {
    result.result = kRegistryOutOfMemory;
  }
  return result;
}

}  // namespace ZelcorCorelib::platform
