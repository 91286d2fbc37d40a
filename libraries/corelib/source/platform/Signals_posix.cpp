#include "platform/Signals.h"

#include <signal.h>

#include <initializer_list>

namespace ZelcorCorelib::platform {

bool installQuitSignalHandler(SignalHandler handler) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: a quit request must not turn a read, a sleep or an accept into an error; the
  // loops notice the flag at their next check.
  action.sa_flags = SA_RESTART;
  for (int number : {SIGINT, SIGTERM, SIGABRT}) {
    if (::sigaction(number, &action, nullptr) != 0) return false;
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // A hang-up (a closed terminal, a reload habit) is no request to quit.
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0 && ::sigaction(SIGHUP, &ignore, nullptr) == 0;
}

void postQuitMessage(int /*exitCode*/) {}

}  // namespace ZelcorCorelib::platform
