#include "platform/network/TcpConnection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/Source.h"

namespace platform::network {

using platform::dispatch::Queue;
using platform::dispatch::Time;

struct TcpConnectionAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

namespace {

constexpr std::chrono::seconds kFirstRetryDelay{1};
constexpr std::chrono::seconds kLongestRetryDelay{30};

// Errors that say the host cannot be reached from here right now: the connection waits and
// tries again. Every other error (a refusal above all) is an answer, and the connection fails.
bool meansNoPathYet(int err) {
  switch (err) {
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string_view toString(ConnectionState::Kind kind) {
  switch (kind) {
    case ConnectionState::Kind::setup:
      return "setup";
    case ConnectionState::Kind::preparing:
      return "preparing";
    case ConnectionState::Kind::waiting:
      return "waiting";
    case ConnectionState::Kind::ready:
      return "ready";
    case ConnectionState::Kind::failed:
      return "failed";
    case ConnectionState::Kind::cancelled:
      return "cancelled";
  }
  return "unknown";
}

// The outcome of resolving the host: the addresses to try, or why there are none.
struct TcpConnection::Attempt {
  std::vector<TcpConnectionAddress> addresses;
  std::optional<NetworkError> error;
};

struct TcpConnection::Work {
  platform::base::FileDescriptor socket;
  std::shared_ptr<platform::dispatch::WriteSource> writable;
  std::shared_ptr<platform::dispatch::TimerSource> retryTimer;
  std::shared_ptr<Attempt> attempt;
  std::size_t nextAddress = 0;
  std::optional<NetworkError> firstAnswer;  // the first error that was not "no path yet"
  std::optional<NetworkError> lastError;
  // Results of an earlier round (a resolution or a connect still under way when the connection
  // moved on) carry an older generation and are dropped.
  std::uint64_t generation = 0;
  std::chrono::seconds retryDelay = kFirstRetryDelay;
};

std::shared_ptr<TcpConnection> TcpConnection::make(std::string host, std::uint16_t port) {
  return std::make_shared<TcpConnection>(Key{}, std::move(host), port);
}

TcpConnection::TcpConnection(Key, std::string host, std::uint16_t port)
    : host_(std::move(host)), port_(port), work_(std::make_unique<Work>()) {}

TcpConnection::~TcpConnection() {
  // Nothing of ours runs on the queue any more (queued items hold this connection), so the
  // sources can be stopped from here.
  closeSocket();
  if (work_->retryTimer) work_->retryTimer->cancel();
}

void TcpConnection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(m_);
  if (state_.kind != ConnectionState::Kind::cancelled) handler_ = std::move(handler);
}

ConnectionState TcpConnection::state() const {
  std::lock_guard lock(m_);
  return state_;
}

bool TcpConnection::cancelRequested() const {
  std::lock_guard lock(m_);
  return cancelRequested_;
}

void TcpConnection::start(std::shared_ptr<Queue> queue) {
  if (!queue) return;
  {
    std::lock_guard lock(m_);
    if (started_ || cancelRequested_) return;
    started_ = true;
    queue_ = queue;
  }
  queue->async([self = shared_from_this()] { self->beginAttempt(); });
}

void TcpConnection::cancel() {
  std::shared_ptr<Queue> queue;
  StateHandler dropped;
  {
    std::lock_guard lock(m_);
    if (cancelRequested_) return;
    cancelRequested_ = true;
    queue = queue_;
    if (!queue) {
      // Never started: there is no queue to report on, and nothing to tear down.
      state_ = {ConnectionState::Kind::cancelled, std::nullopt};
      dropped = std::move(handler_);
    }
  }
  if (queue) queue->async([self = shared_from_this()] { self->finishCancel(); });
}

// On the queue. Reports a state unless it repeats the current one or the connection is being
// cancelled (the cancelled state is reported by finishCancel, after everything else).
void TcpConnection::enter(ConnectionState state) {
  StateHandler handler;
  {
    std::lock_guard lock(m_);
    if (cancelRequested_ || state_ == state) return;
    state_ = state;
    handler = handler_;
  }
  if (handler) handler(state);
}

// `flags` may add AI_NUMERICHOST, which answers at once, without asking any name service
// (EAI_NONAME for a host that is not an address).
std::shared_ptr<TcpConnection::Attempt> TcpConnection::resolve(const std::string& host,
                                                               std::uint16_t port, int flags) {
  auto attempt = std::make_shared<Attempt>();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | flags;
  addrinfo* list = nullptr;
  const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (status == EAI_SYSTEM) {
    attempt->error = NetworkError::posix(errno);
    return attempt;
  }
  if (status != 0) {
    attempt->error = NetworkError::dns(status);
    return attempt;
  }
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
    TcpConnectionAddress address;
    std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
    address.length = entry->ai_addrlen;
    attempt->addresses.push_back(address);
  }
  freeaddrinfo(list);
  if (attempt->addresses.empty()) attempt->error = NetworkError::dns(EAI_NONAME);
  return attempt;
}

void TcpConnection::beginAttempt() {
  if (cancelRequested()) return;
  enter({ConnectionState::Kind::preparing, std::nullopt});
  const std::uint64_t generation = ++work_->generation;
  // An address needs no name service: no reason to leave this queue for it.
  auto numeric = resolve(host_, port_, AI_NUMERICHOST);
  if (numeric->error != NetworkError::dns(EAI_NONAME)) return onResolved(generation, numeric);

  std::shared_ptr<Queue> queue;
  {
    std::lock_guard lock(m_);
    queue = queue_;
  }
  std::weak_ptr<TcpConnection> weak = weak_from_this();
  // A name service may take seconds to answer: ask on a worker, never on the state queue.
  Queue::global()->async([weak, queue, generation, host = host_, port = port_] {
    auto attempt = resolve(host, port, 0);
    if (weak.expired()) return;
    queue->async([weak, generation, attempt] {
      if (auto self = weak.lock()) self->onResolved(generation, attempt);
    });
  });
}

void TcpConnection::onResolved(std::uint64_t generation, std::shared_ptr<Attempt> attempt) {
  if (cancelRequested() || generation != work_->generation) return;
  // A host name the resolver cannot answer for now may resolve once the network is back.
  if (attempt->error) return waitAndRetry(*attempt->error);
  work_->attempt = std::move(attempt);
  work_->nextAddress = 0;
  work_->firstAnswer.reset();
  work_->lastError.reset();
  tryNextAddress();
}

void TcpConnection::tryNextAddress() {
  const auto& addresses = work_->attempt->addresses;
  while (work_->nextAddress < addresses.size()) {
    const auto& address = addresses[work_->nextAddress];
    platform::base::FileDescriptor fd(
        socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd) {
      noteFailure(errno);
      ++work_->nextAddress;
      continue;
    }
    int result;
    do {
      result =
          connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
      work_->socket = std::move(fd);
      enter({ConnectionState::Kind::ready, std::nullopt});
      return;
    }
    if (errno != EINPROGRESS) {
      noteFailure(errno);
      ++work_->nextAddress;
      continue;
    }
    work_->socket = std::move(fd);
    // A connection to this host itself is usually complete already: no need to wait for the
    // event thread to say so.
    pollfd ready{work_->socket.get(), POLLOUT, 0};
    if (poll(&ready, 1, 0) == 1) return finishConnect();
    std::shared_ptr<Queue> queue;
    {
      std::lock_guard lock(m_);
      queue = queue_;
    }
    auto writable = platform::dispatch::WriteSource::make(work_->socket.get(), queue);
    if (!writable) {
      noteFailure(errno);
      work_->socket.reset();
      ++work_->nextAddress;
      continue;
    }
    work_->writable = writable;
    std::weak_ptr<TcpConnection> weak = weak_from_this();
    writable->setEventHandler([weak, generation = work_->generation] {
      if (auto self = weak.lock()) self->onConnectFinished(generation);
    });
    writable->resume();
    return;
  }
  allAddressesFailed();
}

void TcpConnection::onConnectFinished(std::uint64_t generation) {
  if (cancelRequested() || generation != work_->generation || !work_->socket) return;
  finishConnect();
}

void TcpConnection::finishConnect() {
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(work_->socket.get(), SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  if (work_->writable) {
    work_->writable->cancel();
    work_->writable.reset();
  }
  if (err == 0) {
    enter({ConnectionState::Kind::ready, std::nullopt});
    return;
  }
  work_->socket.reset();
  noteFailure(err);
  ++work_->nextAddress;
  tryNextAddress();
}

void TcpConnection::noteFailure(int err) {
  const NetworkError error = NetworkError::posix(err);
  work_->lastError = error;
  if (!meansNoPathYet(err) && !work_->firstAnswer) work_->firstAnswer = error;
}

void TcpConnection::allAddressesFailed() {
  if (work_->firstAnswer) {
    enter({ConnectionState::Kind::failed, work_->firstAnswer});
    return;
  }
  waitAndRetry(work_->lastError.value_or(NetworkError::posix(EHOSTUNREACH)));
}

void TcpConnection::waitAndRetry(NetworkError error) {
  enter({ConnectionState::Kind::waiting, error});
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard lock(m_);
    queue = queue_;
  }
  if (!work_->retryTimer) {
    work_->retryTimer = platform::dispatch::TimerSource::make(queue);
    std::weak_ptr<TcpConnection> weak = weak_from_this();
    work_->retryTimer->setEventHandler([weak] {
      if (auto self = weak.lock()) self->beginAttempt();
    });
    work_->retryTimer->resume();
  }
  work_->retryTimer->schedule(Time::after(work_->retryDelay), std::chrono::nanoseconds(0),
                              std::chrono::nanoseconds(0));
  work_->retryDelay = std::min(work_->retryDelay * 2, kLongestRetryDelay);
}

void TcpConnection::closeSocket() {
  if (work_->writable) {
    // Cancelled before the descriptor is closed: once cancel() returns the source no longer
    // looks at it.
    work_->writable->cancel();
    work_->writable.reset();
  }
  work_->socket.reset();
}

void TcpConnection::finishCancel() {
  ++work_->generation;
  closeSocket();
  if (work_->retryTimer) {
    work_->retryTimer->cancel();
    work_->retryTimer.reset();
  }
  StateHandler handler;
  const ConnectionState cancelled{ConnectionState::Kind::cancelled, std::nullopt};
  {
    std::lock_guard lock(m_);
    state_ = cancelled;
    handler = std::move(handler_);
  }
  if (handler) handler(cancelled);
}

}  // namespace platform::network
