#include "platform/reactive/Cancellable.h"

#include <utility>

namespace platform::reactive {

AnyCancellable::AnyCancellable(std::function<void()> onCancel) : onCancel_(std::move(onCancel)) {}

AnyCancellable::AnyCancellable(std::shared_ptr<Cancellable> target) {
  if (target) onCancel_ = [target = std::move(target)] { target->cancel(); };
}

AnyCancellable::~AnyCancellable() {
  cancel();
}

AnyCancellable::AnyCancellable(AnyCancellable&& other) noexcept
    : onCancel_(std::exchange(other.onCancel_, nullptr)) {}

AnyCancellable& AnyCancellable::operator=(AnyCancellable&& other) noexcept {
  if (this != &other) {
    cancel();
    onCancel_ = std::exchange(other.onCancel_, nullptr);
  }
  return *this;
}

void AnyCancellable::cancel() {
  // Taken out first: the cancellation may destroy whatever owns this token.
  auto onCancel = std::exchange(onCancel_, nullptr);
  if (onCancel) onCancel();
}

void AnyCancellable::store(std::vector<AnyCancellable>& bag) && {
  bag.push_back(std::move(*this));
}

}  // namespace platform::reactive
