#include "platform/dispatch/DescriptorWatch.h"

#include <sys/epoll.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/EventThread.h"

namespace platform::dispatch {

namespace {

// The event thread serves every source and watch of the process: a handler's exception must not
// end it (nor the process). The report is dropped, as a queue item's is.
void runHandlerGuarded(const std::function<void(std::uint32_t)>& handler,
                       std::uint32_t events) noexcept {
  const auto report = [](const char* what) {
    std::string text("dispatch: a descriptor watch handler threw an exception (");
    text.append(what).append("); the report is dropped");
    platform::diagnostics::contractViolation(text);
  };
  try {
    handler(events);
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("not a std::exception");
  }
}

}  // namespace

static_assert(std::uint32_t{DescriptorWatch::Readable} == EPOLLIN &&
              std::uint32_t{DescriptorWatch::Writable} == EPOLLOUT &&
              std::uint32_t{DescriptorWatch::Error} == EPOLLERR &&
              std::uint32_t{DescriptorWatch::Hangup} == EPOLLHUP &&
              std::uint32_t{DescriptorWatch::PeerClosed} == EPOLLRDHUP);

class DescriptorWatchCore : public detail::EventThread::Handler,
                            public std::enable_shared_from_this<DescriptorWatchCore> {
 public:
  DescriptorWatchCore(int fd, std::function<void(std::uint32_t)> handler)
      : fd_(fd), handler_(std::move(handler)) {}

  void onEvent(std::uint32_t events) override {
    {
      std::lock_guard lock(m_);
      if (cancelled_) return;
      running_ = true;
      runner_ = std::this_thread::get_id();
    }
    runHandlerGuarded(handler_, events);
    std::function<void(std::uint32_t)> released;
    {
      std::lock_guard lock(m_);
      running_ = false;
      // Cancelled from inside the handler: what it captured goes now, outside the lock.
      if (cancelled_) released = std::move(handler_);
    }
    idle_.notify_all();
  }

  bool arm(std::uint32_t events) {
    std::lock_guard lock(m_);
    if (cancelled_) return false;
    events |= EPOLLONESHOT;
    auto& thread = detail::EventThread::instance();
    if (id_ == 0) {
      id_ = thread.add(fd_, events, shared_from_this());
      return id_ != 0;
    }
    return thread.modify(id_, fd_, events);
  }

  void cancel() {
    std::uint64_t id;
    {
      std::lock_guard lock(m_);
      if (cancelled_) return;
      cancelled_ = true;
      id = std::exchange(id_, 0);
    }
    if (id != 0) detail::EventThread::instance().remove(id, fd_);
    std::function<void(std::uint32_t)> released;
    {
      std::unique_lock lock(m_);
      if (running_ && runner_ == std::this_thread::get_id()) return;  // released by onEvent
      idle_.wait(lock, [&] { return !running_; });
      released = std::move(handler_);
    }
  }

 private:
  const int fd_;
  std::function<void(std::uint32_t)> handler_;
  std::mutex m_;
  std::condition_variable idle_;
  std::uint64_t id_ = 0;
  bool cancelled_ = false;
  bool running_ = false;
  std::thread::id runner_;
};

std::unique_ptr<DescriptorWatch> DescriptorWatch::make(
    int fd, std::function<void(std::uint32_t events)> handler) {
  if (fd < 0 || !handler) return nullptr;
  return std::unique_ptr<DescriptorWatch>(
      new DescriptorWatch(std::make_shared<DescriptorWatchCore>(fd, std::move(handler))));
}

DescriptorWatch::DescriptorWatch(std::shared_ptr<DescriptorWatchCore> core)
    : core_(std::move(core)) {}

DescriptorWatch::~DescriptorWatch() {
  cancel();
}

bool DescriptorWatch::arm(std::uint32_t events) {
  return core_->arm(events);
}

void DescriptorWatch::cancel() {
  core_->cancel();
}

}  // namespace platform::dispatch
