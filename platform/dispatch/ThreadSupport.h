#pragma once
// Thread plumbing shared by the dispatch layer's units: starting its own threads (named, with
// every asynchronous signal blocked), futex waits on a 32-bit word, and main-thread identity.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/base/CpuPause.h"
#include "platform/dispatch/Time.h"

namespace platform::dispatch::detail {

// Starts a detached thread called `name` (at most 15 characters) running `body`. The thread
// blocks every asynchronous signal, so that signals meant for signal sources or for the
// process's own threads never land on it. False when the system refuses a new thread.
bool startThread(const char* name, std::function<void()> body);

// Blocks every asynchronous signal in the calling thread (synchronous ones such as SIGSEGV stay
// deliverable, since blocking them only turns a crash into a hang).
void blockAsyncSignals();

// Sleeps while `word` holds `expected`, until woken or `deadline` passes. Returns false only on
// a timeout; spurious returns are possible, callers re-check their condition.
bool futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, Time deadline);
void futexWakeAll(std::atomic<std::uint32_t>& word);

// Polls `ready` for at most `limit` (bounded by time, since a pause instruction costs from a
// few to over a hundred cycles depending on the processor). True as soon as `ready` holds.
template <class Pred>
bool spinFor(Pred ready, std::chrono::nanoseconds limit) {
  if (ready()) return true;
  auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      platform::base::cpuPause();
      if (ready()) return true;
    }
    if (std::chrono::steady_clock::now() >= end) return ready();
  }
}

// How long a thread polls before it sleeps: idle workers for new jobs, sync and group waiters
// for their item. Long enough to catch work that is finishing on the other core, short enough
// that an idle process costs nothing.
inline constexpr std::chrono::microseconds kSpinLimit{5};

// How long a serial queue's drainer waits for more items before it gives the queue up.
inline constexpr std::chrono::microseconds kLingerLimit{3};

// True on the process's initial thread (the one whose thread id equals the process id).
bool isMainThread();

}  // namespace platform::dispatch::detail
