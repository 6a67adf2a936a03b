#include "platform/network/NetlinkSocket.h"

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

namespace platform::network {

void NetlinkSocket::Closer::operator()(mnl_socket* socket) const {
  mnl_socket_close(socket);
}

NetlinkSocket::NetlinkSocket(unsigned groups) {
  socket_.reset(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
  if (!socket_) return;
  if (mnl_socket_bind(socket_.get(), groups, MNL_SOCKET_AUTOPID) < 0) {
    const int err = errno;
    socket_.reset();
    errno = err;
    return;
  }
  portId_ = mnl_socket_get_portid(socket_.get());
}

NetlinkSocket::~NetlinkSocket() = default;
NetlinkSocket::NetlinkSocket(NetlinkSocket&&) noexcept = default;
NetlinkSocket& NetlinkSocket::operator=(NetlinkSocket&&) noexcept = default;

int NetlinkSocket::fd() const {
  return socket_ ? mnl_socket_get_fd(socket_.get()) : -1;
}

namespace {

// The family header each kind of request carries; all zero asks for every family.
std::size_t requestHeaderSize(std::uint16_t type) {
  switch (type) {
    case RTM_GETLINK:
      return sizeof(ifinfomsg);
    case RTM_GETADDR:
      return sizeof(ifaddrmsg);
    default:
      return sizeof(rtmsg);
  }
}

}  // namespace

NetlinkSocket::DumpResult NetlinkSocket::dump(std::uint16_t type,
                                              const std::function<void(const nlmsghdr&)>& each) {
  if (!socket_) return DumpResult::failed;
  std::vector<char> buffer(kReceiveBufferSize);
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
  request->nlmsg_type = type;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request->nlmsg_seq = ++sequence_;
  mnl_nlmsg_put_extra_header(request, requestHeaderSize(type));
  if (mnl_socket_sendto(socket_.get(), request, request->nlmsg_len) < 0) return DumpResult::failed;

  // Messages are walked by hand rather than with mnl_cb_run: once the kernel flags a dump as
  // interrupted, every later message of it carries the flag, its end marker included, and the
  // rest of the answer must still be read off the socket before the next request.
  bool interrupted = false;
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket_.get(), buffer.data(), buffer.size());
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) return DumpResult::failed;
    int left = static_cast<int>(received);
    for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data());
         mnl_nlmsg_ok(message, left); message = mnl_nlmsg_next(message, &left)) {
      // Left over from an earlier request that failed half-way: not ours.
      if (!mnl_nlmsg_seq_ok(message, sequence_) || !mnl_nlmsg_portid_ok(message, portId_)) continue;
      if (message->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
      if (message->nlmsg_type == NLMSG_DONE)
        return interrupted ? DumpResult::interrupted : DumpResult::complete;
      if (message->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
        if (mnl_nlmsg_get_payload_len(message) >= sizeof(nlmsgerr)) errno = -error->error;
        return DumpResult::failed;
      }
      if (message->nlmsg_type < NLMSG_MIN_TYPE || interrupted) continue;
      each(*message);
    }
  }
}

ssize_t NetlinkSocket::receiveNow(void* buffer, std::size_t size) {
  if (!socket_) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t received = recv(fd(), buffer, size, MSG_DONTWAIT);
    if (received >= 0) return received;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

}  // namespace platform::network
