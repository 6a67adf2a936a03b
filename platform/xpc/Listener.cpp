#include "platform/xpc/Listener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/base/ErrnoText.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/xpc/ServiceAddress.h"

namespace platform::xpc {

namespace {

constexpr int kAcceptsPerWakeUp = 64;

sockaddr_un addressFor(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

// True when something accepts connections on the socket at `path`.
bool socketAnswers(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return true;  // cannot tell: assume it is alive rather than steal it
  sockaddr_un addr = addressFor(path);
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  int err = errno;
  ::close(fd);
  // A full backlog (EAGAIN) still means a live listener.
  return rc == 0 || err == EAGAIN || err == EINPROGRESS;
}

std::optional<Error> fail(std::string text) {
  diagnostics::report("Listener: " + text);
  return Error{"platform.xpc", ErrorCode::ServiceUnavailable, std::move(text)};
}

}  // namespace

std::shared_ptr<Listener> Listener::makeForService(std::string serviceName) {
  return std::shared_ptr<Listener>(new Listener(std::move(serviceName)));
}

Listener::Listener(std::string serviceName)
    : serviceName_(std::move(serviceName)),
      queue_(dispatch::Queue::makeSerial(serviceName_ + ".listener")) {}

Listener::~Listener() {
  invalidate();
}

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::string Listener::socketPath() const {
  std::lock_guard lock(mutex_);
  return path_;
}

bool Listener::isSocketActivated() const {
  std::lock_guard lock(mutex_);
  return activated_;
}

std::optional<Error> Listener::resume() {
  std::lock_guard lock(mutex_);
  if (resumed_ || invalidated_) return resumeError_;
  resumed_ = true;
  if (auto error = openSocketLocked()) {
    resumeError_ = error;
    return error;
  }
  source_ = dispatch::ReadSource::make(fd_, queue_);
  retryTimer_ = dispatch::TimerSource::make(queue_);
  if (!source_ || !retryTimer_) {
    source_.reset();
    retryTimer_.reset();
    ::close(fd_);
    fd_ = -1;
    if (!activated_) ::unlink(path_.c_str());
    resumeError_ = fail("cannot watch the socket of " + serviceName_);
    return resumeError_;
  }
  source_->setEventHandler([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->acceptAvailable();
  });
  source_->setCancelHandler([fd = fd_] { ::close(fd); });
  retryTimer_->setEventHandler([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->resumeAccepting();
  });
  // Scheduled once now, never to fire, so that the timer holds its kernel timer from the start:
  // re-arming it later, when the process is out of descriptors, needs no new one.
  retryTimer_->schedule(dispatch::Time::forever(), std::chrono::nanoseconds(0),
                        std::chrono::nanoseconds(0));
  retryTimer_->resume();
  source_->resume();
  return std::nullopt;
}

// The service manager may pass the listening socket (socket activation). Take the one bound to
// our path, or the only listening sequential-packet socket passed when none matches by path.
bool Listener::takePassedSocketLocked() {
  int n = sd_listen_fds(/*unset_environment=*/1);
  if (n <= 0) return false;
  std::string path = socketPathForService(serviceName_);
  int chosen = -1;
  int candidates = 0;
  int lastCandidate = -1;
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + n; ++fd) {
    if (sd_is_socket_unix(fd, SOCK_SEQPACKET, 1, nullptr, 0) <= 0) continue;
    ++candidates;
    lastCandidate = fd;
    if (!path.empty() && sd_is_socket_unix(fd, SOCK_SEQPACKET, 1, path.c_str(), 0) > 0) {
      chosen = fd;
    }
  }
  if (chosen < 0 && candidates == 1) chosen = lastCandidate;
  if (chosen < 0) return false;
  ::fcntl(chosen, F_SETFD, FD_CLOEXEC);
  ::fcntl(chosen, F_SETFL, ::fcntl(chosen, F_GETFL) | O_NONBLOCK);
  fd_ = chosen;
  activated_ = true;
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(chosen, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
      len > offsetof(sockaddr_un, sun_path) && addr.sun_path[0] != '\0') {
    path_.assign(addr.sun_path, ::strnlen(addr.sun_path, sizeof addr.sun_path));
  }
  return true;
}

std::optional<Error> Listener::openSocketLocked() {
  if (takePassedSocketLocked()) return std::nullopt;

  std::string path = socketPathForService(serviceName_);
  if (path.empty()) {
    return fail("no usable socket path for service " + serviceName_ + " in " + runtimeDirectory());
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return fail("cannot create a socket for " + path + ": " + platform::base::errnoText(errno));
  sockaddr_un addr = addressFor(path);
  auto bindIt = [&] { return ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr); };
  int rc = bindIt();
  if (rc != 0 && errno == EADDRINUSE) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
      ::close(fd);
      return fail(path + " exists and is not a socket; leaving it alone");
    }
    if (socketAnswers(path)) {
      ::close(fd);
      return fail("service " + serviceName_ + " is already served at " + path);
    }
    // Left behind by a process that is gone: replace it.
    ::unlink(path.c_str());
    rc = bindIt();
  }
  if (rc != 0) {
    int err = errno;
    ::close(fd);
    return fail("cannot bind " + path + ": " + platform::base::errnoText(err));
  }
  // Any local process may call the service: the socket file is open to every user.
  ::chmod(path.c_str(), 0666);
  if (::listen(fd, SOMAXCONN) != 0) {
    int err = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return fail("cannot listen on " + path + ": " + platform::base::errnoText(err));
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    boundDev_ = st.st_dev;
    boundIno_ = st.st_ino;
  }
  fd_ = fd;
  path_ = path;
  return std::nullopt;
}

void Listener::acceptAvailable() {
  int listenFd;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ || paused_) return;
    listenFd = fd_;
  }
  // Connections accepted while descriptors ran short go first, in the order they came.
  for (;;) {
    std::shared_ptr<Connection> waiting;
    {
      std::lock_guard lock(mutex_);
      if (parked_.empty()) break;
      waiting = parked_.front();
    }
    if (!waiting->prepareToWatch()) return pauseAccepting();
    {
      std::lock_guard lock(mutex_);
      parked_.pop_front();
    }
    offer(waiting);
  }
  for (int i = 0; i < kAcceptsPerWakeUp; ++i) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      int err = errno;
      if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        return pauseAccepting();
      }
      return;  // EAGAIN: nothing more waiting
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) cred.pid = 0;
    auto connection = Connection::makeAccepted(fd, serviceName_, cred.pid);
    if (!connection->prepareToWatch()) {
      // Accepted, but it cannot be served yet: keep it until descriptors are free again.
      {
        std::lock_guard lock(mutex_);
        parked_.push_back(std::move(connection));
      }
      return pauseAccepting();
    }
    offer(connection);
  }
}

void Listener::offer(const std::shared_ptr<Connection>& connection) {
  std::shared_ptr<ListenerDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
  }
  if (!delegate || !delegate->shouldAcceptNewConnection(*this, connection)) {
    connection->invalidate();
  }
}

void Listener::pauseAccepting() {
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ || paused_ || !source_) return;
    paused_ = true;
    source_->suspend();
  }
  diagnostics::reportf("Listener: out of file descriptors; accepting again in %lld ms",
                       static_cast<long long>(kDescriptorRetryDelay.count()));
  // One-shot: the timer's handler resumes accepting; running out again re-arms it.
  retryTimer_->schedule(dispatch::Time::after(kDescriptorRetryDelay), std::chrono::nanoseconds(0),
                        std::chrono::milliseconds(10));
}

// Runs on the listener's queue, from the retry timer.
void Listener::resumeAccepting() {
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ || !paused_) return;
    paused_ = false;
    source_->resume();
  }
  // Parked connections may be waiting with nothing new to accept.
  acceptAvailable();
}

void Listener::invalidate() {
  std::shared_ptr<dispatch::ReadSource> source;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    invalidated_ = true;
    if (!source_) return;
    // A suspended source must be resumed before its cancellation can complete.
    if (paused_) source_->resume();
    paused_ = false;
    source = source_;
    // Remove the socket file only while it is still the one we bound (a newer instance may have
    // replaced it) and never a socket the service manager owns.
    struct stat st {};
    if (!activated_ && !path_.empty() && ::lstat(path_.c_str(), &st) == 0 &&
        st.st_dev == boundDev_ && st.st_ino == boundIno_) {
      ::unlink(path_.c_str());
    }
  }
  source->cancel();
  if (retryTimer_) retryTimer_->cancel();
  std::deque<std::shared_ptr<Connection>> parked;
  {
    std::lock_guard lock(mutex_);
    parked.swap(parked_);
  }
  for (auto& c : parked)
    c->invalidate();
}

}  // namespace platform::xpc
