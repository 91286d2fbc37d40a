// Test helper: the text of the exception an operation throws, so that one expectation checks
// class, key and message at once.
#pragma once

#include <functional>
#include <string>

#include "errors/Exception.h"

namespace ZelcorCorelib::test {

// The full text of the E thrown by operation, "unexpected ..." for another Exception, or
// "nothing thrown".
template <typename E>
std::string thrownText(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const E& failure) {
    return failure.toString();
  } catch (const Exception& other) {
    return "unexpected " + other.toString();
  }
  return "nothing thrown";
}

}  // namespace ZelcorCorelib::test
