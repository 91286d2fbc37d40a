// String and string-list values of the registry, with one exception class per failure.
// Called by SystemBase for local configuration values and by the application frame for its
// resource settings. Keys are mapped through ZELCOR_ENV first (mapKey), so that several
// installations keep their settings under different resource keys.
// Static operations without state of their own; safe from any thread as long as nothing
// changes the environment meanwhile. The values live in registry/RegistryStore.
#pragma once

#include <string>
#include <vector>

#include "errors/Exception.h"

namespace ZelcorCorelib {

class WinRegistry : public Throws {
 public:
  ZELCOR_EXCEPTION(Get_BadArguments);
  ZELCOR_EXCEPTION(Get_AccessDenied);
  ZELCOR_EXCEPTION(Get_NotFound);
  ZELCOR_EXCEPTION(Get_UnknownError);
  ZELCOR_EXCEPTION(Get_WrongType);
  ZELCOR_EXCEPTION(Get_OutOfMemory);
  ZELCOR_EXCEPTION(Set_BadArguments);
  ZELCOR_EXCEPTION(Set_AccessDenied);
  ZELCOR_EXCEPTION(Set_UnknownError);
  ZELCOR_EXCEPTION(Set_OutOfMemory);
  // The cause attached to the failures above when the store can say more: the file and why.
  ZELCOR_EXCEPTION(Store_Failure);

  static constexpr const char* kResourcePrefix = "SOFTWARE\\Zelcor\\Resources";

  // A REG_SZ value. Throws WinRegistry::Get_BadArguments (unknown hive), Get_AccessDenied,
  // Get_OutOfMemory, Get_NotFound, Get_WrongType (another type), Get_UnknownError (among them
  // a store that cannot be understood).
  static std::string get(const std::string& hive, const std::string& key,
                         const std::string& valueName, bool view64);
  // A REG_MULTI_SZ value, its strings in order; throws as get.
  static std::vector<std::string> getList(const std::string& hive, const std::string& key,
                                          const std::string& valueName, bool view64);
  // Writes a REG_SZ value, making the key when missing. Throws WinRegistry::Set_BadArguments,
  // Set_AccessDenied, Set_OutOfMemory, Set_UnknownError.
  static void set(const std::string& hive, const std::string& key, const std::string& valueName,
                  const std::string& text, bool view64);
  // Writes a REG_MULTI_SZ value; throws as set.
  static void setList(const std::string& hive, const std::string& key, const std::string& valueName,
                      const std::vector<std::string>& items, bool view64);

  // '/' becomes '\'; a key of the resource key or below it has that prefix replaced by
  // ZELCOR_ENV when the variable holds a key. Every other key is left as it is.
  static std::string mapKey(const std::string& key);
};

}  // namespace ZelcorCorelib
