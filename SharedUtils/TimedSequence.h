#pragma once
// TimedSequence: an asynchronous sequence of empty values paced by a clock. Iterating it yields
// the first value at once, then each later value one `interval` after the consumer asks for it,
// so values are spaced by at least the interval plus the consumer's own time (not a fixed rate).
// It never fails: cancelling the consuming task ends the sequence during its current pause, and
// from then on every next() gives nothing.
//
//   TimedSequence seq(std::chrono::seconds(5), MonotonicClock());
//   auto it = seq.makeAsyncIterator();
//   while (co_await it.next()) refresh();

#include <optional>
#include <utility>
#include <variant>

#include "platform/async/Clock.h"
#include "platform/async/Stream.h"
#include "platform/async/Task.h"

namespace sharedutils {

template <platform::async::Clock C>
class TimedSequence {
 public:
  using Element = std::monostate;
  using Duration = typename C::duration;

  class Iterator {
   public:
    Iterator(Duration interval, C clock)
        : clock(clock),
          interval(interval),
          timedIterator([clock, interval] { return pause(clock, interval); }) {}

    // The next value; nothing once the sequence has ended. The iterator must outlive the call.
    platform::async::Task<std::optional<Element>> next() {
      if (isFirst) {
        isFirst = false;
        co_return Element{};
      }
      co_return co_await timedIterator.next();
    }

    C clock;
    Duration interval;
    bool isFirst = true;
    platform::async::UnfoldingStream<Element> timedIterator;

   private:
    // One pause, with no tolerance; a cancelled pause makes nothing, which ends the stream (its
    // error is dropped).
    static platform::async::Task<std::optional<Element>> pause(C clock, Duration interval) {
      bool slept = false;
      try {
        co_await clock.sleepUntil(clock.now() + interval);
        slept = true;
      } catch (...) {
      }
      if (!slept) co_return std::nullopt;
      co_return Element{};
    }
  };

  TimedSequence(Duration interval, C clock) : clock(std::move(clock)), interval(interval) {}

  Iterator makeAsyncIterator() const { return Iterator(interval, clock); }

  C clock;
  Duration interval;
};

}  // namespace sharedutils
