#pragma once
// The shared state of a source. The Source object the user holds owns a SourceImpl, which
// points at a SourceCore shared with the event thread and with queued handler items, so that a
// source dropped from inside its own handler stays intact until that handler has returned.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/EventThread.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Time.h"
#include "platform/dispatch/TimerSchedule.h"

namespace platform::dispatch {

class SourceCore : public detail::EventThread::Handler,
                   public std::enable_shared_from_this<SourceCore> {
 public:
  enum class Kind : std::uint8_t { Timer, Signal, File, Read, Write, Process };

  SourceCore(Kind kind, std::shared_ptr<Queue> queue);
  ~SourceCore() override;
  SourceCore(const SourceCore&) = delete;
  SourceCore& operator=(const SourceCore&) = delete;

  void onEvent(std::uint32_t events) override;

  void setEventHandler(std::function<void()> handler);
  void setCancelHandler(std::function<void()> handler);
  void resume();
  void suspend();
  void cancel();
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  std::uint64_t data() const { return currentData_.load(std::memory_order_relaxed); }
  const std::shared_ptr<Queue>& queue() const { return queue_; }

  // Kind-specific set-up, called once by the factories before the source is handed out.
  bool initSignal(int signo);
  bool initFile(int fd, std::uint64_t mask);
  bool initRead(int fd);  // also for Write
  bool initProcess(pid_t pid);
  void scheduleTimer(Time start, std::chrono::nanoseconds interval);

  int signo() const { return signo_; }
  int userFd() const { return userFd_; }
  pid_t pid() const { return pid_; }

 private:
  using HandlerPtr = std::shared_ptr<std::function<void()>>;

  void merge(std::uint64_t value);
  // With m_ held: claims the right to queue a handler item when one is due.
  bool dueLocked();
  void submitHandler();
  void runHandler();
  // With m_ held: registers the kernel object with the event thread.
  void registerLocked();
  std::uint32_t epollEvents() const;
  void armTimerLocked();
  void setWallTimerLocked(std::optional<std::int64_t> deadline);
  std::uint64_t readFileEvents();

  const Kind kind_;
  const std::shared_ptr<Queue> queue_;

  mutable std::mutex m_;
  HandlerPtr handler_;
  HandlerPtr cancelHandler_;
  std::uint64_t pending_ = 0;
  bool hasPending_ = false;
  int suspendCount_ = 1;  // created suspended
  bool activated_ = false;
  bool scheduled_ = false;  // a handler item is queued or running
  bool cancelHandled_ = false;
  std::atomic<bool> cancelled_{false};
  std::atomic<std::uint64_t> currentData_{0};

  platform::base::FileDescriptor fd_;  // the kernel object the event thread watches
  // Replaced timer descriptors, closed with the source (the event thread may still report one).
  std::vector<platform::base::FileDescriptor> retiredFds_;
  std::uint64_t regId_ = 0;

  // Timer
  Time timerStart_ = Time::forever();
  std::chrono::nanoseconds timerInterval_{0};
  bool timerWall_ = false;
  TimerSchedule wallSchedule_;  // the deadlines of a wall-clock timer (see TimerSchedule.h)
  // Signal
  int signo_ = 0;
  // File, read and write: the user's descriptor (not owned)
  int userFd_ = -1;
  std::uint64_t fileMask_ = 0;
  nlink_t lastLinks_ = 0;
  off_t lastSize_ = 0;
  bool deleted_ = false;
  // Process
  pid_t pid_ = 0;
};

class SourceImpl {
 public:
  explicit SourceImpl(std::shared_ptr<SourceCore> core) : core_(std::move(core)) {}
  // Dropping the last reference cancels the source.
  ~SourceImpl() { core_->cancel(); }
  SourceImpl(const SourceImpl&) = delete;
  SourceImpl& operator=(const SourceImpl&) = delete;
  SourceCore& core() { return *core_; }
  const SourceCore& core() const { return *core_; }

 private:
  std::shared_ptr<SourceCore> core_;
};

}  // namespace platform::dispatch
