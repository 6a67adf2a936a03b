#pragma once
// The one thread that watches every source's kernel object with epoll. It does no work of its
// own: each readiness is passed to the registered handler, which reads the kernel object and
// turns it into an item on the source's queue.

#include <sys/epoll.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform::dispatch::detail {

class EventThread {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    // Called on the event thread with the epoll event bits.
    virtual void onEvent(std::uint32_t events) = 0;
  };

  static EventThread& instance();

  EventThread();
  EventThread(const EventThread&) = delete;
  EventThread& operator=(const EventThread&) = delete;

  // Watches `fd` for `events`; the handler is kept until remove(). Returns a registration id,
  // 0 on failure. Ids are never reused, so a late event for a removed registration is dropped.
  std::uint64_t add(int fd, std::uint32_t events, std::shared_ptr<Handler> handler);
  // Changes the events of a registration (re-arms an EPOLLONESHOT one). False when the kernel
  // refuses (the descriptor is closed).
  bool modify(std::uint64_t id, int fd, std::uint32_t events);
  void remove(std::uint64_t id, int fd);

 private:
  void loop();

  int epfd_ = -1;
  std::mutex m_;
  std::unordered_map<std::uint64_t, std::shared_ptr<Handler>> handlers_;
  std::uint64_t nextId_ = 1;
};

}  // namespace platform::dispatch::detail
