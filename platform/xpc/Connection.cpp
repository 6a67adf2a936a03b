#include "platform/xpc/Connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/base/ErrnoText.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/xpc/RemoteObjectProxy.h"
#include "platform/xpc/ServiceAddress.h"

namespace platform::xpc {

namespace {

// At most this many packets are read per wake-up, so one busy peer cannot hold a worker forever.
constexpr int kPacketsPerWakeUp = 64;

// One receive buffer per thread: kMaxMessageSize plus one byte, so that an oversized packet is
// seen as truncated rather than silently cut to size.
std::span<std::uint8_t> receiveBuffer() {
  thread_local std::vector<std::uint8_t> buffer(kMaxMessageSize + 1);
  return buffer;
}

bool peerHasHungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

pid_t peerPidOf(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return 0;
  return cred.pid;
}

}  // namespace

std::shared_ptr<Connection> Connection::makeToService(std::string serviceName) {
  return std::shared_ptr<Connection>(new Connection(Role::Client, std::move(serviceName), -1, 0));
}

std::shared_ptr<Connection> Connection::makeAccepted(int fd, std::string serviceName,
                                                     pid_t peerPid) {
  return std::shared_ptr<Connection>(
      new Connection(Role::Service, std::move(serviceName), fd, peerPid));
}

Connection::Connection(Role role, std::string serviceName, int fd, pid_t peerPid)
    : role_(role),
      serviceName_(std::move(serviceName)),
      queue_(dispatch::Queue::makeSerial(serviceName_ + ".connection")),
      fd_(fd),
      peerPid_(peerPid) {}

Connection::~Connection() {
  // A watching source closes the descriptor from its cancel handler; otherwise it is ours.
  if (source_) source_->cancel();
  if (!watching_ && fd_ >= 0) ::close(fd_);
}

bool Connection::prepareToWatch() {
  std::lock_guard lock(mutex_);
  if (source_) return true;
  if (fd_ < 0) return false;
  source_ = dispatch::ReadSource::make(fd_, queue_);
  return source_ != nullptr;
}

void Connection::setExportedInterface(Interface interface) {
  std::lock_guard lock(mutex_);
  exportedInterface_ = std::make_shared<const Interface>(std::move(interface));
}

void Connection::setExportedObjectErased(std::shared_ptr<void> object, std::type_index type) {
  std::lock_guard lock(mutex_);
  exportedObject_ = std::move(object);
  exportedType_ = type;
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  invalidationHandler_ = std::move(handler);
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  interruptionHandler_ = std::move(handler);
}

void Connection::resume() {
  std::lock_guard lock(mutex_);
  if (state_ != State::Suspended) return;
  state_ = State::Resumed;
  if (role_ == Role::Service && fd_ >= 0 && !watchLocked()) {
    // Nothing could ever be read from this socket: close it as if the peer had gone.
    queue_->async([self = shared_from_this()] { self->invalidateOnQueue(); });
  }
}

void Connection::invalidate() {
  {
    std::lock_guard lock(mutex_);
    invalidateRequested_ = true;
  }
  queue_->async([self = shared_from_this()] { self->invalidateOnQueue(); });
}

std::shared_ptr<RemoteObjectProxy> Connection::remoteObjectProxyWithErrorHandler(
    std::function<void(const Error&)> errorHandler) {
  return std::make_shared<RemoteObjectProxy>(shared_from_this(), std::move(errorHandler));
}

std::string Connection::description() const {
  pid_t pid;
  {
    std::lock_guard lock(mutex_);
    pid = peerPid_;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "<Connection %p service: ", static_cast<const void*>(this));
  std::string out = buf;
  out += serviceName_;
  out += ", peer pid: ";
  out += pid > 0 ? std::to_string(pid) : std::string("unknown");
  out += '>';
  return out;
}

pid_t Connection::processIdentifier() const {
  std::lock_guard lock(mutex_);
  return peerPid_;
}

// Watches fd_ on the connection's queue. A service-side connection is held by its own source
// until invalidated (nobody else keeps it); a client connection only weakly.
bool Connection::watchLocked() {
  auto source = source_ ? source_ : dispatch::ReadSource::make(fd_, queue_);
  if (!source) return false;
  if (role_ == Role::Service) {
    source->setEventHandler([self = shared_from_this()] { self->readAvailable(); });
  } else {
    source->setEventHandler([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->readAvailable();
    });
  }
  // The descriptor must stay open while the source watches it, so the source closes it.
  source->setCancelHandler([fd = fd_] { ::close(fd); });
  source->resume();
  source_ = std::move(source);
  watching_ = true;
  return true;
}

std::optional<Error> Connection::connectLocked() {
  std::string path = clientSocketPathForService(serviceName_);
  if (path.empty()) {
    return Error{"platform.xpc", ErrorCode::ServiceUnavailable,
                 "No socket address for service " + serviceName_};
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return Error{"platform.xpc", ErrorCode::ServiceUnavailable,
                 "Cannot create a socket for service " + serviceName_ + ": " +
                     platform::base::errnoText(errno)};
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  // Connecting to a listening Unix socket waits only when its backlog is full; bound that wait.
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::close(fd);
    return Error{"platform.xpc", ErrorCode::ServiceUnavailable,
                 "Service " + serviceName_ + " is not available at " + path + ": " +
                     platform::base::errnoText(err)};
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  fd_ = fd;
  if (!watchLocked()) {
    fd_ = -1;
    ::close(fd);
    return Error{"platform.xpc", ErrorCode::ServiceUnavailable,
                 "Cannot watch the connection to " + serviceName_ + ": out of descriptors"};
  }
  peerPid_ = peerPidOf(fd);
  return std::nullopt;
}

void Connection::sendRequest(const MethodDescription& method, Value arguments,
                             std::function<void(Value)> reply,
                             std::function<void(const Error&)> onError) {
  auto fail = [this, &onError](ErrorCode code, std::string text) {
    queue_->async([onError = std::move(onError), e = Error{"platform.xpc", code, std::move(text)}] {
      if (onError) onError(e);
    });
  };
  if (role_ != Role::Client) {
    diagnostics::contractViolation("Connection: requests are sent only on client connections");
    return fail(ErrorCode::ConnectionInvalid, "Not a client connection");
  }
  std::unique_lock lock(mutex_);
  if (state_ == State::Invalidated || invalidateRequested_) {
    lock.unlock();
    return fail(ErrorCode::ConnectionInvalid,
                "The connection to " + serviceName_ + " was invalidated");
  }
  if (fd_ < 0) {
    if (auto error = connectLocked()) {
      lock.unlock();
      return fail(error->code, std::move(error->description));
    }
  }
  const std::uint64_t id = nextId_++;
  auto bytes = encode(Request{id, method.selector, method.typeEncoding, std::move(arguments)});
  if (bytes.size() > kMaxMessageSize) {
    lock.unlock();
    return fail(ErrorCode::MessageTooLarge,
                "Request " + method.selector + " exceeds the maximum message size");
  }
  pending_.emplace(id, Pending{std::move(reply), onError});
  ssize_t n;
  do {
    n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int err = errno;
    pending_.erase(id);
    lock.unlock();
    // A reset socket is noticed by the reader too, which reports the interruption.
    return fail(ErrorCode::SendFailed, "Cannot send " + method.selector + " to " + serviceName_ +
                                           ": " + platform::base::errnoText(err));
  }
}

void Connection::readAvailable() {
  int fd;
  {
    std::lock_guard lock(mutex_);
    fd = fd_;
  }
  if (fd < 0) return;
  auto buffer = receiveBuffer();
  for (int i = 0; i < kPacketsPerWakeUp; ++i) {
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      return peerGone();
    }
    // An empty packet and the end of the stream both read as zero bytes.
    if (n == 0 && peerHasHungUp(fd)) return peerGone();
    if ((msg.msg_flags & MSG_TRUNC) || n == 0) {
      interrupted();
      continue;
    }
    auto message = decode(buffer.first(static_cast<std::size_t>(n)));
    if (!message) {
      interrupted();
    } else if (role_ == Role::Service && std::holds_alternative<Request>(*message)) {
      handleRequest(std::get<Request>(std::move(*message)));
    } else if (role_ == Role::Client && std::holds_alternative<Reply>(*message)) {
      handleReply(std::get<Reply>(std::move(*message)));
    } else {
      interrupted();
    }
    std::lock_guard lock(mutex_);
    if (fd_ != fd) return;  // invalidated or interrupted by what the packet did
  }
}

void Connection::handleRequest(Request request) {
  std::shared_ptr<const Interface> interface;
  std::shared_ptr<void> object;
  std::optional<std::type_index> type;
  {
    std::lock_guard lock(mutex_);
    interface = exportedInterface_;
    object = exportedObject_;
    type = exportedType_;
  }
  const Interface::Method* method = interface ? interface->find(request.selector) : nullptr;
  if (!method || method->description.typeEncoding != request.types || !object) {
    return interrupted();
  }
  if (type != interface->protocolType()) {
    diagnostics::contractViolation(
        "Connection: the exported object does not implement the exported interface " +
        interface->protocolName());
    return interrupted();
  }
  auto sent = std::make_shared<std::atomic<bool>>(false);
  ReplyBlock reply = [weak = weak_from_this(), id = request.id, sent](Value arguments) {
    if (sent->exchange(true)) {
      diagnostics::contractViolation("Connection: a reply block was called more than once");
      return;
    }
    if (auto self = weak.lock()) self->sendReply(id, std::move(arguments));
  };
  method->invoke(object.get(), request.arguments, std::move(reply));
}

void Connection::handleReply(Reply reply) {
  Pending pending;
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(reply.id);
    if (it != pending_.end()) {
      pending = std::move(it->second);
      pending_.erase(it);
    }
  }
  // A reply to no call of ours: the peer does not speak this protocol.
  if (!pending.reply && !pending.onError) return interrupted();
  if (pending.reply) pending.reply(std::move(reply.arguments));
}

void Connection::sendReply(std::uint64_t id, Value arguments) {
  auto bytes = encode(Reply{id, std::move(arguments)});
  if (bytes.size() > kMaxMessageSize) {
    diagnostics::reportf("Connection: a reply of %zu bytes exceeds the maximum message size",
                         bytes.size());
    return;
  }
  if (!sendPacket(bytes)) {
    // The peer stopped reading (its socket buffer is full) or is gone: a client that does not
    // take its replies is treated like one that closed the connection.
    invalidate();
  }
}

bool Connection::sendPacket(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  ssize_t n;
  do {
    n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

void Connection::interrupted() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Invalidated) return;
    handler = interruptionHandler_;
  }
  if (handler) handler();
}

void Connection::peerGone() {
  if (role_ == Role::Service) return invalidateOnQueue();
  // The service went away: fail the waiting calls and forget the socket; the next call
  // connects again.
  std::unordered_map<std::uint64_t, Pending> pending;
  {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return;
    fd_ = -1;
    peerPid_ = 0;
    if (source_) source_->cancel();
    source_.reset();
    watching_ = false;
    pending.swap(pending_);
  }
  failPending(std::move(pending), ErrorCode::ConnectionInterrupted, "was interrupted");
  interrupted();
}

void Connection::invalidateOnQueue() {
  // The source's handler may hold the last reference; keep this connection until we return.
  auto keep = shared_from_this();
  std::unordered_map<std::uint64_t, Pending> pending;
  std::function<void()> handler;
  std::shared_ptr<void> object;
  std::shared_ptr<dispatch::ReadSource> source;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Invalidated) return;
    state_ = State::Invalidated;
    // A watching source is cancelled below, outside the lock, and closes the descriptor.
    source = source_;
    if (!watching_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending.swap(pending_);
    handler = std::move(invalidationHandler_);
    invalidationHandler_ = nullptr;
    interruptionHandler_ = nullptr;
    object = std::move(exportedObject_);
  }
  failPending(std::move(pending), ErrorCode::ConnectionInvalid, "was invalidated");
  if (handler) handler();
  // Last: cancelling releases the source's hold on this connection.
  if (source) source->cancel();
}

void Connection::failPending(std::unordered_map<std::uint64_t, Pending> pending, ErrorCode code,
                             const char* what) {
  for (auto& [id, p] : pending) {
    if (p.onError)
      p.onError(Error{"platform.xpc", code, "The connection to " + serviceName_ + " " + what});
  }
}

}  // namespace platform::xpc
