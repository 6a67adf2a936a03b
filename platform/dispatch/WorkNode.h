#pragma once
// The unit of queued work: a Block plus the bookkeeping a queue needs, carried in an intrusive
// list node. Nodes are recycled through a pool so that `async` of a closure that fits the
// Block's inline storage allocates nothing once the pool is warm.

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dispatch/Block.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"

namespace platform::dispatch::detail {

struct Frame;

// A `sync` caller parked until its item's turn comes. Lives on the caller's stack.
struct SyncWaiter {
  enum : std::uint32_t { Waiting = 0, Sleeping = 1, YourTurn = 2, Done = 3 };
  SyncWaiter(Queue::FunctionRef w, const Frame* frames) : work(w), callerFrames(frames) {}
  std::atomic<std::uint32_t> state{Waiting};
  Queue::FunctionRef work;
  const Frame* callerFrames;  // the caller's chain, for items run on its behalf elsewhere
};

struct WorkNode {
  std::atomic<WorkNode*> next{nullptr};
  Block block;
  std::shared_ptr<Group::State> group;  // left once the block has run
  SyncWaiter* waiter = nullptr;         // set for a sync item: the waiter runs it
  bool barrier = false;
};

// Takes a clean node from the pool (or a new one).
WorkNode* allocNode();

// Collects used nodes and hands them back to the pool in one step.
class NodeRecycler {
 public:
  NodeRecycler() = default;
  NodeRecycler(const NodeRecycler&) = delete;
  NodeRecycler& operator=(const NodeRecycler&) = delete;
  ~NodeRecycler() { flush(); }
  // Clears the node (its Block must already have been destroyed) and keeps it for flush().
  void add(WorkNode* node);
  void flush();

 private:
  WorkNode* head_ = nullptr;
  WorkNode* tail_ = nullptr;
};

}  // namespace platform::dispatch::detail
