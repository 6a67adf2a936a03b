#include "logging/DDCrashFlush.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "logging/DDLog.h"

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kSlots = 64;

// Everything the handler reads is a lock-free atomic in static storage that is never destroyed,
// so the handler can run at any moment, exit included.
constinit DDCrashFlush::Slot gSlots[kSlots];
constinit std::atomic<bool> gInstalled{false};
constinit std::atomic<std::int64_t> gPatienceNs{0};
constinit std::atomic<pid_t> gInstalledPid{0};
// The thread that handles the crash; 0 until one does.
constinit std::atomic<pid_t> gCrashingThread{0};
// Set by the handler when it writes the buffered bytes itself: the file loggers must stop.
constinit std::atomic<bool> gTakeover{false};
// The flush thread's futex word (1: flush now) and its answer (1: every dispatcher flushed).
constinit std::atomic<std::uint32_t> gFlushRequested{0};
constinit std::atomic<std::uint32_t> gFlushDone{0};

// The slot whose section the calling thread is in.
thread_local constinit DDCrashFlush::Slot* tSection = nullptr;

static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<std::size_t>::is_always_lock_free &&
                  std::atomic<const void*>::is_always_lock_free &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the crash handler may only read lock-free atomics");

[[noreturn]] void parkForever() {
  for (;;)
    ::pause();
}

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void futexWake(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

std::int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepOneMillisecond() {
  timespec ts{0, 1'000'000};
  ::nanosleep(&ts, nullptr);
}

// Waits for the flush thread while the pipeline makes progress; true when it finished.
bool awaitCooperativeFlush() {
  const std::int64_t patience = gPatienceNs.load(std::memory_order_relaxed);
  std::uint64_t progress = DDLog::deliveryProgress();
  std::int64_t lastChange = monotonicNs();
  while (gFlushDone.load(std::memory_order_acquire) == 0) {
    sleepOneMillisecond();
    const std::uint64_t now = DDLog::deliveryProgress();
    const std::int64_t t = monotonicNs();
    if (now != progress) {
      progress = now;
      lastChange = t;
    } else if (t - lastChange > patience) {
      return false;
    }
  }
  return true;
}

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Stops every file logger at its next section and writes what their buffers hold.
void takeOver() {
  gTakeover.store(true, std::memory_order_seq_cst);
  const std::int64_t deadline = monotonicNs() + gPatienceNs.load(std::memory_order_relaxed);
  for (auto& slot : gSlots) {
    if (!slot.used.load(std::memory_order_acquire)) continue;
    // Crashed halfway through this logger's own write or roll: what its buffer and file hold
    // is unknown, and writing again could repeat lines.
    if (&slot == tSection) continue;
    while (slot.busy.load(std::memory_order_seq_cst) != 0 && monotonicNs() < deadline)
      sleepOneMillisecond();
    if (slot.busy.load(std::memory_order_seq_cst) != 0) continue;
    const int fd = slot.fd.load(std::memory_order_acquire);
    const char* pending = slot.pending.load(std::memory_order_acquire);
    const std::size_t length = slot.pendingLength.load(std::memory_order_acquire);
    if (fd >= 0 && pending != nullptr && length > 0) writeAll(fd, pending, length);
    slot.pendingLength.store(0, std::memory_order_release);
  }
}

void crashHandler(int signal, siginfo_t*, void*) {
  const int savedErrno = errno;
  const auto self = static_cast<pid_t>(::syscall(SYS_gettid));
  pid_t none = 0;
  if (!gCrashingThread.compare_exchange_strong(none, self)) {
    // Another thread is flushing; the process dies when it is done.
    parkForever();
  }
  // The flush thread is not inherited by a forked child, and a crash inside the pipeline (or
  // inside a file logger's write) cannot wait for the pipeline.
  bool flushed = false;
  if (gInstalledPid.load(std::memory_order_relaxed) == ::getpid() &&
      !DDLog::isOnLoggingPipeline() && tSection == nullptr) {
    gFlushRequested.store(1, std::memory_order_release);
    futexWake(gFlushRequested);
    flushed = awaitCooperativeFlush();
  }
  if (!flushed) takeOver();

  // The default action, as if no handler had been installed: the signal is blocked while this
  // handler runs, so the raised one is delivered as soon as it returns.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  ::sigaction(signal, &defaultAction, nullptr);
  ::raise(signal);
  errno = savedErrno;
}

void flushThread() {
  ::pthread_setname_np(::pthread_self(), "crash-flush");
  while (gFlushRequested.load(std::memory_order_acquire) == 0)
    futexWait(gFlushRequested, 0);
  DDLog::flushEveryDispatcher();
  gFlushDone.store(1, std::memory_order_release);
  parkForever();
}

std::mutex& installMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

bool DDCrashFlush::install(std::chrono::milliseconds patience) {
  std::lock_guard lock(installMutex());
  gPatienceNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(patience).count(),
                    std::memory_order_relaxed);
  if (gInstalled.load(std::memory_order_relaxed)) return true;
  // The flush thread first: a handler must never run without it. It takes no asynchronous
  // signal: it starts with them all blocked (the mask is inherited at creation, so it never has
  // one open). Otherwise a process that blocks a signal in its other threads after this call, to
  // read it from a signalfd, would have it delivered here and die of its default action; and a
  // SIGABRT sent to the process would make this thread wait for itself. Faults stay open: a
  // formatter that crashes while this thread flushes parks in the handler, and the crashed
  // thread takes over the buffers.
  sigset_t asynchronous;
  sigfillset(&asynchronous);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
    sigdelset(&asynchronous, s);
  sigset_t callerMask;
  ::pthread_sigmask(SIG_BLOCK, &asynchronous, &callerMask);
  bool started = true;
  try {
    std::thread(&flushThread).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  ::pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
  if (!started) return false;
  struct sigaction action {};
  action.sa_sigaction = &crashHandler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  // Another of the five signals while the handler runs (a fault inside it) kills at once.
  for (int s : kSignals)
    sigaddset(&action.sa_mask, s);
  struct sigaction previous[std::size(kSignals)]{};
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    if (::sigaction(kSignals[i], &action, &previous[i]) != 0) {
      while (i-- > 0)
        ::sigaction(kSignals[i], &previous[i], nullptr);
      return false;
    }
  }
  gInstalledPid.store(::getpid(), std::memory_order_relaxed);
  gInstalled.store(true, std::memory_order_release);
  return true;
}

bool DDCrashFlush::isInstalled() noexcept {
  return gInstalled.load(std::memory_order_acquire);
}

DDCrashFlush::Slot* DDCrashFlush::acquireSlot() noexcept {
  for (auto& slot : gSlots) {
    bool expected = false;
    if (slot.used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      slot.fd.store(-1, std::memory_order_relaxed);
      slot.pendingOwner.store(nullptr, std::memory_order_relaxed);
      slot.pending.store(nullptr, std::memory_order_relaxed);
      slot.pendingLength.store(0, std::memory_order_release);
      return &slot;
    }
  }
  return nullptr;
}

void DDCrashFlush::releaseSlot(Slot* slot) noexcept {
  if (!slot) return;
  {
    Section section(slot);
    slot->fd.store(-1, std::memory_order_relaxed);
    slot->pending.store(nullptr, std::memory_order_relaxed);
    slot->pendingLength.store(0, std::memory_order_relaxed);
    slot->pendingOwner.store(nullptr, std::memory_order_relaxed);
  }
  slot->used.store(false, std::memory_order_release);
}

DDCrashFlush::Section::Section(Slot* slot) noexcept {
  // Before install() a section costs one load and a branch.
  if (!gInstalled.load(std::memory_order_relaxed) || slot == nullptr || tSection == slot) return;
  // Announce, then look: either the handler sees this section and waits for it to close, or
  // this thread sees the takeover and never touches the slot's file or buffer again.
  slot->busy.store(1, std::memory_order_seq_cst);
  if (gTakeover.load(std::memory_order_seq_cst)) {
    slot->busy.store(0, std::memory_order_seq_cst);
    parkForever();
  }
  slot_ = slot;
  outer_ = tSection;
  tSection = slot;
}

DDCrashFlush::Section::~Section() {
  if (slot_ == nullptr) return;
  tSection = outer_;
  slot_->busy.store(0, std::memory_order_release);
}
