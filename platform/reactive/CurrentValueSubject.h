#pragma once
// A subject that holds a current value. A new subscriber receives the current value first (as
// soon as it requests), then every value sent; sending the value already held is delivered too.
// When a subscriber has no outstanding demand, the latest value sent is held back for it (older
// held-back values are replaced) and delivered when it requests more. Values are delivered on the
// sender's thread. After a completion, later sends neither change the value nor deliver.

#include <memory>
#include <optional>

#include "platform/reactive/AnyPublisher.h"
#include "platform/reactive/SubjectCore.h"

namespace platform::reactive {

template <class T, class Failure = Never>
class CurrentValueSubject {
 public:
  using OutputType = T;
  using FailureType = Failure;

  explicit CurrentValueSubject(T initial)
      : core_(std::make_shared<detail::SubjectCore<T, Failure>>(true, std::move(initial))) {}
  CurrentValueSubject(const CurrentValueSubject&) = delete;
  CurrentValueSubject& operator=(const CurrentValueSubject&) = delete;

  T value() const { return *core_->currentValue(); }

  void send(const T& value) { core_->send(value); }
  void send(Completion<Failure> completion) { core_->send(std::move(completion)); }

  void subscribe(std::shared_ptr<Subscriber<T, Failure>> subscriber) {
    core_->subscribe(std::move(subscriber));
  }
  // Publishers handed out share this subject's state and stay valid after the subject is gone.
  AnyPublisher<T, Failure> eraseToAnyPublisher() const { return AnyPublisher<T, Failure>(core_); }
  AnyCancellable sink(typename Sink<T, Failure>::ValueHandler receiveValue,
                      typename Sink<T, Failure>::CompletionHandler receiveCompletion = nullptr) {
    return eraseToAnyPublisher().sink(std::move(receiveValue), std::move(receiveCompletion));
  }

  std::size_t subscriberCount() const { return core_->subscriberCount(); }

 private:
  std::shared_ptr<detail::SubjectCore<T, Failure>> core_;
};

}  // namespace platform::reactive
