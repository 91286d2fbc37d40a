// Operating-system facts about threads and the process, for thread records, lock owners and log
// records. Every function is callable from any thread at any time; none allocates or blocks.
#pragma once

#include <cstdint>
#include <string_view>

namespace ZelcorCorelib::platform {

// The kernel's id of the calling thread (gettid on Linux): what `ps -L` and /proc show, unique
// among the live threads of the whole system and never 0.
std::uint32_t currentThreadId();

// The id of this process (getpid).
std::int32_t currentProcessId();

// Names the calling thread for debuggers and `top -H`; the kernel keeps at most 15 bytes, so a
// longer name is cut. A failure is ignored: the name is only a convenience.
void setCurrentThreadName(std::string_view name);

}  // namespace ZelcorCorelib::platform
