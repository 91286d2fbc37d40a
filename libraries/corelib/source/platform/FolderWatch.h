// Two things a poll can wait on besides sockets and pipes. FolderWatch tells that entries of
// one folder changed (a file renamed into it, written and closed, or its owner, mode or links
// changed), through inotify; it says that something happened, never what, so the reader looks
// at the folder itself. WakeSignal is a wake-up another thread, or a signal handler, can give
// (an eventfd). Both are owned descriptors, close-on-exec and non-blocking; notify may be
// called from any thread, the rest by the owner's.
#pragma once

#include <string>

#include "platform/Handle.h"

namespace ZelcorCorelib::platform {

class FolderWatch {
 public:
  // False, with the system's text in error, when the folder cannot be watched (no such
  // folder, the user's watch limit reached): the caller must look on a clock instead.
  bool watch(const std::string& folder, std::string& error);
  bool watching() const { return handle.valid(); }
  int descriptor() const { return handle.get(); }
  // Reads every event waiting; true when there was any (a lost-events overflow included).
  bool drain();

 private:
  Handle handle;
};

class WakeSignal {
 public:
  // False when no eventfd could be made; notify and drain then do nothing.
  bool open();
  int descriptor() const { return handle.get(); }
  // Async-signal-safe; wakes at most once however often it is called before a drain.
  void notify() const;
  bool drain();

 private:
  Handle handle;
};

}  // namespace ZelcorCorelib::platform
