// An owned operating-system handle (a file descriptor here): closed when the object goes.
// Move-only; one object belongs to one thread at a time. A negative value owns nothing.
#pragma once

#include <string>
#include <utility>

namespace ZelcorCorelib::platform {

class Handle {
 public:
  Handle() = default;
  explicit Handle(int value) : value(value) {}
  Handle(Handle&& other) noexcept : value(std::exchange(other.value, -1)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      value = std::exchange(other.value, -1);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  int get() const { return value; }
  bool valid() const { return value >= 0; }
  // Gives up ownership without closing.
  int release() { return std::exchange(value, -1); }
  // Closes what it holds; not retried on EINTR (Linux frees the descriptor either way).
  void reset();

 private:
  int value = -1;
};

// The system's text for an errno value ("No space left on device").
std::string errorText(int error);

}  // namespace ZelcorCorelib::platform
