#include "QuitSignal.h"

#include "platform/Signals.h"

namespace ZelcorCorelib {

constinit QuitFlag quitSignal{0};

void signalHandler(int /*signalNumber*/) {
  quitSignal.store(1);
  platform::postQuitMessage(0);
}

bool installSignalHandler() { return platform::installQuitSignalHandler(signalHandler); }

}  // namespace ZelcorCorelib
