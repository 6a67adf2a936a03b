#include "platform/dispatch/EventThread.h"

#include <unistd.h>

#include <cerrno>

#include "platform/base/NoDestructor.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/ThreadSupport.h"

namespace platform::dispatch::detail {

EventThread& EventThread::instance() {
  static platform::base::NoDestructor<EventThread> thread;
  return *thread;
}

EventThread::EventThread() {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) {
    platform::diagnostics::reportf("dispatch: cannot create the event thread's epoll (errno %d)",
                                   errno);
    return;
  }
  if (!startThread("dispatch-events", [this] { loop(); })) {
    platform::diagnostics::report("dispatch: cannot start the event thread");
  }
}

std::uint64_t EventThread::add(int fd, std::uint32_t events, std::shared_ptr<Handler> handler) {
  if (epfd_ < 0) return 0;
  std::uint64_t id;
  {
    std::lock_guard lock(m_);
    id = nextId_++;
    handlers_.emplace(id, std::move(handler));
  }
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    std::shared_ptr<Handler> dropped;
    std::lock_guard lock(m_);
    auto it = handlers_.find(id);
    dropped = std::move(it->second);
    handlers_.erase(it);
    return 0;
  }
  return id;
}

bool EventThread::modify(std::uint64_t id, int fd, std::uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  return epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventThread::remove(std::uint64_t id, int fd) {
  epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  std::shared_ptr<Handler> dropped;  // released outside the lock: it may be the last reference
  std::lock_guard lock(m_);
  auto it = handlers_.find(id);
  if (it == handlers_.end()) return;
  dropped = std::move(it->second);
  handlers_.erase(it);
}

void EventThread::loop() {
  epoll_event events[64];
  for (;;) {
    int n = epoll_wait(epfd_, events, 64, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      platform::diagnostics::reportf("dispatch: event thread epoll_wait failed (errno %d)", errno);
      return;
    }
    for (int i = 0; i < n; ++i) {
      std::shared_ptr<Handler> h;
      {
        std::lock_guard lock(m_);
        auto it = handlers_.find(events[i].data.u64);
        if (it == handlers_.end()) continue;
        h = it->second;
      }
      h->onEvent(events[i].events);
    }
  }
}

}  // namespace platform::dispatch::detail
