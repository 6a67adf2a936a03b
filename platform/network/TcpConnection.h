#pragma once
// An outgoing TCP connection that reports its progress as states.
//
// States, in the order they can come:
//   setup       created, not started (never reported: it is the state before start());
//   preparing   resolving the host and connecting;
//   waiting     no route to the host right now, or the host name cannot be resolved right now:
//               the error says why; the connection tries again by itself (after 1 s, then
//               doubling up to 30 s), going back to preparing;
//   ready       connected;
//   failed      the host answered with a refusal, or the connection could not be made for a
//               reason that retrying will not cure (the error says which);
//   cancelled   cancel() was called; always the last state, reported once.
// A state is reported only when it differs from the one before (a waiting state with another
// error counts as different).
//
// Threading: the state handler runs on the queue given to start(), never on two threads at once.
// cancel() and state() may be called from any thread; the cancelled state is reported on the
// queue after every other report, and cancel() keeps the connection alive until then. Names are
// resolved on a global queue (a name service can take seconds) and connecting uses non-blocking
// sockets watched by the dispatch layer's event thread, so neither ever blocks the state queue.
//
// The addresses a host resolves to (IPv6 and IPv4) are tried one after the other in the
// resolver's order; a host written as an address is taken as it is, without a name service.
// Sockets are made in the network namespace of the thread that runs the state
// queue's items.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/Queue.h"
#include "platform/network/NetworkError.h"

namespace platform::network {

struct TcpConnectionAddress;

struct ConnectionState {
  enum class Kind : std::uint8_t { setup, preparing, waiting, ready, failed, cancelled };

  Kind kind = Kind::setup;
  std::optional<NetworkError> error;  // with waiting and failed

  friend bool operator==(const ConnectionState&, const ConnectionState&) = default;
};

// "setup", "preparing", "waiting", "ready", "failed", "cancelled".
std::string_view toString(ConnectionState::Kind kind);

class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
 public:
  using StateHandler = std::function<void(const ConnectionState&)>;

  static std::shared_ptr<TcpConnection> make(std::string host, std::uint16_t port);
  // Dropping the last reference without cancel() closes the connection without reporting.
  ~TcpConnection();

  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }

  // Set before start().
  void setStateHandler(StateHandler handler);
  // Only the first call counts; a connection cancelled before it is started stays cancelled.
  void start(std::shared_ptr<platform::dispatch::Queue> queue);
  void cancel();
  ConnectionState state() const;

 private:
  struct Key {};

 public:
  TcpConnection(Key, std::string host, std::uint16_t port);  // through make()

 private:
  struct Attempt;

  // Resolves host and port; `flags` as for getaddrinfo.
  static std::shared_ptr<Attempt> resolve(const std::string& host, std::uint16_t port, int flags);
  bool cancelRequested() const;
  void enter(ConnectionState state);
  void beginAttempt();
  void onResolved(std::uint64_t generation, std::shared_ptr<Attempt> attempt);
  void tryNextAddress();
  void onConnectFinished(std::uint64_t generation);
  void finishConnect();
  void noteFailure(int err);
  void allAddressesFailed();
  void waitAndRetry(NetworkError error);
  void closeSocket();
  void finishCancel();

  const std::string host_;
  const std::uint16_t port_;

  mutable std::mutex m_;
  ConnectionState state_;
  StateHandler handler_;
  std::shared_ptr<platform::dispatch::Queue> queue_;
  bool started_ = false;
  bool cancelRequested_ = false;

  // Used only on the state queue.
  struct Work;
  std::unique_ptr<Work> work_;
};

}  // namespace platform::network
