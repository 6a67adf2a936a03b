#include "platform/xpc/Listener.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>

#include "platform/base/ErrnoText.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/xpc/ServiceAddress.h"
#include "platform/xpc/UserConnectionLimit.h"

namespace platform::xpc {

using dispatch::DescriptorWatch;

namespace {

constexpr int kAcceptsPerWakeUp = 64;

sockaddr_un addressFor(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

// The first descriptor the service manager passes; the others follow it.
constexpr int kFirstPassedDescriptor = 3;

// How many descriptors the service manager passed to this process: LISTEN_FDS of them, from
// kFirstPassedDescriptor on, when LISTEN_PID names this process (a child that inherited the
// variables was not meant). The variables are removed either way so that no child of ours takes
// the descriptors for its own, and the descriptors are closed on exec.
int takePassedDescriptorCount() {
  const auto number = [](const char* name) -> long {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return (errno != 0 || *end != '\0' || value < 0) ? -1 : value;
  };
  const long pid = number("LISTEN_PID");
  long count = number("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (pid != static_cast<long>(::getpid()) || count <= 0) return 0;
  count = std::min<long>(count, INT_MAX - kFirstPassedDescriptor);
  for (int fd = kFirstPassedDescriptor; fd < kFirstPassedDescriptor + count; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  return static_cast<int>(count);
}

// The path a listening local sequential-packet socket is bound to ("" when it has none, or an
// abstract name); nothing when `fd` is not such a socket.
std::optional<std::string> listeningSequentialPacketPath(int fd) {
  int value = 0;
  socklen_t size = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &value, &size) != 0 || value != AF_UNIX) {
    return std::nullopt;
  }
  size = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &size) != 0 || value != SOCK_SEQPACKET) {
    return std::nullopt;
  }
  size = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &size) != 0 || value == 0) {
    return std::nullopt;
  }
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::nullopt;
  if (len <= offsetof(sockaddr_un, sun_path) || addr.sun_path[0] == '\0') return std::string();
  return std::string(addr.sun_path,
                     ::strnlen(addr.sun_path, len - offsetof(sockaddr_un, sun_path)));
}

// True when something accepts connections on the socket at `path`.
bool socketAnswers(const std::string& path) {
  base::FileDescriptor fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return true;  // cannot tell: assume it is alive rather than steal it
  sockaddr_un addr = addressFor(path);
  int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  // A full backlog (EAGAIN) still means a live listener.
  return rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

std::optional<Error> fail(std::string text) {
  diagnostics::report("Listener: " + text);
  return Error{"platform.xpc", ErrorCode::ServiceUnavailable, std::move(text)};
}

std::size_t softDescriptorLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 1 << 20;
  return static_cast<std::size_t>(rl.rlim_cur);
}

// Runs a decision of the listener's user; one that throws refuses.
template <class F>
bool decide(const char* what, F&& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    diagnostics::reportf("Listener: %s threw an exception: %s", what, e.what());
  } catch (...) {
    diagnostics::reportf("Listener: %s threw an exception", what);
  }
  return false;
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

void Listener::setConnectionRequirement(ConnectionRequirement requirement) {
  std::lock_guard lock(mutex_);
  requirement_ = std::move(requirement);
}

std::string Listener::socketPath() const {
  std::lock_guard lock(mutex_);
  return path_;
}

bool Listener::isSocketActivated() const {
  std::lock_guard lock(mutex_);
  return activated_;
}

std::size_t Listener::perUserConnectionLimit() const {
  std::lock_guard lock(mutex_);
  return userLimit_ ? userLimit_->limit()
                    : UserConnectionLimit::fromDescriptorLimit(softDescriptorLimit(),
                                                               kReservedDescriptors);
}

std::optional<Error> Listener::resume() {
  std::lock_guard lock(mutex_);
  if (resumed_ || invalidated_) return resumeError_;
  resumed_ = true;
  if (auto error = openSocketLocked()) {
    resumeError_ = error;
    return error;
  }
  userLimit_ = std::make_shared<UserConnectionLimit>(
      UserConnectionLimit::fromDescriptorLimit(softDescriptorLimit(), kReservedDescriptors),
      serviceName_);
  // The watch holds the listener: a resumed listener serves until invalidated, whoever else
  // lets go of it.
  watch_ = DescriptorWatch::make(
      fd_.get(), [self = shared_from_this()](std::uint32_t) { self->acceptAvailable(); });
  retryTimer_ = dispatch::TimerSource::make(queue_);
  if (!watch_ || !retryTimer_ || !watch_->arm(DescriptorWatch::Readable)) {
    auto watch = std::move(watch_);
    watch.reset();
    retryTimer_.reset();
    fd_.reset();
    if (!activated_) ::unlink(path_.c_str());
    resumeError_ = fail("cannot watch the socket of " + serviceName_);
    return resumeError_;
  }
  retryTimer_->setEventHandler([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->resumeAccepting();
  });
  // Scheduled once now, never to fire, so that the timer holds its kernel timer from the start:
  // re-arming it later, when the process is out of descriptors, needs no new one.
  retryTimer_->schedule(dispatch::Time::forever(), std::chrono::nanoseconds(0),
                        std::chrono::nanoseconds(0));
  retryTimer_->resume();
  return std::nullopt;
}

// The service manager may pass the listening socket (socket activation). Take the one bound to
// our path, or the only listening sequential-packet socket passed when none matches by path.
bool Listener::takePassedSocketLocked() {
  const int n = takePassedDescriptorCount();
  if (n <= 0) return false;
  const std::string path = socketPathForService(serviceName_);
  int matching = -1;
  int last = -1;
  std::string lastPath;
  int candidates = 0;
  for (int fd = kFirstPassedDescriptor; fd < kFirstPassedDescriptor + n; ++fd) {
    auto bound = listeningSequentialPacketPath(fd);
    if (!bound) continue;
    ++candidates;
    if (matching < 0 && !path.empty() && *bound == path) matching = fd;
    last = fd;
    lastPath = std::move(*bound);
  }
  // Another socket than ours is taken only when it is the only one passed.
  const int chosen = matching >= 0 ? matching : (candidates == 1 ? last : -1);
  if (chosen < 0) return false;
  ::fcntl(chosen, F_SETFL, ::fcntl(chosen, F_GETFL) | O_NONBLOCK);
  fd_.reset(chosen);
  activated_ = true;
  if (matching >= 0) {
    path_ = path;
  } else if (!lastPath.empty()) {
    path_ = std::move(lastPath);
  }
  return true;
}

std::optional<Error> Listener::openSocketLocked() {
  if (takePassedSocketLocked()) return std::nullopt;

  std::string path = socketPathForService(serviceName_);
  if (path.empty()) {
    return fail("no usable socket path for service " + serviceName_ + " in " + runtimeDirectory());
  }
  base::FileDescriptor fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return fail("cannot create a socket for " + path + ": " + base::errnoText(errno));
  sockaddr_un addr = addressFor(path);
  auto bindIt = [&] {
    return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  };
  int rc = bindIt();
  if (rc != 0 && errno == EADDRINUSE) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
      return fail(path + " exists and is not a socket; leaving it alone");
    }
    if (socketAnswers(path)) {
      return fail("service " + serviceName_ + " is already served at " + path);
    }
    // Left behind by a process that is gone: replace it.
    ::unlink(path.c_str());
    rc = bindIt();
  }
  if (rc != 0) return fail("cannot bind " + path + ": " + base::errnoText(errno));
  // Any local process may call the service: the socket file is open to every user.
  ::chmod(path.c_str(), 0666);
  if (::listen(fd.get(), SOMAXCONN) != 0) {
    const int err = errno;
    ::unlink(path.c_str());
    return fail("cannot listen on " + path + ": " + base::errnoText(err));
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    boundDev_ = st.st_dev;
    boundIno_ = st.st_ino;
  }
  fd_ = std::move(fd);
  path_ = path;
  return std::nullopt;
}

// On the event thread: takes what is waiting and sends each connection to its own queue.
void Listener::acceptAvailable() {
  int listenFd;
  std::shared_ptr<UserConnectionLimit> limit;
  bool requirementSet;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ || paused_) return;
    listenFd = fd_.get();
    limit = userLimit_;
    requirementSet = static_cast<bool>(requirement_);
  }
  for (int i = 0; i < kAcceptsPerWakeUp; ++i) {
    base::FileDescriptor fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
      const int err = errno;
      if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        return pauseAccepting();
      }
      break;  // EAGAIN: nothing more waiting
    }
    PeerCredentials peer = PeerCredentials::of(fd.get());
    const uid_t uid = peer.uid;
    if (!limit->admit(uid)) continue;  // closed at once: the user holds its share
    auto connection = Connection::makeAccepted(std::move(fd), serviceName_, std::move(peer),
                                               [limit, uid] { limit->release(uid); });
    auto offerIt = [weak = weak_from_this(), connection] {
      if (auto self = weak.lock()) {
        self->offer(connection);
      } else {
        connection->invalidate();
      }
    };
    // The new connection's queue is idle: without a requirement to check (which may take a
    // while, reading the client's executable), its acceptance runs here, and the client's first
    // call is read and answered on this thread too. A fresh daemon then answers its first
    // client without waiting for a worker thread to be scheduled, which on a loaded machine
    // takes longer than everything else it does.
    if (requirementSet || !connection->queue()->runInlineIfIdle(offerIt)) {
      connection->queue()->async(std::move(offerIt));
    }
  }
  std::lock_guard lock(mutex_);
  if (!invalidated_ && !paused_ && watch_) watch_->arm(DescriptorWatch::Readable);
}

// On the connection's queue.
void Listener::offer(const std::shared_ptr<Connection>& connection) {
  std::shared_ptr<ListenerDelegate> delegate;
  ConnectionRequirement requirement;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
    requirement = requirement_;
  }
  const bool accepted = delegate &&
                        (!requirement || decide("the connection requirement",
                                                [&] { return requirement(*connection); })) &&
                        decide("the delegate", [&] {
                          return delegate->shouldAcceptNewConnection(*this, connection);
                        });
  if (!accepted) connection->invalidate();
  connection->releasePeerProcessHandle();
}

void Listener::pauseAccepting() {
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ || paused_) return;
    paused_ = true;
  }
  diagnostics::reportf("Listener: out of file descriptors; accepting again in %lld ms",
                       static_cast<long long>(kDescriptorRetryDelay.count()));
  // One-shot: the timer's handler resumes accepting; running out again re-arms it.
  retryTimer_->schedule(dispatch::Time::after(kDescriptorRetryDelay), std::chrono::nanoseconds(0),
                        std::chrono::milliseconds(10));
}

// On the listener's queue, from the retry timer.
void Listener::resumeAccepting() {
  std::lock_guard lock(mutex_);
  if (invalidated_ || !paused_) return;
  paused_ = false;
  if (watch_) watch_->arm(DescriptorWatch::Readable);
}

void Listener::invalidate() {
  std::unique_ptr<DescriptorWatch> watch;
  base::FileDescriptor fd;
  std::shared_ptr<dispatch::TimerSource> timer;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    invalidated_ = true;
    watch = std::move(watch_);
    fd = std::move(fd_);
    timer = std::move(retryTimer_);
    // Remove the socket file only while it is still the one we bound (a newer instance may have
    // replaced it) and never a socket the service manager owns.
    struct stat st {};
    if (fd && !activated_ && !path_.empty() && ::lstat(path_.c_str(), &st) == 0 &&
        st.st_dev == boundDev_ && st.st_ino == boundIno_) {
      ::unlink(path_.c_str());
    }
  }
  // The event thread stops looking at the socket before it is closed. Cancelling the watch
  // releases its hold on this listener, so keep it alive until we are done.
  auto keep = weak_from_this().lock();
  watch.reset();
  fd.reset();
  if (timer) timer->cancel();
}

}  // namespace platform::xpc
