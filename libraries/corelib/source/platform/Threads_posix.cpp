#include "platform/Threads.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace ZelcorCorelib::platform {

namespace {

// Cached per thread because every log record asks for it; a child made by fork inherits the
// forking thread's cache, so the atfork handler clears it there.
thread_local std::uint32_t cachedThreadId = 0;

void clearCachedThreadId() { cachedThreadId = 0; }

[[maybe_unused]] const int kAtForkRegistered =
    ::pthread_atfork(nullptr, nullptr, clearCachedThreadId);

}  // namespace

std::uint32_t currentThreadId() {
  if (cachedThreadId == 0) cachedThreadId = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return cachedThreadId;
}

std::int32_t currentProcessId() { return static_cast<std::int32_t>(::getpid()); }

void setCurrentThreadName(std::string_view name) {
  // pthread_setname_np fails with ERANGE above 15 bytes instead of cutting.
  std::string cut(name.substr(0, 15));
  (void)::pthread_setname_np(::pthread_self(), cut.c_str());
}

}  // namespace ZelcorCorelib::platform
