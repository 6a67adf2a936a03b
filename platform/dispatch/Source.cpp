#include "platform/dispatch/Source.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/QueueImpl.h"
#include "platform/dispatch/SourceImpl.h"
#include "platform/dispatch/TimerSchedule.h"

namespace platform::dispatch {
namespace {

itimerspec toItimerspec(std::int64_t startNs, std::int64_t intervalNs) {
  itimerspec its{};
  if (startNs <= 0) startNs = 1;  // zero would disarm; one nanosecond is "already due"
  its.it_value.tv_sec = static_cast<time_t>(startNs / 1000000000);
  its.it_value.tv_nsec = static_cast<long>(startNs % 1000000000);
  if (intervalNs > 0) {
    its.it_interval.tv_sec = static_cast<time_t>(intervalNs / 1000000000);
    its.it_interval.tv_nsec = static_cast<long>(intervalNs % 1000000000);
  }
  return its;
}

std::int64_t realtimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SourceCore

SourceCore::SourceCore(Kind kind, std::shared_ptr<Queue> queue)
    : kind_(kind), queue_(std::move(queue)) {}

SourceCore::~SourceCore() = default;

std::uint32_t SourceCore::epollEvents() const {
  switch (kind_) {
    case Kind::Read:
    case Kind::Process:
      // One-shot: a readable descriptor is re-armed after its handler ran, so that a handler
      // which read only part of the data is called again; a process exits only once.
      return EPOLLIN | EPOLLONESHOT;
    case Kind::Write:
      return EPOLLOUT | EPOLLONESHOT;
    default:
      // The event thread drains timer, signal and inotify descriptors itself.
      return EPOLLIN;
  }
}

void SourceCore::registerLocked() {
  if (!fd_ || regId_ != 0 || isCancelled()) return;
  regId_ = detail::EventThread::instance().add(fd_.get(), epollEvents(), shared_from_this());
}

void SourceCore::setEventHandler(std::function<void()> handler) {
  HandlerPtr fresh =
      handler ? std::make_shared<std::function<void()>>(std::move(handler)) : nullptr;
  std::lock_guard lock(m_);
  if (isCancelled()) return;  // `fresh` is released after the lock, by its destructor order
  handler_.swap(fresh);
}

void SourceCore::setCancelHandler(std::function<void()> handler) {
  HandlerPtr fresh =
      handler ? std::make_shared<std::function<void()>>(std::move(handler)) : nullptr;
  std::lock_guard lock(m_);
  if (isCancelled()) return;
  cancelHandler_.swap(fresh);
}

void SourceCore::resume() {
  bool submit = false;
  {
    std::lock_guard lock(m_);
    if (isCancelled()) return;
    if (suspendCount_ == 0) {
      // Resuming a running source is a caller bug; the source simply stays running.
      return;
    }
    if (--suspendCount_ > 0) return;
    if (!activated_) {
      activated_ = true;
      if (kind_ == Kind::Timer) armTimerLocked();
      registerLocked();
    }
    submit = dueLocked();
  }
  if (submit) submitHandler();
}

void SourceCore::suspend() {
  std::lock_guard lock(m_);
  if (!isCancelled()) ++suspendCount_;
}

void SourceCore::cancel() {
  HandlerPtr runNow;
  HandlerPtr dropEvent;
  std::uint64_t reg;
  int fd;
  {
    std::lock_guard lock(m_);
    if (isCancelled()) return;
    cancelled_.store(true, std::memory_order_release);
    reg = regId_;
    fd = fd_.get();
    regId_ = 0;
    if (!scheduled_) {
      // No handler item is queued or running: the cancel handler can go at once.
      cancelHandled_ = true;
      runNow = std::move(cancelHandler_);
      dropEvent = std::move(handler_);
    }
  }
  // The event thread's reference may be the last one besides the caller's: keep this alive.
  auto self = shared_from_this();
  if (reg != 0) detail::EventThread::instance().remove(reg, fd);
  if (runNow) {
    queue_->async([h = std::move(runNow)] { (*h)(); });
  }
}

void SourceCore::merge(std::uint64_t value) {
  bool submit;
  {
    std::lock_guard lock(m_);
    if (isCancelled()) return;
    switch (kind_) {
      case Kind::Timer:
      case Kind::Signal:
        pending_ += value;
        break;
      case Kind::File:
      case Kind::Write:
      case Kind::Process:
        pending_ |= value;
        break;
      case Kind::Read:
        pending_ = value;
        break;
    }
    hasPending_ = true;
    submit = dueLocked();
  }
  if (submit) submitHandler();
}

bool SourceCore::dueLocked() {
  if (scheduled_ || !hasPending_ || suspendCount_ > 0 || isCancelled()) return false;
  scheduled_ = true;
  return true;
}

void SourceCore::submitHandler() {
  queue_->async([self = shared_from_this()] { self->runHandler(); });
}

void SourceCore::runHandler() {
  HandlerPtr h;
  bool cancelledBefore;
  {
    std::lock_guard lock(m_);
    cancelledBefore = isCancelled();
    if (!cancelledBefore) {
      currentData_.store(pending_, std::memory_order_relaxed);
      pending_ = 0;
      hasPending_ = false;
      h = handler_;
    }
  }
  if (h && *h) detail::runGuarded(*queue_, Queue::FunctionRef(*h));
  h.reset();

  if ((kind_ == Kind::Read || kind_ == Kind::Write) && !isCancelled()) {
    std::lock_guard lock(m_);
    if (regId_ != 0) detail::EventThread::instance().modify(regId_, fd_.get(), epollEvents());
  }

  HandlerPtr cancelNow;
  HandlerPtr dropEvent;
  bool submit = false;
  {
    std::lock_guard lock(m_);
    scheduled_ = false;
    if (isCancelled()) {
      if (!cancelHandled_) {
        cancelHandled_ = true;
        cancelNow = std::move(cancelHandler_);
        dropEvent = std::move(handler_);
      }
    } else {
      submit = dueLocked();
    }
  }
  // Already on the target queue, after the last event handler: the cancel handler runs here.
  if (cancelNow && *cancelNow) detail::runGuarded(*queue_, Queue::FunctionRef(*cancelNow));
  if (submit) submitHandler();
}

void SourceCore::onEvent(std::uint32_t events) {
  switch (kind_) {
    case Kind::Timer: {
      std::uint64_t expirations = 0;
      {
        std::lock_guard lock(m_);
        if (!fd_) return;
        ssize_t r = read(fd_.get(), &expirations, sizeof expirations);
        if (r < 0 && errno == ECANCELED) {
          // The wall clock was set. The kernel drops any expiration that came with the set and
          // may leave a repeating timer stopped, so the schedule decides: fire now for a passed
          // deadline, and arm the descriptor again (or disarm it) in every case.
          TimerSchedule::AfterSet after = wallSchedule_.clockSet(realtimeNow());
          setWallTimerLocked(after.rearmAt);
          expirations = after.fireNow ? 1 : 0;
        } else if (r != static_cast<ssize_t>(sizeof expirations)) {
          expirations = 0;
        } else if (timerWall_) {
          wallSchedule_.expired(expirations);
        }
      }
      if (expirations > 0) merge(expirations);
      return;
    }
    case Kind::Signal: {
      std::uint64_t count = 0;
      signalfd_siginfo info[8];
      for (;;) {
        ssize_t r = read(fd_.get(), info, sizeof info);
        if (r <= 0) break;
        count += static_cast<std::uint64_t>(r) / sizeof(signalfd_siginfo);
      }
      if (count > 0) merge(count);
      return;
    }
    case Kind::File: {
      std::uint64_t bits = 0;
      {
        // readFileEvents() looks at the watched descriptor: see the read source above.
        std::lock_guard lock(m_);
        if (isCancelled()) return;
        bits = readFileEvents() & fileMask_;
      }
      if (bits) merge(bits);
      return;
    }
    case Kind::Read: {
      int avail = 0;
      {
        // Under the lock and only while not cancelled: the owner may close its descriptor as
        // soon as cancel() returns.
        std::lock_guard lock(m_);
        if (isCancelled()) return;
        if (ioctl(fd_.get(), FIONREAD, &avail) != 0 || avail < 0) avail = 0;
      }
      (void)events;
      merge(static_cast<std::uint64_t>(avail));
      return;
    }
    case Kind::Write: {
      {
        std::lock_guard lock(m_);
        if (isCancelled()) return;
      }
      merge((events & (EPOLLERR | EPOLLHUP)) != 0 ? 1 : 0);
      return;
    }
    case Kind::Process:
      merge(ProcessExit);
      return;
  }
}

// --- timers -------------------------------------------------------------------------------------

void SourceCore::scheduleTimer(Time start, std::chrono::nanoseconds interval) {
  std::lock_guard lock(m_);
  if (isCancelled()) return;
  bool wall = start.clock() == Time::Clock::Wall && !start.isForever();
  if (fd_.valid() && wall != timerWall_) {
    // A different clock needs a different descriptor; the old one is closed with the source,
    // since the event thread may be reading it right now.
    if (regId_ != 0) detail::EventThread::instance().remove(regId_, fd_.get());
    regId_ = 0;
    retiredFds_.push_back(std::move(fd_));
  }
  timerWall_ = wall;
  timerStart_ = start;
  timerInterval_ = interval;
  if (wall) wallSchedule_.arm(start.nanoseconds(), interval.count());
  // Pending expirations of the previous schedule are dropped.
  pending_ = 0;
  hasPending_ = false;
  if (!fd_) {
    fd_.reset(timerfd_create(wall ? CLOCK_REALTIME : CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!fd_) {
      platform::diagnostics::reportf("dispatch: timerfd_create failed (errno %d)", errno);
      return;
    }
  }
  if (activated_) {
    armTimerLocked();
    registerLocked();
  }
}

// Leeway is accepted and not used to delay: a timerfd's kernel timer fires on time (timer slack
// does not apply to it), and firing on time is always within the leeway, so Strict timers and
// others behave alike.
void SourceCore::armTimerLocked() {
  if (!fd_) return;
  if (timerWall_) {
    setWallTimerLocked(wallSchedule_.isArmed() ? std::optional(wallSchedule_.next())
                                               : std::nullopt);
    return;
  }
  if (timerStart_.isForever()) {
    itimerspec off{};
    timerfd_settime(fd_.get(), 0, &off, nullptr);
    return;
  }
  std::int64_t interval = timerInterval_.count() > 0 ? timerInterval_.count() : 0;
  itimerspec its = toItimerspec(timerStart_.nanoseconds(), interval);
  timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &its, nullptr);
}

// Arming with TFD_TIMER_CANCEL_ON_SET makes every set of the clock show up as ECANCELED on the
// next read, which is how a set that passes the deadline is noticed. Arming (or disarming) also
// discards expirations the kernel counted but nobody read, so a one-shot timer cannot fire
// twice when the set and its own expiry race.
void SourceCore::setWallTimerLocked(std::optional<std::int64_t> deadline) {
  if (!deadline) {
    itimerspec off{};
    timerfd_settime(fd_.get(), 0, &off, nullptr);
    return;
  }
  itimerspec its = toItimerspec(*deadline, wallSchedule_.interval());
  timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &its, nullptr);
}

// --- signals ------------------------------------------------------------------------------------

bool SourceCore::initSignal(int signo) {
  if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP) return false;
  signo_ = signo;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  // Blocked first, so that from here on an instance stays pending for the signalfd instead of
  // being delivered (or, with SIG_IGN, thrown away).
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  struct sigaction current {};
  if (sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
    // Setting SIG_IGN again discards an instance that is already pending: a signal the
    // process chose to ignore before arming is not delivered late.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(signo, &ign, nullptr);
  }
  fd_.reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  return fd_.valid();
}

// --- files --------------------------------------------------------------------------------------

bool SourceCore::initFile(int fd, std::uint64_t mask) {
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  userFd_ = fd;
  fileMask_ = mask;
  lastLinks_ = st.st_nlink;
  lastSize_ = st.st_size;
  fd_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd_) return false;
  // Through the descriptor's /proc link, the watch follows the open file itself, whatever
  // name it has now.
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  // Only the kernel events the mask needs: a watch for writes on a file that its owner writes
  // all the time (a log file watched for deletion) would wake the event thread on every write.
  std::uint32_t events = 0;
  if (mask & (FileDelete | FileLink | FileAttrib)) events |= IN_ATTRIB;
  if (mask & FileDelete) events |= IN_DELETE_SELF;
  if (mask & (FileWrite | FileExtend)) events |= IN_MODIFY;
  if (mask & FileRename) events |= IN_MOVE_SELF;
  if (mask & FileRevoke) events |= IN_UNMOUNT;
  if (events == 0) events = IN_DELETE_SELF;  // nothing asked for: only the watch's own end
  return inotify_add_watch(fd_.get(), path.c_str(), events) >= 0;
}

// Unlinking a file that is still open leaves the inode alive, so the kernel reports only an
// attribute change (the link count); a link count of zero is reported as a deletion. IN_IGNORED
// after a real deletion is not a revocation.
std::uint64_t SourceCore::readFileEvents() {
  alignas(inotify_event) char buf[4096];
  std::uint64_t bits = 0;
  for (;;) {
    ssize_t r = read(fd_.get(), buf, sizeof buf);
    if (r <= 0) break;
    for (ssize_t off = 0; off < r;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      struct stat st {};
      bool haveStat = fstat(userFd_, &st) == 0;
      if (ev->mask & IN_ATTRIB) {
        if (haveStat && st.st_nlink == 0) {
          bits |= FileDelete;
          deleted_ = true;
        } else if (haveStat && st.st_nlink != lastLinks_) {
          bits |= FileLink;
        } else {
          bits |= FileAttrib;
        }
      }
      if (ev->mask & IN_MODIFY) {
        bits |= FileWrite;
        if (haveStat && st.st_size > lastSize_) bits |= FileExtend;
      }
      if (ev->mask & IN_DELETE_SELF) {
        bits |= FileDelete;
        deleted_ = true;
      }
      if (ev->mask & IN_MOVE_SELF) bits |= FileRename;
      if (ev->mask & IN_UNMOUNT) bits |= FileRevoke;
      if ((ev->mask & IN_IGNORED) && !deleted_) bits |= FileRevoke;
      if (haveStat) {
        lastLinks_ = st.st_nlink;
        lastSize_ = st.st_size;
      }
    }
  }
  return bits;
}

// --- readable descriptors and processes ---------------------------------------------------------

bool SourceCore::initRead(int fd) {
  if (fd < 0) return false;
  userFd_ = fd;
  // A duplicate of our own: epoll refuses the same descriptor twice, and the registration must
  // not go away under us if the owner closes its descriptor before cancelling.
  fd_.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  return fd_.valid();
}

bool SourceCore::initProcess(pid_t pid) {
  if (pid <= 0) return false;
  pid_ = pid;
  fd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!fd_) return false;
  fcntl(fd_.get(), F_SETFD, FD_CLOEXEC);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Source and its kinds

Source::Source(std::unique_ptr<SourceImpl> impl) : impl_(std::move(impl)) {}

Source::~Source() = default;

void Source::setEventHandler(std::function<void()> handler) {
  impl_->core().setEventHandler(std::move(handler));
}

void Source::setCancelHandler(std::function<void()> handler) {
  impl_->core().setCancelHandler(std::move(handler));
}

void Source::resume() {
  impl_->core().resume();
}

void Source::suspend() {
  impl_->core().suspend();
}

void Source::cancel() {
  impl_->core().cancel();
}

bool Source::isCancelled() const {
  return impl_->core().isCancelled();
}

std::uint64_t Source::data() const {
  return impl_->core().data();
}

const std::shared_ptr<Queue>& Source::queue() const {
  return impl_->core().queue();
}

namespace {

template <class S>
std::shared_ptr<S> wrap(std::shared_ptr<SourceCore> core) {
  struct Access : S {
    explicit Access(std::unique_ptr<SourceImpl> impl) : S(std::move(impl)) {}
  };
  return std::make_shared<Access>(std::make_unique<SourceImpl>(std::move(core)));
}

}  // namespace

std::shared_ptr<TimerSource> TimerSource::make(std::shared_ptr<Queue> queue, unsigned flags) {
  (void)flags;  // see SourceCore::armTimerLocked: every timer fires on time
  if (!queue) return nullptr;
  return wrap<TimerSource>(std::make_shared<SourceCore>(SourceCore::Kind::Timer, std::move(queue)));
}

void TimerSource::schedule(Time start, std::chrono::nanoseconds interval,
                           std::chrono::nanoseconds leeway) {
  (void)leeway;
  impl_->core().scheduleTimer(start, interval);
}

// Arming (make) blocks the signal in the calling thread only. A process-directed signal goes
// to any thread that does not block it, and an ignored signal is discarded on arrival unless
// the main thread blocks it: arm from the main thread, and make sure every other thread the
// process starts blocks the signal too (this layer's threads block all asynchronous signals).
// Only process-directed instances reach the source; one raised at a particular thread stays
// with that thread. Returns nullptr for a signal that cannot be caught.
std::shared_ptr<SignalSource> SignalSource::make(int signo, std::shared_ptr<Queue> queue) {
  if (!queue) return nullptr;
  auto core = std::make_shared<SourceCore>(SourceCore::Kind::Signal, std::move(queue));
  if (!core->initSignal(signo)) return nullptr;
  return wrap<SignalSource>(std::move(core));
}

int SignalSource::signal() const {
  return impl_->core().signo();
}

// nullptr when the descriptor is not open or cannot be watched.
std::shared_ptr<FileSource> FileSource::make(int fd, std::uint64_t mask,
                                             std::shared_ptr<Queue> queue) {
  if (!queue) return nullptr;
  auto core = std::make_shared<SourceCore>(SourceCore::Kind::File, std::move(queue));
  if (!core->initFile(fd, mask)) return nullptr;
  return wrap<FileSource>(std::move(core));
}

// nullptr when the descriptor is not open.
std::shared_ptr<ReadSource> ReadSource::make(int fd, std::shared_ptr<Queue> queue) {
  if (!queue) return nullptr;
  auto core = std::make_shared<SourceCore>(SourceCore::Kind::Read, std::move(queue));
  if (!core->initRead(fd)) return nullptr;
  return wrap<ReadSource>(std::move(core));
}

int ReadSource::fd() const {
  return impl_->core().userFd();
}

// nullptr when the descriptor is not open.
std::shared_ptr<WriteSource> WriteSource::make(int fd, std::shared_ptr<Queue> queue) {
  if (!queue) return nullptr;
  auto core = std::make_shared<SourceCore>(SourceCore::Kind::Write, std::move(queue));
  if (!core->initRead(fd)) return nullptr;
  return wrap<WriteSource>(std::move(core));
}

int WriteSource::fd() const {
  return impl_->core().userFd();
}

std::shared_ptr<ProcessSource> ProcessSource::make(pid_t pid, std::shared_ptr<Queue> queue) {
  if (!queue) return nullptr;
  auto core = std::make_shared<SourceCore>(SourceCore::Kind::Process, std::move(queue));
  if (!core->initProcess(pid)) return nullptr;
  return wrap<ProcessSource>(std::move(core));
}

pid_t ProcessSource::pid() const {
  return impl_->core().pid();
}

}  // namespace platform::dispatch
