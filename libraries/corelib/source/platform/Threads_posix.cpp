#include "platform/Threads.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace ZelcorCorelib::platform {

std::uint32_t currentThreadId() {
  // Not cached in a thread_local: a child made by fork would inherit the parent's value.
  return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

std::int32_t currentProcessId() { return static_cast<std::int32_t>(::getpid()); }

void setCurrentThreadName(std::string_view name) {
  // pthread_setname_np fails with ERANGE above 15 bytes instead of cutting.
  std::string cut(name.substr(0, 15));
  (void)::pthread_setname_np(::pthread_self(), cut.c_str());
}

}  // namespace ZelcorCorelib::platform
