#pragma once
// A serial queue's item that its producer may go on adding work to for as long as nothing has been
// queued behind it: a producer of many small pieces of work gathers them into one item (one item
// and at most one wake of the queue's thread for many pieces) and still keeps every piece in order
// against everything else queued there.

#include "platform/dispatch/Block.h"
#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

// The identity of an item queued with asyncTracked; meaningful only until the item has run (its
// identity may then be reused by a later item).
using TrackedItem = const void*;

// Queues `work` on the serial queue `queue` exactly as Queue::async does and returns its identity.
// On a concurrent queue it is a plain async and returns nullptr.
TrackedItem asyncTracked(Queue& queue, Block work);

// True while `item` is the last thing queued on `queue` and has not been taken to run. Work the
// producer adds to the item now runs in the item's place, before anything queued later. The
// producer must know by its own means that the item has not run (a flag it clears from inside
// the item, under a lock it also holds here); after that, the answer means nothing.
bool isLastQueued(const Queue& queue, TrackedItem item);

}  // namespace platform::dispatch
