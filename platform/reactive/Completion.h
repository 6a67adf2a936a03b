#pragma once
// How a stream ends: `finished`, or `failure` carrying an error of the stream's failure type.
// Streams that cannot fail use `Never`, which has no values, so their completion can only be
// `finished`.

#include <optional>
#include <utility>

namespace platform::reactive {

struct Never {
  Never() = delete;
};

template <class Failure>
class Completion {
 public:
  static Completion finished() { return Completion(); }
  static Completion failure(Failure error) {
    Completion c;
    c.error_.emplace(std::move(error));
    return c;
  }

  bool isFinished() const { return !error_.has_value(); }
  // Only meaningful when !isFinished().
  const Failure& error() const { return *error_; }

 private:
  Completion() = default;
  std::optional<Failure> error_;
};

}  // namespace platform::reactive
