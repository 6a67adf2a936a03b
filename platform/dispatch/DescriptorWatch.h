#pragma once
// Readiness of one descriptor, reported on the event thread, for owners that decide themselves
// what to do with it (the local IPC connections, which read and write sockets with flow control).
//
// - One report per arm(): after its handler has run the watch is disarmed until the owner arms
//   it again, with the interest it has then (readable, writable, both, or only hang-ups). So a
//   connection that stops reading a peer simply arms without Readable.
// - The handler runs on the event thread itself, so it must not block: it looks at the
//   descriptor or hands work to a queue. It never runs twice at once. An exception it throws
//   ends there, reported as a contract violation ("dispatch: a descriptor watch handler threw an
//   exception (<what>); the report is dropped"); the watch stays disarmed until armed again.
// - The descriptor is neither duplicated nor owned: an idle watch costs no descriptor. Keep it
//   open until cancel() has returned; after that the handler is not running (unless cancel()
//   was called from the handler itself) and never runs again.

#include <cstdint>
#include <functional>
#include <memory>

namespace platform::dispatch {

class DescriptorWatchCore;

class DescriptorWatch {
 public:
  // Event bits, as epoll reports them. Hangup and Error are reported whatever the interest.
  enum Event : std::uint32_t {
    Readable = 0x001,    // EPOLLIN
    Writable = 0x004,    // EPOLLOUT
    Error = 0x008,       // EPOLLERR
    Hangup = 0x010,      // EPOLLHUP
    PeerClosed = 0x2000  // EPOLLRDHUP: the peer shut down its sending side or closed
  };

  // nullptr when `fd` is negative or the handler is empty.
  static std::unique_ptr<DescriptorWatch> make(int fd,
                                               std::function<void(std::uint32_t events)> handler);
  // Cancels.
  ~DescriptorWatch();
  DescriptorWatch(const DescriptorWatch&) = delete;
  DescriptorWatch& operator=(const DescriptorWatch&) = delete;

  // Watches for `events` until the next report. False when the descriptor cannot be watched
  // (closed, or the watch was cancelled).
  bool arm(std::uint32_t events);
  void cancel();

 private:
  explicit DescriptorWatch(std::shared_ptr<DescriptorWatchCore> core);
  std::shared_ptr<DescriptorWatchCore> core_;
};

}  // namespace platform::dispatch
