#pragma once
// UnfoldingStream<T>: an asynchronous sequence whose values are made on demand. Each next()
// runs the producer once and gives what it made; the first time the producer makes nothing,
// the stream ends, and every later next() gives nothing without running the producer again.
// Nothing is made ahead of a request. The stream must outlive each next() being awaited.

#include <functional>
#include <optional>
#include <utility>

#include "platform/async/Task.h"

namespace platform::async {

template <class T>
class UnfoldingStream {
 public:
  using Producer = std::function<Task<std::optional<T>>()>;

  explicit UnfoldingStream(Producer produce) : produce_(std::move(produce)) {}

  Task<std::optional<T>> next() {
    if (ended_) co_return std::nullopt;
    std::optional<T> value = co_await produce_();
    if (!value) ended_ = true;
    co_return value;
  }

  bool hasEnded() const { return ended_; }

 private:
  Producer produce_;
  bool ended_ = false;
};

}  // namespace platform::async
