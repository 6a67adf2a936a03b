#pragma once
// A type-erased publisher: a cheap, copyable handle to any Publisher of the same output and
// failure types. Copies share the underlying publisher. The operators live here so that they
// chain: subject.eraseToAnyPublisher().map(f).sink(g).

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/reactive/Cancellable.h"
#include "platform/reactive/Operators.h"
#include "platform/reactive/Publisher.h"
#include "platform/reactive/Sink.h"

namespace platform::reactive {

template <class Output, class Failure = Never>
class AnyPublisher final : public Publisher<Output, Failure> {
 public:
  explicit AnyPublisher(std::shared_ptr<Publisher<Output, Failure>> base)
      : base_(std::move(base)) {}

  void subscribe(std::shared_ptr<Subscriber<Output, Failure>> subscriber) override {
    base_->subscribe(std::move(subscriber));
  }

  template <class Transform>
  auto map(Transform transform) const {
    using Out = std::decay_t<std::invoke_result_t<Transform&, Output>>;
    using Op = detail::TransformPublisher<Output, Out, Failure, Transform, detail::MapSubscriber>;
    return AnyPublisher<Out, Failure>(std::make_shared<Op>(base_, std::move(transform)));
  }

  // `transform` returns std::optional<U>; the result publishes U.
  template <class Transform>
  auto compactMap(Transform transform) const {
    using Opt = std::decay_t<std::invoke_result_t<Transform&, Output>>;
    using Out = typename Opt::value_type;
    static_assert(std::is_same_v<Opt, std::optional<Out>>, "compactMap needs a std::optional");
    using Op =
        detail::TransformPublisher<Output, Out, Failure, Transform, detail::CompactMapSubscriber>;
    return AnyPublisher<Out, Failure>(std::make_shared<Op>(base_, std::move(transform)));
  }

  // Subscribes a Sink; the subscription lasts as long as the returned token.
  AnyCancellable sink(
      typename Sink<Output, Failure>::ValueHandler receiveValue,
      typename Sink<Output, Failure>::CompletionHandler receiveCompletion = nullptr) const {
    auto sink = std::make_shared<Sink<Output, Failure>>(std::move(receiveValue),
                                                        std::move(receiveCompletion));
    base_->subscribe(sink);
    return AnyCancellable(std::shared_ptr<Cancellable>(sink));
  }

 private:
  std::shared_ptr<Publisher<Output, Failure>> base_;
};

// Wraps a concrete publisher held by shared_ptr.
template <class P>
auto eraseToAnyPublisher(std::shared_ptr<P> publisher) {
  using Out = typename P::OutputType;
  using Fail = typename P::FailureType;
  return AnyPublisher<Out, Fail>(std::shared_ptr<Publisher<Out, Fail>>(std::move(publisher)));
}

}  // namespace platform::reactive
