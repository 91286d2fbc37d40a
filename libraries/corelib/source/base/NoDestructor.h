// A function-local static that is never destroyed, for objects that code running during process
// exit may still reach: loggers used by destructors of other statics, the bus that agents
// unregister from, registries that a late signal or thread still asks. Its memory is reclaimed
// by the process's end, which is the point: no destruction order to get wrong.
//   static NoDestructor<Logger> logger("tcp");
//   return *logger;
// Thread-safe construction comes from the function-local static itself.
#pragma once

#include <utility>

namespace ZelcorCorelib {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) : value(std::forward<Args>(args)...) {}
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  // Deliberately leaves the value alone.
  ~NoDestructor() {}

  T& operator*() { return value; }
  T* operator->() { return &value; }

 private:
  union {
    T value;
  };
};

}  // namespace ZelcorCorelib
