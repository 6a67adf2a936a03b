#pragma once
// One end of a local IPC connection: a Unix-domain SOCK_SEQPACKET socket carrying one CBOR map
// per packet (see Message.h).
//
// Service side (made by a Listener): the connection exports one interface and an object that
// implements it; each request is delivered to that object on the connection's serial queue, and
// its reply block sends the reply. Client side (makeToService): the connection connects on its
// first call, sends requests through a RemoteObjectProxy and runs each reply on its queue; when
// the service goes away the connection is interrupted and the next call connects again. A client
// trusts a service socket only when the process serving it runs as root or as the client's own
// user (ServiceNotTrusted otherwise).
//
// Events, always on the connection's own serial queue:
// - invalidation (handler runs once): the peer of a service-side connection closed or reset the
//   socket, or invalidate() was called. Handlers and the exported object are released after it.
// - interruption: a packet that cannot be decoded, is larger than kMaxMessageSize or names a
//   selector the exported interface does not list (the packet is dropped and the connection stays
//   exported); on the client side also the service going away (waiting calls fail with
//   ConnectionInterrupted).
//
// Flow control, so that a peer may send as fast as it likes and read at its own pace:
// - Service side: every call read from the socket is outstanding until its reply has been taken
//   by the socket. While kMaxOutstandingCalls calls are outstanding the connection reads no more
//   requests; it reads again once the peer has taken replies. Replies the socket cannot take yet
//   wait in the connection, in order. So a peer that never reads stalls only its own connection
//   and holds at most kMaxOutstandingCalls calls and replies of the service's memory (besides
//   the kernel's socket buffers); nothing is dropped and every call gets its one reply.
// - Client side: requests the socket cannot take yet wait in the connection, in order, up to
//   kMaxQueuedRequests; a caller that finds that queue full waits for room, except on the
//   connection's own queue (where waiting would wait for itself).
// A connection ends only when its peer is gone or it is invalidated; a full socket never ends it.
//
// Exported methods, reply blocks and handlers run on the connection's queue. When that queue is
// idle as a packet arrives, the event thread runs them itself, as the queue's next item, instead
// of waking a worker: so they must not block waiting for other events of the process (a timer,
// another connection's reply). Work that waits belongs on another queue, which replies when done.
//
// A service-side connection keeps itself alive from resume() until it is invalidated; a client
// connection lives as long as its owner (and its proxies) hold it.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/DescriptorWatch.h"
#include "platform/dispatch/Queue.h"
#include "platform/xpc/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/PeerCredentials.h"
#include "platform/xpc/Value.h"

namespace platform::xpc {

class RemoteObjectProxy;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Calls of one service-side connection that may be outstanding at once (see above).
  static constexpr std::size_t kMaxOutstandingCalls = 64;
  // Requests a client connection queues when its socket is full before callers wait.
  static constexpr std::size_t kMaxQueuedRequests = 256;

  // A client connection to the service registered under `serviceName`.
  static std::shared_ptr<Connection> makeToService(std::string serviceName);
  // A service-side connection over an accepted socket (owned from here on). `onClose` runs once,
  // when the socket is closed. Used by Listener and by tests.
  static std::shared_ptr<Connection> makeAccepted(base::FileDescriptor fd, std::string serviceName,
                                                  PeerCredentials peer,
                                                  std::function<void()> onClose = {});

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

  // A proxy whose calls report delivery failures to `errorHandler` (on the connection's queue).
  std::shared_ptr<RemoteObjectProxy> remoteObjectProxyWithErrorHandler(
      std::function<void(const Error&)> errorHandler);

  // Client side: sends a request for `method`; exactly one of `reply` (with the reply block's
  // arguments) and `onError` runs, on the connection's queue.
  void sendRequest(const MethodDescription& method, Value arguments,
                   std::function<void(Value)> reply, std::function<void(const Error&)> onError);

  // Client side: sends a request for `method` and waits on the calling thread, at most `timeout`,
  // for its outcome. When no other call of this connection is waiting, the calling thread reads
  // the reply from the socket itself, which spares the hand-over from the event thread (the
  // fast path for tools that make one call at a time); otherwise the call goes the
  // asynchronous way and is waited for. Never call it on the connection's own queue. The
  // outcome is defined in SynchronousOutcome.h (it holds a value, so it needs Message.h).
  struct SynchronousOutcome;
  SynchronousOutcome sendSynchronousRequest(const MethodDescription& method, Value arguments,
                                            std::chrono::milliseconds timeout);

  // "<Connection 0x... service: NAME, peer pid: PID>"; the pid reads "unknown" before a client
  // connection has connected.
  std::string description() const;
  pid_t processIdentifier() const;
  // The peer as the kernel saw it when the connection was made (service side: the client; client
  // side: the process serving the socket, empty before the first call). The pidfd is kept until
  // the connection has been accepted or refused by its listener, then closed, so that an idle
  // connection costs the service one descriptor. Read it on the connection's queue (the
  // listener's requirement and delegate run there); a client connection changes it when it
  // connects again.
  const PeerCredentials& peerCredentials() const;
  // A new pidfd of the peer, asked of the socket now: it names the process that made the
  // connection even after acceptance, and even when its pid has been reused since (the kernel
  // keeps the connecting process with the socket). Not valid when the connection has no socket
  // any more, or the kernel cannot tell (before Linux 6.5; then only the pid is known).
  base::FileDescriptor peerPidfd() const;
  const std::string& serviceName() const { return serviceName_; }
  const dispatch::QueuePtr& queue() const { return queue_; }
  bool isServiceSide() const { return role_ == Role::Service; }

  // Used by Listener once acceptance is decided.
  void releasePeerProcessHandle();

 private:
  enum class Role : std::uint8_t { Service, Client };
  enum class State : std::uint8_t { Suspended, Resumed, Invalidated };
  // Who owns the descriptor's readiness: nobody (no socket, or not resumed), the event thread
  // (armed with `armedEvents_`), the connection's queue (handling a report; re-arms after), a
  // synchronous caller reading its reply, or nobody between synchronous calls (Held: armed for
  // hang-ups only, so that a tool making one call after the other re-arms nothing per call; an
  // asynchronous call or a hang-up gives the socket back to the event thread).
  enum class Watch : std::uint8_t { Idle, Armed, Handling, Caller, Held };
  enum class SendResult : std::uint8_t { Sent, Full, Failed };
  struct Pending {
    std::function<void(Value)> reply;
    std::function<void(const Error&)> onError;
  };
  struct Packet {
    std::vector<std::uint8_t> bytes;
  };
  // A socket taken out of the connection, closed outside the lock (cancelling its watch waits
  // for a report the event thread may be delivering, which takes the lock): the watch goes
  // first, since the event thread must stop looking at the descriptor before it is closed.
  struct ClosedSocket {
    base::FileDescriptor fd;
    std::unique_ptr<dispatch::DescriptorWatch> watch;
    void close() {
      watch.reset();
      fd.reset();
    }
    ~ClosedSocket() { close(); }
  };
  class ReplySlot;

  Connection(Role role, std::string serviceName, base::FileDescriptor fd, PeerCredentials peer,
             std::function<void()> onClose);

  void setExportedObjectErased(std::shared_ptr<void> object, std::type_index type);
  std::optional<Error> connectLocked();
  bool startWatchingLocked();
  void onReadiness(std::uint32_t events);
  void handleEvents(bool onEventThread);
  // Reads and handles packets; false when the peer is gone.
  bool readPackets(int fd, std::uint32_t events, bool onEventThread);
  void handlePacket(std::span<const std::uint8_t> bytes);
  void handleRequest(Request request);
  void handleReply(Reply reply);
  void interrupted();
  void peerGone();
  void invalidateOnQueue();
  void failPending(std::unordered_map<std::uint64_t, Pending> pending, ErrorCode code,
                   const char* what);
  void sendReply(std::vector<std::uint8_t> bytes);
  // False when nobody could have had the reply any more (invalidated, or no socket).
  bool replyAbandoned();
  SendResult sendLocked(std::span<const std::uint8_t> bytes);
  // Sends what waits in outbound_ while the socket takes it; false when the peer is gone.
  bool flushLocked();
  bool readingAllowedLocked() const;
  std::uint32_t interestLocked() const;
  void updateInterestLocked();
  void closeSocketLocked(ClosedSocket& into);
  SynchronousOutcome waitForReply(int fd, std::uint64_t id,
                                  std::chrono::steady_clock::time_point deadline);
  SynchronousOutcome sendAndWait(const MethodDescription& method, Value arguments,
                                 std::chrono::milliseconds timeout);

  const Role role_;
  const std::string serviceName_;
  const dispatch::QueuePtr queue_;

  mutable std::mutex mutex_;
  std::condition_variable roomToSend_;  // client callers waiting for outbound_ to shrink
  base::FileDescriptor fd_;
  PeerCredentials peer_;
  std::function<void()> onClose_;
  State state_ = State::Suspended;
  bool invalidateRequested_ = false;  // set at once by invalidate(); no call is sent after it
  std::unique_ptr<dispatch::DescriptorWatch> watch_;
  Watch watchState_ = Watch::Idle;
  std::uint32_t armedEvents_ = 0;
  std::uint32_t pendingEvents_ = 0;
  std::uint64_t generation_ = 0;  // client: counts the sockets this connection has had
  // Synchronous callers poll their own descriptor of the socket, made once per socket: closing
  // the connection's cannot hand the number to another file while a caller still polls it.
  std::shared_ptr<base::FileDescriptor> callerFd_;
  bool reportedWhileCaller_ = false;  // a hang-up or error came while a caller held the socket
  std::deque<Packet> outbound_;
  std::size_t outstanding_ = 0;  // service: calls read whose reply the socket has not taken
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  std::shared_ptr<const Interface> exportedInterface_;
  std::shared_ptr<void> exportedObject_;
  std::optional<std::type_index> exportedType_;
  std::atomic<std::uint64_t> nextId_{1};
  std::unordered_map<std::uint64_t, Pending> pending_;
};

}  // namespace platform::xpc
