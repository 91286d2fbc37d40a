#include "platform/Handle.h"

#include <unistd.h>

#include <cstring>

namespace ZelcorCorelib::platform {

void Handle::reset() {
  if (value >= 0) ::close(value);
  value = -1;
}

const char* errorText(int error) {
  // strerror is not thread-safe; strerrordesc_np (glibc 2.32) returns static text.
  const char* text = ::strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error";
}

}  // namespace ZelcorCorelib::platform
