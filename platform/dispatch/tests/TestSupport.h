#pragma once
// Helpers shared by the dispatch tests.

#include <chrono>
#include <functional>
#include <thread>

namespace dispatch_test {

// Polls `done` until it holds or a generous deadline passes; returns the last answer.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace dispatch_test
