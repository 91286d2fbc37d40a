// Read access to the process environment, for path references, time-zone and resource-key
// settings. Callable from any thread as long as nothing in the process changes the
// environment at the same time (setenv/putenv are not thread-safe against getenv).
#pragma once

#include <optional>
#include <string>

namespace ZelcorCorelib::platform {

// nullopt when the variable is not set; an empty string when it is set to nothing.
// A name that is empty or contains '=' is never set.
std::optional<std::string> getEnvironment(const std::string& name);

}  // namespace ZelcorCorelib::platform
