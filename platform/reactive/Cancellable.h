#pragma once
// Cancellation tokens. `Cancellable` is anything that can be cancelled (every subscription is
// one); `AnyCancellable` owns a cancellation and performs it at the latest when it is destroyed,
// so keeping the token alive is what keeps a subscription alive.

#include <functional>
#include <memory>
#include <vector>

namespace platform::reactive {

class Cancellable {
 public:
  virtual ~Cancellable() = default;
  // Idempotent and callable from any thread, including from inside a delivery.
  virtual void cancel() = 0;
};

class [[nodiscard]] AnyCancellable final : public Cancellable {
 public:
  AnyCancellable() = default;
  explicit AnyCancellable(std::function<void()> onCancel);
  explicit AnyCancellable(std::shared_ptr<Cancellable> target);
  ~AnyCancellable() override;

  AnyCancellable(AnyCancellable&& other) noexcept;
  // Cancels what this token held before taking over `other`'s cancellation.
  AnyCancellable& operator=(AnyCancellable&& other) noexcept;
  AnyCancellable(const AnyCancellable&) = delete;
  AnyCancellable& operator=(const AnyCancellable&) = delete;

  // Runs the cancellation once; later calls do nothing.
  void cancel() override;
  // True until cancel() has been called (or the token was moved from / default-made).
  bool isActive() const { return static_cast<bool>(onCancel_); }

  // Keeps the token in `bag`; the subscription lives as long as the bag's element.
  void store(std::vector<AnyCancellable>& bag) &&;

 private:
  std::function<void()> onCancel_;
};

}  // namespace platform::reactive
