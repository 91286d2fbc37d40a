#include "platform/Handle.h"

#include <unistd.h>

#include <system_error>

namespace ZelcorCorelib::platform {

void Handle::reset() {
  if (value >= 0) ::close(value);
  value = -1;
}

std::string errorText(int error) { return std::generic_category().message(error); }

}  // namespace ZelcorCorelib::platform
