#pragma once
// An rtnetlink socket (through libmnl), closed with its owner. A socket belongs to the network
// namespace of the thread that opened it, whatever thread uses it later.

#include <linux/netlink.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

struct mnl_socket;

namespace platform::network {

class NetlinkSocket {
 public:
  enum class DumpResult : std::uint8_t {
    complete,
    // The kernel's tables changed while it was dumping them: what was handed out may be
    // inconsistent, and the caller should dump again.
    interrupted,
    failed,
  };

  // Opens and binds a route socket subscribed to the multicast `groups` (RTMGRP_* bits, 0 for
  // none). Check valid(): a socket that could not be opened leaves errno set.
  explicit NetlinkSocket(unsigned groups = 0);
  ~NetlinkSocket();
  NetlinkSocket(NetlinkSocket&&) noexcept;
  NetlinkSocket& operator=(NetlinkSocket&&) noexcept;
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  bool valid() const { return socket_ != nullptr; }
  int fd() const;

  // Asks for every object of one kind (RTM_GETLINK, RTM_GETADDR or RTM_GETROUTE), of all
  // address families, and hands each message of the answer to `each`, in order. Blocks until
  // the kernel has answered in full. Not for a socket subscribed to groups: notifications would
  // be mixed into the answer.
  DumpResult dump(std::uint16_t type, const std::function<void(const nlmsghdr&)>& each);

  // Reads what is queued without waiting: the number of bytes read, 0 when nothing is queued,
  // or -1 with errno set (ENOBUFS: the kernel dropped notifications because the socket's buffer
  // was full; the socket goes on working).
  ssize_t receiveNow(void* buffer, std::size_t size);

  // Big enough for one batch of a dump, which the kernel sizes to what readers usually offer.
  static constexpr std::size_t kReceiveBufferSize = 32 * 1024;

 private:
  struct Closer {
    void operator()(mnl_socket* socket) const;
  };
  std::unique_ptr<mnl_socket, Closer> socket_;
  unsigned portId_ = 0;
  unsigned sequence_ = 0;
};

}  // namespace platform::network
