#pragma once
// The machinery shared by PassthroughSubject and CurrentValueSubject.
//
// Threading: send() may be called from any thread, and values are delivered on the sending
// thread. Concurrent sends are delivered one after the other, each to every subscriber, so a
// current-value subscriber's last value is always the subject's value. Deliveries of one subject
// are serialised by a per-subject recursive lock, held while a send, a completion, a subscribe or a
// request that releases a held-back value runs. Because it is recursive, a subscriber may send,
// subscribe, request or cancel from inside a delivery on the same thread. Subscription state
// (demand, held-back value, the subscriber) has its own small lock that is never held while calling
// out.
//
// cancel() from another thread waits for a delivery of the same subject that is in flight, so
// once cancel() returns the subscriber is never called again and may be destroyed. The price:
// never cancel (or send) while holding a lock that a subscriber's handler of the same subject
// may take on another thread.

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "platform/reactive/Publisher.h"

namespace platform::reactive::detail {

template <class T, class Failure>
class SubjectCore final : public Publisher<T, Failure>,
                          public std::enable_shared_from_this<SubjectCore<T, Failure>> {
 public:
  // `keepLatest`: a value sent while a subscriber has no demand replaces the one held back for
  // it (delivered when it next requests); otherwise such a value is dropped for that subscriber.
  // `current`: the current value a new subscriber receives first (current-value subjects).
  SubjectCore(bool keepLatest, std::optional<T> current)
      : keepLatest_(keepLatest), current_(std::move(current)) {}

  // The last handle to the subject is gone: no value can come any more, so the links let go of
  // their subscribers (which typically hold their subscription, a cycle that would otherwise
  // outlive everyone). No completion is sent.
  ~SubjectCore() override {
    for (auto& link : links_) {
      std::shared_ptr<Subscriber<T, Failure>> released;
      std::lock_guard lock(link->mutex);
      released = std::move(link->subscriber);
      link->pending.reset();
    }
  }

  void subscribe(std::shared_ptr<Subscriber<T, Failure>> subscriber) override {
    if (!subscriber) return;
    std::lock_guard delivery(deliveryMutex_);
    auto link = std::make_shared<Link>(this->weak_from_this());
    std::optional<Completion<Failure>> ended;
    {
      std::lock_guard lock(stateMutex_);
      if (completion_) {
        ended = completion_;
      } else {
        link->subscriber = subscriber;
        link->pending = current_;
        links_.push_back(link);
      }
    }
    subscriber->receive(std::shared_ptr<Subscription>(link));
    if (ended) subscriber->receive(std::move(*ended));
  }

  void send(const T& value) { dispatch(Event(std::in_place_index<0>, value)); }
  void send(Completion<Failure> completion) {
    dispatch(Event(std::in_place_index<1>, std::move(completion)));
  }

  std::optional<T> currentValue() const {
    std::lock_guard lock(stateMutex_);
    return current_;
  }

  std::size_t subscriberCount() const {
    std::lock_guard lock(stateMutex_);
    return links_.size();
  }

 private:
  struct Link final : Subscription {
    explicit Link(std::weak_ptr<SubjectCore> owner) : owner(std::move(owner)) {}

    void request(Demand demand) override {
      if (auto core = owner.lock()) {
        std::lock_guard delivery(core->deliveryMutex_);
        core->addDemand(*this, demand);
      }
    }

    void cancel() override {
      std::shared_ptr<Subscriber<T, Failure>> released;
      {
        std::lock_guard lock(mutex);
        released = std::move(subscriber);
        pending.reset();
      }
      if (auto core = owner.lock()) {
        core->remove(this);
        // Waits for a delivery in flight on another thread; returns at once on the delivering
        // thread itself (the lock is recursive).
        std::lock_guard delivery(core->deliveryMutex_);
      }
      // `released` (possibly the last reference to the subscriber) goes here, outside any lock.
    }

    const std::weak_ptr<SubjectCore> owner;
    std::mutex mutex;
    std::shared_ptr<Subscriber<T, Failure>> subscriber;  // empty once cancelled or completed
    Demand demand;
    std::optional<T> pending;  // held back for want of demand
  };

  // Called with deliveryMutex_ held.
  void offer(Link& link, const T& value) {
    std::shared_ptr<Subscriber<T, Failure>> target;
    {
      std::lock_guard lock(link.mutex);
      if (!link.subscriber) return;
      if (link.demand.isNone()) {
        if (keepLatest_) link.pending = value;
        return;
      }
      link.demand -= 1;
      target = link.subscriber;
    }
    addDemand(link, target->receive(value));
  }

  // Called with deliveryMutex_ held. Adds demand, then releases a held-back value while there is
  // demand for it (a handler may have sent again and asked for more meanwhile).
  void addDemand(Link& link, Demand demand) {
    for (;;) {
      std::shared_ptr<Subscriber<T, Failure>> target;
      std::optional<T> value;
      {
        std::lock_guard lock(link.mutex);
        if (!link.subscriber) return;
        link.demand += demand;
        if (!link.pending || link.demand.isNone()) return;
        value = std::move(link.pending);
        link.pending.reset();
        link.demand -= 1;
        target = link.subscriber;
      }
      demand = target->receive(std::move(*value));
    }
  }

  using Event = std::variant<T, Completion<Failure>>;

  // A send from inside a delivery of this subject (same thread) is queued and delivered once the
  // delivery in progress has reached every subscriber, so all subscribers see sends in the same
  // order. draining_ and queued_ are only touched with deliveryMutex_ held.
  void dispatch(Event event) {
    std::lock_guard delivery(deliveryMutex_);
    if (draining_) {
      queued_.push_back(std::move(event));
      return;
    }
    draining_ = true;
    struct Reset {
      SubjectCore* core;
      ~Reset() {
        core->draining_ = false;
        core->queued_.clear();
      }
    } reset{this};
    for (;;) {
      if (event.index() == 0) {
        deliverValue(std::get<0>(event));
      } else {
        deliverCompletion(std::get<1>(event));
      }
      if (queued_.empty()) break;
      event = std::move(queued_.front());
      queued_.pop_front();
    }
  }

  void deliverValue(const T& value) {
    std::vector<std::shared_ptr<Link>> links;
    {
      std::lock_guard lock(stateMutex_);
      if (completion_) return;
      if (current_) current_ = value;
      links = links_;
    }
    for (auto& link : links)
      offer(*link, value);
  }

  void deliverCompletion(const Completion<Failure>& completion) {
    std::vector<std::shared_ptr<Link>> links;
    {
      std::lock_guard lock(stateMutex_);
      if (completion_) return;
      completion_ = completion;
      links.swap(links_);
    }
    for (auto& link : links) {
      std::shared_ptr<Subscriber<T, Failure>> target;
      {
        std::lock_guard lock(link->mutex);
        target = std::move(link->subscriber);
        link->pending.reset();
      }
      if (target) target->receive(completion);
    }
  }

  void remove(const Link* link) {
    std::lock_guard lock(stateMutex_);
    std::erase_if(links_, [link](const auto& l) { return l.get() == link; });
  }

  const bool keepLatest_;
  std::recursive_mutex deliveryMutex_;
  bool draining_ = false;
  std::deque<Event> queued_;
  mutable std::mutex stateMutex_;
  std::optional<T> current_;
  std::optional<Completion<Failure>> completion_;
  std::vector<std::shared_ptr<Link>> links_;
};

}  // namespace platform::reactive::detail
