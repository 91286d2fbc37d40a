// Where registry values live: reads and writes one value at a time and answers with the result
// codes of the Windows registry calls, so that WinRegistry turns them into its exceptions the
// same way on every platform. Called by WinRegistry only.
// The registry is one text file in the registry export format (registry/RegistryFile):
// $ZELCOR_REGISTRY, looked up at every call, else /etc/zelcor/registry.reg. A missing file is
// an empty registry; a file that cannot be read answers access denied. A write rewrites the
// whole file through a temporary file and a rename, under an exclusive lock on a lock file
// beside it, so that writers in any number of threads and processes never lose each other's
// values and readers, who take no lock, always see a whole file, old or new.
// Stateless; safe from any thread. Nothing throws.
#pragma once

#include <string>

#include "registry/RegistryFile.h"

namespace ZelcorCorelib::platform {

// The Windows error numbers these calls answer with.
enum RegistryResult : long {
  kRegistrySuccess = 0,
  kRegistryFileNotFound = 2,  // no such key, or no such value
  kRegistryAccessDenied = 5,
  kRegistryOutOfMemory = 14,
  kRegistryWriteFault = 29,
  kRegistryInvalidParameter = 87,
  kRegistryBadDatabase = 1009,  // the store cannot be understood
  kRegistryNotFound = 1168,
};

struct RegistryRead {
  long openResult = kRegistrySuccess;   // opening the key
  long queryResult = kRegistrySuccess;  // reading the value, once the key is open
  RegistryValue value;
  std::string store;   // where the registry lives, for messages
  std::string reason;  // why, when a result is neither success nor a missing key or value
};

struct RegistryWrite {
  long result = kRegistrySuccess;
  std::string store;
  std::string reason;
};

// view64 asks for the 64-bit view; one file has one view, so it is ignored.
RegistryRead readRegistryValue(const std::string& hive, const std::string& key,
                               const std::string& valueName, bool view64);
// Creates the key (and the file and its folder) when missing.
RegistryWrite writeRegistryValue(const std::string& hive, const std::string& key,
                                 const std::string& valueName, const RegistryValue& value,
                                 bool view64);

}  // namespace ZelcorCorelib::platform
