// Waits for a condition that another thread brings about, instead of sleeping for a guessed
// time. For tests only; header-only. The predicate is polled on the calling thread.
#pragma once

#include <chrono>
#include <thread>

namespace ZelcorCorelib::testing {

inline constexpr std::chrono::milliseconds kWaitDeadline{10'000};

// True as soon as predicate() is true; false if it is still false after the deadline.
template <typename Predicate>
bool waitFor(Predicate&& predicate, std::chrono::milliseconds deadline = kWaitDeadline) {
  const auto giveUp = std::chrono::steady_clock::now() + deadline;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= giveUp) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace ZelcorCorelib::testing
