#pragma once
// Bounded polling for conditions no event announces.

#include <chrono>
#include <functional>
#include <thread>

namespace test_common {

// Polls `done` every `interval` until it holds or `timeout` is up.
inline bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

}  // namespace test_common
