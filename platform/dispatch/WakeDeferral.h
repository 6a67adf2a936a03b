#pragma once
// Deferred worker wake-ups for a serial queue fed one item at a time.
//
// A serial queue that goes from idle to busy normally wakes a pool worker at once. A queue that a
// busy thread feeds a steady trickle of small items (a log line per request) then pays one
// wake-up, and one sleep of the worker, per item. With a window set, the worker that drains the
// queue may start up to `window` after the item that made it busy: the items queued meanwhile are
// drained by that one wake-up. A worker that looks for work anyway takes the queue earlier. A
// sync onto the queue wakes a worker at once, so a flush through sync is not delayed (only an
// idle-to-busy item racing with the sync's own arrival may still wait out its window).
//
// Items still run in order, one at a time; only when they start changes. A window of zero (the
// default) restores immediate wake-ups.

#include <chrono>

namespace platform::dispatch {

class Queue;

// Returns false, changing nothing, when `queue` is not a serial queue.
bool deferWakeUps(Queue& queue, std::chrono::nanoseconds window);

}  // namespace platform::dispatch
