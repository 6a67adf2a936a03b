#pragma once
// Thread plumbing shared by the dispatch layer's units: starting its own threads (named, with
// every asynchronous signal blocked), futex waits on a 32-bit word, and main-thread identity.

#include <atomic>
#include <cstdint>
#include <functional>

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

// A short pause for spin loops.
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// True on the process's initial thread (the one whose thread id equals the process id).
bool isMainThread();

}  // namespace platform::dispatch::detail
