#include "platform/dispatch/ThreadSupport.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <thread>

namespace platform::dispatch::detail {
namespace {

sigset_t asyncSignalSet() {
  sigset_t set;
  sigfillset(&set);
  // Signals raised by the faulting instruction itself: blocking them would not stop them, it
  // would only make the kernel kill the process without a core of the right kind.
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
    sigdelset(&set, s);
  return set;
}

}  // namespace

void blockAsyncSignals() {
  sigset_t set = asyncSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool startThread(const char* name, std::function<void()> body) {
  // The new thread inherits the creator's mask; block everything around the creation so that
  // there is no window in which the new thread could take a signal.
  sigset_t set = asyncSignalSet();
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &set, &old);
  bool ok = true;
  try {
    std::thread t([n = name, b = std::move(body)]() mutable {
      pthread_setname_np(pthread_self(), n);
      b();
    });
    t.detach();
  } catch (const std::system_error&) {
    ok = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

bool futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, Time deadline) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  auto* addr = reinterpret_cast<std::uint32_t*>(&word);
  long r;
  if (deadline.isForever()) {
    r = syscall(SYS_futex, addr, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
  } else {
    // FUTEX_WAIT_BITSET takes an absolute deadline on the chosen clock.
    timespec ts{};
    std::int64_t ns = deadline.nanoseconds();
    if (ns < 0) ns = 0;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    int op = FUTEX_WAIT_BITSET_PRIVATE;
    if (deadline.clock() == Time::Clock::Wall) op |= FUTEX_CLOCK_REALTIME;
    r = syscall(SYS_futex, addr, op, expected, &ts, nullptr, FUTEX_BITSET_MATCH_ANY);
  }
  return !(r == -1 && errno == ETIMEDOUT);
}

void futexWakeAll(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX,
          nullptr, nullptr, 0);
}

namespace {
// Bumped in the child of a fork, where the forking thread becomes the main thread: a cached
// answer from before the fork is then stale.
std::atomic<unsigned> forkGeneration{1};
void onForkChild() {
  forkGeneration.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

bool isMainThread() {
  // Asked on every log record (through Queue::current()), so the answer is cached per thread.
  struct Cache {
    unsigned generation;
    bool main;
  };
  thread_local Cache cache{0, false};
  static const bool registered = [] {
    return pthread_atfork(nullptr, nullptr, onForkChild) == 0;
  }();
  (void)registered;
  unsigned gen = forkGeneration.load(std::memory_order_relaxed);
  if (cache.generation != gen) {
    cache.main = static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
    cache.generation = gen;
  }
  return cache.main;
}

}  // namespace platform::dispatch::detail
