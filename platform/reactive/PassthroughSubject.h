#pragma once
// A subject that forwards each value sent to the subscribers present at that moment. A value
// reaches a subscriber only if it has outstanding demand; values beyond its demand are dropped for
// that subscriber (there is nothing to replay). Values are delivered on the sender's thread.
// After a completion, later sends are ignored and new subscribers receive the completion at once.

#include <memory>
#include <optional>

#include "platform/reactive/AnyPublisher.h"
#include "platform/reactive/SubjectCore.h"

namespace platform::reactive {

template <class T, class Failure = Never>
class PassthroughSubject {
 public:
  using OutputType = T;
  using FailureType = Failure;

  PassthroughSubject()
      : core_(std::make_shared<detail::SubjectCore<T, Failure>>(false, std::nullopt)) {}
  PassthroughSubject(const PassthroughSubject&) = delete;
  PassthroughSubject& operator=(const PassthroughSubject&) = delete;

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
