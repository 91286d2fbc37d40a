#include "platform/Environment.h"

#include <cstdlib>

namespace ZelcorCorelib::platform {

std::optional<std::string> getEnvironment(const std::string& name) {
  // getenv stops at an embedded NUL and cannot hold a name with '='; refuse both rather than
  // answer for a different name.
  if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace ZelcorCorelib::platform
