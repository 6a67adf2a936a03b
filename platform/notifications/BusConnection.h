#pragma once
// A client connection to a D-Bus message bus (sd-bus), driven by one serial dispatch queue.
//
// sd-bus objects are not thread-safe, so every use of the connection, and every handler it runs,
// happens on that queue. Nothing blocks: method calls are sent asynchronously and their replies
// come back through the queue; the bus socket is watched by a read source and sd-bus's own
// deadlines (call time-outs, authentication) by a timer source, so a call whose peer never answers
// still ends, with an error, when its time-out passes.
//
// When the bus goes away every call still waiting gets an error reply, then the close handler
// runs once; the connection does nothing afterwards and its owner opens a new one when needed.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/notifications/NotificationTypes.h"

struct sd_bus;
struct sd_bus_message;

namespace platform::notifications {

struct MessageUnref {
  void operator()(sd_bus_message* m) const noexcept;
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// The error a reply carries, or nothing for a method return.
std::optional<Error> replyError(sd_bus_message* reply);
// An Error for a negative sd-bus return value: "<what>: <errno text>".
Error callError(int negativeErrno, const std::string& what);

class BusConnection : public std::enable_shared_from_this<BusConnection> {
 public:
  using ReplyHandler = std::function<void(sd_bus_message* reply)>;
  using SignalHandler = std::function<void(sd_bus_message* signal)>;

  // Connects to the bus at `address` (nullopt: the user's session bus, from
  // DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus). Returns nullptr and sets `error` when the
  // bus cannot be reached. `onClosed` runs on `queue` once the connection has ended.
  static std::shared_ptr<BusConnection> open(const std::optional<std::string>& address,
                                             std::shared_ptr<dispatch::Queue> queue,
                                             std::function<void()> onClosed, Error& error);
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  bool isOpen() const;

  // A method call message to fill in; nullptr (with `error` set) when sd-bus refuses.
  MessagePtr newMethodCall(const char* destination, const char* path, const char* interface,
                           const char* member, Error& error);
  // Sends `call`; `handler` runs once on the queue with the reply, or with an error reply when
  // the call fails, times out after `timeout` or the connection ends. Returns the error instead
  // (and never runs `handler`) when the call could not be sent.
  std::optional<Error> call(sd_bus_message* call, std::chrono::microseconds timeout,
                            ReplyHandler handler);
  // Asks the bus to route messages matching `rule` here and runs `handler` for each.
  std::optional<Error> addMatch(const std::string& rule, SignalHandler handler);

  // Handles everything that has arrived on the socket and every deadline that has passed.
  void pump();

  struct OpenTag {
    explicit OpenTag() = default;
  };
  BusConnection(OpenTag, sd_bus* bus, std::shared_ptr<dispatch::Queue> queue,
                std::function<void()> onClosed);

 private:
  void start();
  void rearm();
  void close();

  sd_bus* bus_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::function<void()> onClosed_;
  std::shared_ptr<dispatch::ReadSource> readSource_;
  std::shared_ptr<dispatch::TimerSource> timer_;
  bool closed_ = false;
  bool flushScheduled_ = false;
};

}  // namespace platform::notifications
