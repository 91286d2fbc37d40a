// The process-wide quit request. The entry point installs signalHandler for SIGABRT, SIGINT and
// SIGTERM through installSignalHandler before it builds the application; the handler sets
// quitSignal to 1, and the scheduling loop, which gets the flag's address, ends its passes once
// it reads 1. Nothing else writes the flag (tests reset it).
// The flag is a lock-free atomic byte, so the handler, which may run on any thread, can set it
// and every thread can read it without a lock.
#pragma once

#include <atomic>

namespace ZelcorCorelib {

using QuitFlag = std::atomic<unsigned char>;
static_assert(QuitFlag::is_always_lock_free, "the signal handler may only touch a lock-free flag");

// 0 at start, 1 once a quit was requested. Constant-initialised: it is valid before main runs
// and in any handler.
extern QuitFlag quitSignal;

// Sets quitSignal to 1 and posts the quit message; nothing else.
void signalHandler(int signalNumber);

// Installs signalHandler for SIGABRT, SIGINT and SIGTERM and ignores SIGPIPE. False when the
// system refused.
bool installSignalHandler();

}  // namespace ZelcorCorelib
