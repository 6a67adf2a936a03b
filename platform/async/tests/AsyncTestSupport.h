#pragma once
// Helpers for tests of code built on the coroutine layer.

#include <chrono>
#include <stdexcept>

#include "platform/async/Spawn.h"

namespace async_test {

// The result of a spawned task, waiting for it with a deadline generous enough for a loaded
// machine under a sanitizer; a task that does not finish in time fails the test by throwing.
template <class T>
platform::async::Result<T> finish(const platform::async::TaskHandle<T>& h) {
  auto r = h.wait(platform::dispatch::Time::after(std::chrono::seconds(20)));
  if (!r) throw std::runtime_error("the task did not finish in time");
  return std::move(*r);
}

}  // namespace async_test
