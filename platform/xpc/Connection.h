#pragma once
// One end of a local IPC connection: a Unix-domain SOCK_SEQPACKET socket carrying one CBOR map
// per packet (see Message.h).
//
// Service side (made by a Listener): the connection exports one interface and an object that
// implements it; each request is delivered to that object on the connection's serial queue, and
// its reply block sends the reply. Client side (makeToService): the connection connects on its
// first call, sends requests through a RemoteObjectProxy and runs each reply on its queue; when
// the service goes away the connection is interrupted and the next call connects again.
//
// Events, always on the connection's own serial queue:
// - invalidation (handler runs once): the peer of a service-side connection closed or reset the
//   socket, or invalidate() was called. Handlers and the exported object are released after it.
// - interruption: a packet that cannot be decoded, is larger than kMaxMessageSize or names a
//   selector the exported interface does not list (the packet is dropped and the connection stays
//   exported); on the client side also the service going away (waiting calls fail with
//   ConnectionInterrupted).
//
// A service-side connection keeps itself alive from resume() until it is invalidated; a client
// connection lives as long as its owner (and its proxies) hold it.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <typeindex>
#include <unordered_map>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/xpc/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Message.h"

namespace platform::xpc {

class RemoteObjectProxy;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // A client connection to the service registered under `serviceName`.
  static std::shared_ptr<Connection> makeToService(std::string serviceName);
  // A service-side connection over an accepted socket (owned from here on); `peerPid` is the
  // peer's process identifier, 0 when unknown. Used by Listener and by tests.
  static std::shared_ptr<Connection> makeAccepted(int fd, std::string serviceName, pid_t peerPid);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Configuration, before resume().
  void setExportedInterface(Interface interface);
  template <class Protocol>
  void setExportedObject(std::shared_ptr<Protocol> object) {
    setExportedObjectErased(std::static_pointer_cast<void>(std::move(object)),
                            std::type_index(typeid(Protocol)));
  }
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);

  // Starts delivering events. Later calls do nothing.
  void resume();
  // Closes the connection; the invalidation handler runs once on the queue. Idempotent.
  void invalidate();

  // Service side: takes what watching the socket needs (a descriptor of the dispatch layer) now,
  // so that a process out of descriptors finds out before offering the connection. False when
  // it cannot; the connection may be prepared again later.
  bool prepareToWatch();

  // A proxy whose calls report delivery failures to `errorHandler` (on the connection's queue).
  std::shared_ptr<RemoteObjectProxy> remoteObjectProxyWithErrorHandler(
      std::function<void(const Error&)> errorHandler);

  // Client side: sends a request for `method`; exactly one of `reply` (with the reply block's
  // arguments) and `onError` runs, on the connection's queue.
  void sendRequest(const MethodDescription& method, Value arguments,
                   std::function<void(Value)> reply, std::function<void(const Error&)> onError);

  // "<Connection 0x... service: NAME, peer pid: PID>"; the pid reads "unknown" before a client
  // connection has connected.
  std::string description() const;
  pid_t processIdentifier() const;
  const std::string& serviceName() const { return serviceName_; }
  const dispatch::QueuePtr& queue() const { return queue_; }
  bool isServiceSide() const { return role_ == Role::Service; }

 private:
  enum class Role : std::uint8_t { Service, Client };
  enum class State : std::uint8_t { Suspended, Resumed, Invalidated };
  struct Pending {
    std::function<void(Value)> reply;
    std::function<void(const Error&)> onError;
  };

  Connection(Role role, std::string serviceName, int fd, pid_t peerPid);

  void setExportedObjectErased(std::shared_ptr<void> object, std::type_index type);
  std::optional<Error> connectLocked();
  // False when the descriptor cannot be watched (the process is out of descriptors).
  bool watchLocked();
  void readAvailable();
  void handleRequest(Request request);
  void handleReply(Reply reply);
  void interrupted();
  void peerGone();
  void invalidateOnQueue();
  void failPending(std::unordered_map<std::uint64_t, Pending> pending, ErrorCode code,
                   const char* what);
  bool sendPacket(std::span<const std::uint8_t> bytes);
  void sendReply(std::uint64_t id, Value arguments);

  const Role role_;
  const std::string serviceName_;
  const dispatch::QueuePtr queue_;

  mutable std::mutex mutex_;
  int fd_ = -1;
  pid_t peerPid_ = 0;
  State state_ = State::Suspended;
  bool invalidateRequested_ = false;  // set at once by invalidate(); no call is sent after it
  std::shared_ptr<dispatch::ReadSource> source_;
  bool watching_ = false;  // source_ is resumed and owns closing fd_
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  std::shared_ptr<const Interface> exportedInterface_;
  std::shared_ptr<void> exportedObject_;
  std::optional<std::type_index> exportedType_;
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, Pending> pending_;
};

}  // namespace platform::xpc
