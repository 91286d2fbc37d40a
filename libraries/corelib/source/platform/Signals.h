// The operating-system side of the quit request: routes the signals that ask a program to end
// (SIGINT, SIGTERM, SIGABRT) to one handler, keeps a broken pipe from ending the program, and
// stands in for the Windows quit message. Called by the application's entry point through the
// application frame, on the main thread, before any other thread starts.
// The handler may run on any thread, between any two instructions: it must only do what is
// safe in a signal handler (store into a lock-free atomic).
#pragma once

namespace ZelcorCorelib::platform {

using SignalHandler = void (*)(int signalNumber);

// Installs handler for SIGINT, SIGTERM and SIGABRT and ignores SIGPIPE (a peer that hangs up
// is an error result of the write, not the end of the program) and SIGHUP (a closed terminal
// or an operator's reload habit must not end a daemon). Children started through
// spawnProcess get default dispositions again. Interrupted system calls are
// restarted. False when the system refused one of them; those before it stay installed.
// abort() still ends the program: it goes on to the default action once the handler returns.
bool installQuitSignalHandler(SignalHandler handler);

// Posts a quit message to the calling thread's message queue where the system has one; a
// no-op on POSIX, where the flag set by the handler is the whole request. Safe in a handler.
void postQuitMessage(int exitCode);

}  // namespace ZelcorCorelib::platform
