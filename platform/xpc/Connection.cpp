#include "platform/xpc/Connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "platform/base/ErrnoText.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/xpc/Message.h"
#include "platform/xpc/RemoteObjectProxy.h"
#include "platform/xpc/ServiceAddress.h"
#include "platform/xpc/SynchronousOutcome.h"

namespace platform::xpc {

using dispatch::DescriptorWatch;

namespace {

// At most this many packets are read per report, so one busy peer cannot hold a worker forever.
constexpr int kPacketsPerWakeUp = 64;
// How long the event thread goes on handling one connection's packets itself.
constexpr std::chrono::microseconds kInlineBudget{500};

// One receive buffer per thread.
std::span<std::uint8_t> receiveBuffer() {
  thread_local std::vector<std::uint8_t> buffer(kMaxMessageSize);
  return buffer;
}

// One packet into `buffer`, without waiting. The result is the packet's whole length even when
// the buffer took only its start, so an oversized packet shows as longer than kMaxMessageSize.
// Descriptors a peer passes along are refused by the kernel: there is no room for them.
ssize_t receivePacket(int fd, std::span<std::uint8_t> buffer) {
  return ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
}

bool peerHasHungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

// Runs code of the connection's users (exported methods, reply blocks, handlers): an exception
// it throws must not end the queue item, so it is reported and dropped.
template <class F>
void guarded(const char* what, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    diagnostics::reportf("Connection: %s threw an exception: %s", what, e.what());
  } catch (...) {
    diagnostics::reportf("Connection: %s threw an exception", what);
  }
}

Error makeError(ErrorCode code, std::string description) {
  return Error{"platform.xpc", code, std::move(description)};
}

}  // namespace

// The right to send the reply to one call. Calling it twice is a contract violation; dropping it
// without calling it releases the call's flow-control slot (and is reported), so a method that
// forgets a reply cannot stall its connection for good.
class Connection::ReplySlot {
 public:
  ReplySlot(std::weak_ptr<Connection> connection, std::uint64_t id)
      : connection_(std::move(connection)), id_(id) {}
  ~ReplySlot() {
    if (sent_.load(std::memory_order_acquire)) return;
    // Once the connection has ended, nobody waits for the reply any more.
    auto c = connection_.lock();
    if (c && c->replyAbandoned()) {
      diagnostics::contractViolation("Connection: a reply block was released without being called");
    }
  }
  ReplySlot(const ReplySlot&) = delete;
  ReplySlot& operator=(const ReplySlot&) = delete;

  void send(Value arguments) {
    if (sent_.exchange(true, std::memory_order_acq_rel)) {
      diagnostics::contractViolation("Connection: a reply block was called more than once");
      return;
    }
    auto c = connection_.lock();
    if (!c) return;
    auto bytes = encode(Reply{id_, std::move(arguments)});
    if (bytes.size() > kMaxMessageSize) {
      diagnostics::reportf("Connection: a reply of %zu bytes exceeds the maximum message size",
                           bytes.size());
      c->replyAbandoned();
      return;
    }
    c->sendReply(std::move(bytes));
  }

 private:
  std::weak_ptr<Connection> connection_;
  const std::uint64_t id_;
  std::atomic<bool> sent_{false};
};

std::shared_ptr<Connection> Connection::makeToService(std::string serviceName) {
  return std::shared_ptr<Connection>(
      new Connection(Role::Client, std::move(serviceName), {}, {}, {}));
}

std::shared_ptr<Connection> Connection::makeAccepted(base::FileDescriptor fd,
                                                     std::string serviceName, PeerCredentials peer,
                                                     std::function<void()> onClose) {
  return std::shared_ptr<Connection>(new Connection(
      Role::Service, std::move(serviceName), std::move(fd), std::move(peer), std::move(onClose)));
}

Connection::Connection(Role role, std::string serviceName, base::FileDescriptor fd,
                       PeerCredentials peer, std::function<void()> onClose)
    : role_(role),
      serviceName_(std::move(serviceName)),
      queue_(dispatch::Queue::makeSerial(serviceName_ + ".connection")),
      fd_(std::move(fd)),
      peer_(std::move(peer)),
      onClose_(std::move(onClose)) {}

Connection::~Connection() {
  // The watch is cancelled before the socket closes (member order would close it first).
  watch_.reset();
  fd_.reset();
  if (onClose_) onClose_();
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
  if (role_ != Role::Service) return;
  if (!fd_ || !startWatchingLocked()) {
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
  pid_t pid = processIdentifier();
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
  return peer_.pid;
}

const PeerCredentials& Connection::peerCredentials() const {
  return peer_;
}

base::FileDescriptor Connection::peerPidfd() const {
  std::lock_guard lock(mutex_);
  if (!fd_) return {};
  return PeerCredentials::peerPidfdOf(fd_.get());
}

void Connection::releasePeerProcessHandle() {
  std::lock_guard lock(mutex_);
  peer_.pidfd.reset();
}

// --- watching the socket ------------------------------------------------------------------------

// The event thread only notes what happened and hands the work to the connection's queue. A
// service-side connection is held by its watch until invalidated (nobody else keeps it); a
// client connection only weakly.
bool Connection::startWatchingLocked() {
  if (role_ == Role::Service) {
    watch_ = DescriptorWatch::make(fd_.get(), [self = shared_from_this()](std::uint32_t events) {
      self->onReadiness(events);
    });
  } else {
    watch_ = DescriptorWatch::make(fd_.get(), [weak = weak_from_this()](std::uint32_t events) {
      if (auto self = weak.lock()) self->onReadiness(events);
    });
  }
  if (!watch_) return false;
  armedEvents_ = interestLocked();
  watchState_ = Watch::Armed;
  if (watch_->arm(armedEvents_)) return true;
  watch_.reset();
  watchState_ = Watch::Idle;
  return false;
}

// On the event thread. When the connection's queue is idle, the report is handled right here as
// the queue's next item (a serial queue stays serial whichever thread drains it), which saves a
// hand-off to a worker thread per request; otherwise it waits its turn on the queue.
void Connection::onReadiness(std::uint32_t events) {
  {
    std::lock_guard lock(mutex_);
    if (watchState_ != Watch::Armed && watchState_ != Watch::Held) {
      // A synchronous caller holds the socket: it sees what happened itself, and the watch is
      // armed again when it is done.
      if (watchState_ == Watch::Caller) reportedWhileCaller_ = true;
      return;
    }
    watchState_ = Watch::Handling;
    pendingEvents_ |= events;
  }
  if (queue_->runInlineIfIdle([this] { handleEvents(true); })) return;
  queue_->async([self = shared_from_this()] { self->handleEvents(false); });
}

bool Connection::readingAllowedLocked() const {
  return role_ == Role::Client || outstanding_ < kMaxOutstandingCalls;
}

// Hang-ups are always of interest: a peer that goes away while its connection does not read is
// noticed all the same.
std::uint32_t Connection::interestLocked() const {
  std::uint32_t events = DescriptorWatch::PeerClosed;
  if (readingAllowedLocked()) events |= DescriptorWatch::Readable;
  if (!outbound_.empty()) events |= DescriptorWatch::Writable;
  return events;
}

void Connection::updateInterestLocked() {
  if (!watch_) return;
  if (watchState_ == Watch::Held) {
    watchState_ = Watch::Armed;  // an asynchronous call takes the socket back from the callers
  } else if (watchState_ != Watch::Armed) {
    return;
  }
  const std::uint32_t wanted = interestLocked();
  if (wanted == armedEvents_) return;
  armedEvents_ = wanted;
  watch_->arm(wanted);
}

// On the queue, after a report from the event thread.
void Connection::handleEvents(bool onEventThread) {
  std::uint32_t events;
  int fd;
  std::uint64_t generation;
  bool flushed = true;
  {
    std::lock_guard lock(mutex_);
    if (watchState_ != Watch::Handling) return;
    events = std::exchange(pendingEvents_, 0);
    fd = fd_.get();
    generation = generation_;
    if (fd < 0 || state_ == State::Invalidated) {
      watchState_ = Watch::Idle;
      return;
    }
    if (events & DescriptorWatch::Writable) flushed = flushLocked();
  }
  if (!flushed || !readPackets(fd, events, onEventThread)) return peerGone();
  std::lock_guard lock(mutex_);
  // The socket may have changed under us (invalidated, or a client that reconnected).
  if (watchState_ != Watch::Handling || generation_ != generation || !fd_) return;
  armedEvents_ = interestLocked();
  watchState_ = Watch::Armed;
  if (!watch_->arm(armedEvents_)) watchState_ = Watch::Idle;
}

bool Connection::readPackets(int fd, std::uint32_t events, bool onEventThread) {
  const bool hungUp =
      events & (DescriptorWatch::Hangup | DescriptorWatch::PeerClosed | DescriptorWatch::Error);
  auto buffer = receiveBuffer();
  const auto started =
      onEventThread ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
  for (int i = 0; i < kPacketsPerWakeUp; ++i) {
    // The event thread serves every source of the process: it leaves the rest of a long burst
    // for the next report (the socket is still readable, so that comes at once).
    if (onEventThread && i > 0 && std::chrono::steady_clock::now() - started > kInlineBudget) {
      return true;
    }
    {
      std::lock_guard lock(mutex_);
      if (fd_.get() != fd || state_ == State::Invalidated) return true;  // ended meanwhile
      // A paused connection whose peer has gone will never have its replies taken.
      if (!readingAllowedLocked()) return !hungUp;
    }
    ssize_t n = receivePacket(fd, buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      return false;
    }
    // An empty packet and the end of the stream both read as zero bytes.
    if (n == 0 && peerHasHungUp(fd)) return false;
    if (n > static_cast<ssize_t>(kMaxMessageSize) || n == 0) {
      interrupted();
      continue;
    }
    handlePacket(buffer.first(static_cast<std::size_t>(n)));
  }
  return true;
}

void Connection::handlePacket(std::span<const std::uint8_t> bytes) {
  auto message = decode(bytes);
  if (!message) return interrupted();
  if (role_ == Role::Service && std::holds_alternative<Request>(*message)) {
    return handleRequest(std::get<Request>(std::move(*message)));
  }
  if (role_ == Role::Client && std::holds_alternative<Reply>(*message)) {
    return handleReply(std::get<Reply>(std::move(*message)));
  }
  interrupted();
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
  {
    std::lock_guard lock(mutex_);
    ++outstanding_;
  }
  auto slot = std::make_shared<ReplySlot>(weak_from_this(), request.id);
  ReplyBlock reply = [slot = std::move(slot)](Value arguments) {
    slot->send(std::move(arguments));
  };
  guarded("an exported method",
          [&] { method->invoke(object.get(), request.arguments, std::move(reply)); });
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
  if (pending.reply) guarded("a reply block", [&] { pending.reply(std::move(reply.arguments)); });
}

// --- sending ------------------------------------------------------------------------------------

Connection::SendResult Connection::sendLocked(std::span<const std::uint8_t> bytes) {
  if (!fd_) return SendResult::Failed;
  ssize_t n;
  do {
    n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(bytes.size())) return SendResult::Sent;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
    return SendResult::Full;
  }
  return SendResult::Failed;
}

bool Connection::flushLocked() {
  while (!outbound_.empty()) {
    switch (sendLocked(outbound_.front().bytes)) {
      case SendResult::Sent:
        outbound_.pop_front();
        if (role_ == Role::Service) --outstanding_;
        break;
      case SendResult::Full:
        roomToSend_.notify_all();
        return true;
      case SendResult::Failed:
        // The peer is gone; the reader finds out and ends the connection.
        if (role_ == Role::Service) outstanding_ -= outbound_.size();
        outbound_.clear();
        roomToSend_.notify_all();
        return false;
    }
  }
  roomToSend_.notify_all();
  return true;
}

// From the reply block, on whatever thread called it.
void Connection::sendReply(std::vector<std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (!fd_ || state_ == State::Invalidated) {
    if (outstanding_ > 0) --outstanding_;
    return;
  }
  if (outbound_.empty()) {
    switch (sendLocked(bytes)) {
      case SendResult::Sent:
      case SendResult::Failed:  // the peer is gone: the reader ends the connection
        --outstanding_;
        updateInterestLocked();
        return;
      case SendResult::Full:
        break;
    }
  }
  outbound_.push_back(Packet{std::move(bytes)});
  updateInterestLocked();
}

bool Connection::replyAbandoned() {
  std::lock_guard lock(mutex_);
  if (!fd_ || state_ == State::Invalidated) return false;
  if (outstanding_ > 0) --outstanding_;
  updateInterestLocked();
  return true;
}

std::optional<Error> Connection::connectLocked() {
  std::string path = clientSocketPathForService(serviceName_);
  if (path.empty()) {
    return makeError(ErrorCode::ServiceUnavailable,
                     "No socket address for service " + serviceName_);
  }
  base::FileDescriptor fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) {
    return makeError(
        ErrorCode::ServiceUnavailable,
        "Cannot create a socket for service " + serviceName_ + ": " + base::errnoText(errno));
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  // Connecting to a listening Unix socket waits only when its backlog is full; bound that wait.
  timeval tv{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    return makeError(
        ErrorCode::ServiceUnavailable,
        "Service " + serviceName_ + " is not available at " + path + ": " + base::errnoText(errno));
  }
  // Anyone may bind a socket wherever they may write: only root and this user are believed.
  PeerCredentials server = PeerCredentials::of(fd.get());
  server.pidfd.reset();
  if (server.uid != 0 && server.uid != ::geteuid()) {
    return makeError(ErrorCode::ServiceNotTrusted,
                     "Service " + serviceName_ + " at " + path + " is served by uid " +
                         std::to_string(server.uid) + ", neither root nor this user (uid " +
                         std::to_string(::geteuid()) + "); not trusted");
  }
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  fd_ = std::move(fd);
  peer_ = std::move(server);
  ++generation_;
  if (!startWatchingLocked()) {
    fd_.reset();
    peer_ = PeerCredentials{};
    return makeError(ErrorCode::ServiceUnavailable,
                     "Cannot watch the connection to " + serviceName_);
  }
  return std::nullopt;
}

void Connection::sendRequest(const MethodDescription& method, Value arguments,
                             std::function<void(Value)> reply,
                             std::function<void(const Error&)> onError) {
  auto fail = [this, &onError](Error error) {
    queue_->async([onError = std::move(onError), error = std::move(error)] {
      if (onError) guarded("an error handler", [&] { onError(error); });
    });
  };
  if (role_ != Role::Client) {
    diagnostics::contractViolation("Connection: requests are sent only on client connections");
    return fail(makeError(ErrorCode::ConnectionInvalid, "Not a client connection"));
  }
  const std::uint64_t id = nextId_.fetch_add(1, std::memory_order_relaxed);
  auto bytes = encode(Request{id, method.selector, method.typeEncoding, std::move(arguments)});
  if (bytes.size() > kMaxMessageSize) {
    return fail(makeError(ErrorCode::MessageTooLarge,
                          "Request " + method.selector + " exceeds the maximum message size"));
  }
  std::unique_lock lock(mutex_);
  if (state_ == State::Invalidated || invalidateRequested_) {
    lock.unlock();
    return fail(makeError(ErrorCode::ConnectionInvalid,
                          "The connection to " + serviceName_ + " was invalidated"));
  }
  if (!fd_) {
    if (auto error = connectLocked()) {
      lock.unlock();
      return fail(std::move(*error));
    }
  }
  if (outbound_.empty()) {
    switch (sendLocked(bytes)) {
      case SendResult::Sent:
        pending_.emplace(id, Pending{std::move(reply), onError});
        updateInterestLocked();
        return;
      case SendResult::Failed: {
        int err = errno;
        lock.unlock();
        // A reset socket is noticed by the reader too, which reports the interruption.
        return fail(makeError(ErrorCode::SendFailed, "Cannot send " + method.selector + " to " +
                                                         serviceName_ + ": " +
                                                         base::errnoText(err)));
      }
      case SendResult::Full:
        break;
    }
  }
  pending_.emplace(id, Pending{std::move(reply), onError});
  // Waiting on the connection's own queue would wait for the very items that make room.
  if (outbound_.size() >= kMaxQueuedRequests && !dispatch::Queue::isCurrentlyOn(*queue_)) {
    const std::uint64_t generation = generation_;
    roomToSend_.wait(lock, [&] {
      return outbound_.size() < kMaxQueuedRequests || generation_ != generation || !fd_;
    });
    // The socket this call was meant for is gone: peerGone() has failed the call already.
    if (generation_ != generation || !fd_) return;
  }
  outbound_.push_back(Packet{std::move(bytes)});
  updateInterestLocked();
}

// --- synchronous calls --------------------------------------------------------------------------

Connection::SynchronousOutcome Connection::sendSynchronousRequest(
    const MethodDescription& method, Value arguments, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  SynchronousOutcome outcome;
  if (role_ != Role::Client) {
    diagnostics::contractViolation("Connection: requests are sent only on client connections");
    outcome.error = makeError(ErrorCode::ConnectionInvalid, "Not a client connection");
    return outcome;
  }
  std::shared_ptr<base::FileDescriptor> own;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Invalidated || invalidateRequested_) {
      outcome.error = makeError(ErrorCode::ConnectionInvalid,
                                "The connection to " + serviceName_ + " was invalidated");
      return outcome;
    }
    if (!fd_) {
      if (auto error = connectLocked()) {
        outcome.error = std::move(*error);
        return outcome;
      }
    }
    // The socket is the caller's only while nobody else waits on it: no calls waiting for
    // replies, nothing queued to send, and no report being handled.
    if ((watchState_ == Watch::Armed || watchState_ == Watch::Held) && pending_.empty() &&
        outbound_.empty()) {
      if (!callerFd_) {
        base::FileDescriptor dup(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
        if (dup) callerFd_ = std::make_shared<base::FileDescriptor>(std::move(dup));
      }
      own = callerFd_;
    }
    if (own) {
      // Only hang-ups and errors wake the event thread meanwhile; its report is ignored and
      // the socket re-armed when the caller is done. Held, the watch is so armed already.
      if (watchState_ == Watch::Armed) {
        armedEvents_ = 0;
        watch_->arm(0);
      }
      watchState_ = Watch::Caller;
      reportedWhileCaller_ = false;
      generation = generation_;
    }
  }
  if (!own) return sendAndWait(method, std::move(arguments), timeout);

  const std::uint64_t id = nextId_.fetch_add(1, std::memory_order_relaxed);
  auto bytes = encode(Request{id, method.selector, method.typeEncoding, std::move(arguments)});
  bool sent = false;
  if (bytes.size() > kMaxMessageSize) {
    outcome.error = makeError(ErrorCode::MessageTooLarge,
                              "Request " + method.selector + " exceeds the maximum message size");
  } else {
    for (;;) {
      const ssize_t n = ::send(own->get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n == static_cast<ssize_t>(bytes.size())) {
        sent = true;
        break;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{own->get(), POLLOUT, 0};
        if (left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) >= 0) continue;
        if (left.count() > 0 && errno == EINTR) continue;
        outcome.timedOut = true;
        break;
      }
      outcome.error =
          makeError(ErrorCode::SendFailed, "Cannot send " + method.selector + " to " +
                                               serviceName_ + ": " + base::errnoText(errno));
      break;
    }
    if (sent) outcome = waitForReply(own->get(), id, deadline);
  }
  // Done. The socket goes back to the event thread, with the interest of now, when a caller on
  // another thread has made calls meanwhile or something happened (a hang-up seen while the
  // caller held the socket is reported again, since the socket still shows it).
  std::lock_guard lock(mutex_);
  if (sent && outcome.timedOut) {
    // The reply may still come: it is dropped then, not taken for a stray packet.
    pending_.emplace(id, Pending{[](Value) {}, nullptr});
  }
  if (watchState_ != Watch::Caller || generation_ != generation || !fd_) return outcome;
  // Otherwise it stays with the synchronous callers, the watch armed for hang-ups as it is.
  if (!reportedWhileCaller_ && pending_.empty() && outbound_.empty() && !outcome.error &&
      !outcome.unreadableReply) {
    watchState_ = Watch::Held;
    return outcome;
  }
  armedEvents_ = interestLocked();
  watchState_ = Watch::Armed;
  if (!watch_->arm(armedEvents_)) watchState_ = Watch::Idle;
  return outcome;
}

// Reads the socket until the reply to `id` comes. Replies to calls made meanwhile on other
// threads go to the connection's queue, in the order they came.
Connection::SynchronousOutcome Connection::waitForReply(
    int fd, std::uint64_t id, std::chrono::steady_clock::time_point deadline) {
  SynchronousOutcome outcome;
  auto buffer = receiveBuffer();
  const auto gone = [&] {
    std::lock_guard lock(mutex_);
    const bool invalidated = state_ == State::Invalidated || invalidateRequested_;
    outcome.error =
        makeError(invalidated ? ErrorCode::ConnectionInvalid : ErrorCode::ConnectionInterrupted,
                  "The connection to " + serviceName_ +
                      (invalidated ? " was invalidated" : " was interrupted"));
    return outcome;
  };
  const auto stray = [&] {
    queue_->async([self = shared_from_this()] { self->interrupted(); });
    outcome.unreadableReply = true;
    return outcome;
  };
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      outcome.timedOut = true;
      return outcome;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return gone();
    if (ready <= 0) continue;
    const ssize_t n = receivePacket(fd, buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return gone();
    }
    if (n == 0 && peerHasHungUp(fd)) return gone();
    if (n > static_cast<ssize_t>(kMaxMessageSize) || n == 0) return stray();
    auto message = decode(buffer.first(static_cast<std::size_t>(n)));
    if (!message || !std::holds_alternative<Reply>(*message)) return stray();
    auto& reply = std::get<Reply>(*message);
    if (reply.id == id) {
      outcome.reply = std::move(reply.arguments);
      return outcome;
    }
    {
      std::lock_guard lock(mutex_);
      if (!pending_.contains(reply.id)) return stray();
    }
    queue_->async([self = shared_from_this(), reply = std::move(reply)]() mutable {
      self->handleReply(std::move(reply));
    });
  }
}

// The general way, for when other calls share the socket: an asynchronous call, waited for.
Connection::SynchronousOutcome Connection::sendAndWait(const MethodDescription& method,
                                                       Value arguments,
                                                       std::chrono::milliseconds timeout) {
  if (dispatch::Queue::isCurrentlyOn(*queue_)) {
    diagnostics::contractViolation(
        "Connection: a synchronous call on the connection's own queue would wait for itself");
    SynchronousOutcome outcome;
    outcome.error =
        makeError(ErrorCode::SendFailed, "A synchronous call on the connection's queue");
    return outcome;
  }
  struct Waiting {
    std::mutex m;
    std::condition_variable cv;
    SynchronousOutcome outcome;
    bool done = false;
  };
  auto waiting = std::make_shared<Waiting>();
  auto finish = [waiting](auto fill) {
    std::lock_guard lock(waiting->m);
    if (waiting->done) return;
    fill(waiting->outcome);
    waiting->done = true;
    waiting->cv.notify_all();
  };
  sendRequest(
      method, std::move(arguments),
      [finish](Value reply) { finish([&](SynchronousOutcome& o) { o.reply = std::move(reply); }); },
      [finish](const Error& error) { finish([&](SynchronousOutcome& o) { o.error = error; }); });
  std::unique_lock lock(waiting->m);
  if (!waiting->cv.wait_for(lock, timeout, [&] { return waiting->done; })) {
    waiting->done = true;  // a late outcome is dropped
    SynchronousOutcome outcome;
    outcome.timedOut = true;
    return outcome;
  }
  return waiting->outcome;
}

// --- ending -------------------------------------------------------------------------------------

void Connection::interrupted() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Invalidated) return;
    handler = interruptionHandler_;
  }
  if (handler) guarded("an interruption handler", handler);
}

void Connection::closeSocketLocked(ClosedSocket& into) {
  // A synchronous caller polls its own descriptor of the socket: this wakes it.
  if (watchState_ == Watch::Caller && fd_) ::shutdown(fd_.get(), SHUT_RDWR);
  callerFd_.reset();  // a caller still polling keeps its descriptor until it returns
  into.fd = std::move(fd_);
  into.watch = std::move(watch_);
  watchState_ = Watch::Idle;
  pendingEvents_ = 0;
  outbound_.clear();
  outstanding_ = 0;
  roomToSend_.notify_all();
}

void Connection::peerGone() {
  if (role_ == Role::Service) return invalidateOnQueue();
  // The service went away: fail the waiting calls and forget the socket; the next call
  // connects again.
  std::unordered_map<std::uint64_t, Pending> pending;
  ClosedSocket closed;
  {
    std::lock_guard lock(mutex_);
    if (!fd_) return;
    closeSocketLocked(closed);
    peer_ = PeerCredentials{};
    pending.swap(pending_);
  }
  closed.close();
  failPending(std::move(pending), ErrorCode::ConnectionInterrupted, "was interrupted");
  interrupted();
}

void Connection::invalidateOnQueue() {
  // The connection may hold the last reference to itself; keep it until we return.
  auto keep = shared_from_this();
  std::unordered_map<std::uint64_t, Pending> pending;
  std::function<void()> handler;
  std::function<void()> onClose;
  std::shared_ptr<void> object;
  ClosedSocket closed;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Invalidated) return;
    state_ = State::Invalidated;
    closeSocketLocked(closed);
    peer_.pidfd.reset();
    onClose = std::move(onClose_);
    onClose_ = nullptr;
    pending.swap(pending_);
    handler = std::move(invalidationHandler_);
    invalidationHandler_ = nullptr;
    interruptionHandler_ = nullptr;
    object = std::move(exportedObject_);
  }
  closed.close();
  if (onClose) onClose();
  failPending(std::move(pending), ErrorCode::ConnectionInvalid, "was invalidated");
  if (handler) guarded("an invalidation handler", handler);
}

void Connection::failPending(std::unordered_map<std::uint64_t, Pending> pending, ErrorCode code,
                             const char* what) {
  for (auto& entry : pending) {
    auto& onError = entry.second.onError;
    if (!onError) continue;
    guarded("an error handler",
            [&] { onError(makeError(code, "The connection to " + serviceName_ + " " + what)); });
  }
}

}  // namespace platform::xpc
