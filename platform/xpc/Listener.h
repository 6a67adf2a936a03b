#pragma once
// The service side of a named local service: a listening Unix-domain SOCK_SEQPACKET socket that
// offers every incoming connection to its delegate.
//
// The socket comes from the service manager when it passes one (socket activation); otherwise
// the listener binds socketPathForService(name) itself. A socket file left behind by a process
// that is gone is replaced; one that still answers is left alone and resume() fails, so two
// instances never steal each other's clients.
//
// Acceptance. Connections are accepted on the event thread; each new connection then goes to
// its own queue, where the connection requirement (when set) and the delegate decide about it,
// so connections are accepted in parallel. A connection the requirement or the delegate refuses
// is invalidated without ever being offered further.
//
// Bounds. One local user may hold at most perUserConnectionLimit() connections at once (a
// quarter of what the descriptor limit leaves after kReservedDescriptors); a connection beyond
// it is closed at once, and reported on the diagnostic channel (the first refusal, then how many
// were refused once the user is below the bound again). Root and the service's own user are not
// bounded. When accept() fails because the process or the system is out of descriptors, the
// listener stops watching its socket and tries again after kDescriptorRetryDelay, so it neither
// spins nor stops serving once descriptors are free again.
//
// A resumed listener keeps serving until it is invalidated, even when its owner releases it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/DescriptorWatch.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Error.h"

namespace platform::xpc {

class Listener;
class UserConnectionLimit;

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  // Called on the new connection's queue for every incoming connection. Returning true accepts
  // it (the delegate configures and resumes it); false closes it.
  virtual bool shouldAcceptNewConnection(Listener& listener,
                                         const std::shared_ptr<Connection>& connection) = 0;
};

// A check every new connection must pass before the delegate sees it (for instance the peer's
// code signature, through connection.peerCredentials()). Runs on the connection's queue.
using ConnectionRequirement = std::function<bool(Connection& connection)>;

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  // How long accepting pauses after running out of descriptors.
  static constexpr std::chrono::milliseconds kDescriptorRetryDelay{100};
  // Descriptors kept out of the per-user bound for the process's own use (log files, timers...).
  static constexpr std::size_t kReservedDescriptors = 64;

  static std::shared_ptr<Listener> makeForService(std::string serviceName);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The delegate is held weakly.
  void setDelegate(std::weak_ptr<ListenerDelegate> delegate);
  // Before resume().
  void setConnectionRequirement(ConnectionRequirement requirement);
  // Starts accepting connections. A failure (no usable socket path, the path held by a live
  // service or by something that is not a socket) is reported on the diagnostic channel and
  // returned; the listener then accepts nothing. Later calls return the first call's outcome.
  std::optional<Error> resume();
  // Stops accepting and closes the socket; removes the socket file when this listener made it.
  // Connections already accepted are not affected. Idempotent.
  void invalidate();

  const std::string& serviceName() const { return serviceName_; }
  // The path of the bound socket; empty before resume() and for a passed socket whose address
  // could not be read.
  std::string socketPath() const;
  bool isSocketActivated() const;
  // The most connections one (bounded) user may hold; set from the descriptor limit by resume().
  std::size_t perUserConnectionLimit() const;

 private:
  explicit Listener(std::string serviceName);
  std::optional<Error> openSocketLocked();
  bool takePassedSocketLocked();
  void acceptAvailable();
  void pauseAccepting();
  void resumeAccepting();
  void offer(const std::shared_ptr<Connection>& connection);

  const std::string serviceName_;
  const dispatch::QueuePtr queue_;  // the retry timer's

  mutable std::mutex mutex_;
  std::weak_ptr<ListenerDelegate> delegate_;
  ConnectionRequirement requirement_;
  bool resumed_ = false;
  bool invalidated_ = false;
  bool paused_ = false;
  bool activated_ = false;
  std::optional<Error> resumeError_;
  base::FileDescriptor fd_;
  std::string path_;
  dev_t boundDev_ = 0;
  ino_t boundIno_ = 0;
  std::unique_ptr<dispatch::DescriptorWatch> watch_;
  // Made while descriptors are still available: when accept() runs out of them, a new timer
  // could not be created either.
  std::shared_ptr<dispatch::TimerSource> retryTimer_;
  std::shared_ptr<UserConnectionLimit> userLimit_;
};

}  // namespace platform::xpc
