#include "platform/notifications/BusConnection.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <exception>
#include <utility>

#include "platform/base/ErrnoText.h"
#include "platform/diagnostics/Diagnostics.h"

namespace platform::notifications {

using dispatch::Time;

void MessageUnref::operator()(sd_bus_message* m) const noexcept {
  sd_bus_message_unref(m);
}

std::optional<Error> replyError(sd_bus_message* reply) {
  if (!reply) return Error{SD_BUS_ERROR_NO_REPLY, "the connection to the session bus was closed"};
  if (!sd_bus_message_is_method_error(reply, nullptr)) return std::nullopt;
  const sd_bus_error* e = sd_bus_message_get_error(reply);
  std::string name = e && e->name ? e->name : SD_BUS_ERROR_FAILED;
  std::string description = e && e->message && *e->message ? e->message : name;
  return Error{std::move(name), std::move(description)};
}

Error callError(int negativeErrno, const std::string& what) {
  return Error{SD_BUS_ERROR_FAILED, what + ": " + base::errnoText(-negativeErrno)};
}

namespace {

// What a pending call or a match owns. sd-bus holds it through the slot's user data and frees
// it with the slot; a reply handler that never ran by then (the connection was dropped) still
// runs once, with no reply, so no caller waits for ever.
struct ReplyContext {
  BusConnection::ReplyHandler handler;
  std::shared_ptr<dispatch::Queue> queue;
  bool called = false;
};

struct MatchContext {
  BusConnection::SignalHandler handler;
};

template <class F>
void guarded(const char* what, F&& f) {
  // Handlers run inside sd-bus's C callbacks: nothing may unwind through them.
  try {
    f();
  } catch (const std::exception& e) {
    diagnostics::reportf("BusConnection: %s handler threw: %s", what, e.what());
  } catch (...) {
    diagnostics::reportf("BusConnection: %s handler threw", what);
  }
}

int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* ctx = static_cast<ReplyContext*>(userdata);
  ctx->called = true;
  guarded("reply", [&] { ctx->handler(m); });
  return 0;
}

void destroyReply(void* userdata) {
  std::unique_ptr<ReplyContext> ctx(static_cast<ReplyContext*>(userdata));
  if (ctx->called || !ctx->queue) return;
  ctx->queue->async(
      [handler = std::move(ctx->handler)] { guarded("reply", [&] { handler(nullptr); }); });
}

int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* ctx = static_cast<MatchContext*>(userdata);
  guarded("signal", [&] { ctx->handler(m); });
  return 0;
}

void destroyMatch(void* userdata) {
  std::unique_ptr<MatchContext> owned(static_cast<MatchContext*>(userdata));
}

// Hands the context to the slot (which frees it through `destroy`) and the slot to the bus.
template <class Context>
void adopt(sd_bus_slot* slot, std::unique_ptr<Context> ctx, sd_bus_destroy_t destroy) {
  sd_bus_slot_set_destroy_callback(slot, destroy);
  static_cast<void>(ctx.release());
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
}

}  // namespace

std::shared_ptr<BusConnection> BusConnection::open(const std::optional<std::string>& address,
                                                   std::shared_ptr<dispatch::Queue> queue,
                                                   std::function<void()> onClosed, Error& error) {
  sd_bus* bus = nullptr;
  int r;
  if (!address) {
    r = sd_bus_open_user(&bus);
  } else {
    r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address->c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  }
  if (r < 0) {
    sd_bus_unref(bus);
    error = Error{kNoBusError, "cannot connect to the session bus: " + base::errnoText(-r)};
    return nullptr;
  }
  auto connection =
      std::make_shared<BusConnection>(OpenTag{}, bus, std::move(queue), std::move(onClosed));
  connection->start();
  return connection;
}

BusConnection::BusConnection(OpenTag, sd_bus* bus, std::shared_ptr<dispatch::Queue> queue,
                             std::function<void()> onClosed)
    : bus_(bus), queue_(std::move(queue)), onClosed_(std::move(onClosed)) {}

BusConnection::~BusConnection() {
  if (readSource_) readSource_->cancel();
  if (timer_) timer_->cancel();
  // No flush: a stuck bus must not hold up the owner. Pending calls' handlers run with no reply.
  sd_bus_close_unref(bus_);
}

void BusConnection::start() {
  std::weak_ptr<BusConnection> weak = weak_from_this();
  auto pumpWeak = [weak] {
    if (auto self = weak.lock()) self->pump();
  };
  readSource_ = dispatch::ReadSource::make(sd_bus_get_fd(bus_), queue_);
  readSource_->setEventHandler(pumpWeak);
  readSource_->resume();
  timer_ = dispatch::TimerSource::make(queue_);
  timer_->setEventHandler(pumpWeak);
  timer_->schedule(Time::forever(), std::chrono::nanoseconds(0), std::chrono::nanoseconds(0));
  timer_->resume();
  // The authentication and the Hello call are under way: their deadline counts too.
  rearm();
}

bool BusConnection::isOpen() const {
  return !closed_ && sd_bus_is_open(bus_) > 0;
}

MessagePtr BusConnection::newMethodCall(const char* destination, const char* path,
                                        const char* interface, const char* member, Error& error) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &m, destination, path, interface, member);
  if (r < 0) {
    error = callError(r, std::string("cannot make the call ") + member);
    return nullptr;
  }
  return MessagePtr(m);
}

std::optional<Error> BusConnection::call(sd_bus_message* call, std::chrono::microseconds timeout,
                                         ReplyHandler handler) {
  if (closed_) return Error{SD_BUS_ERROR_NO_REPLY, "the connection to the session bus was closed"};
  auto ctx = std::make_unique<ReplyContext>(ReplyContext{std::move(handler), queue_});
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_call_async(bus_, &slot, call, &onReply, ctx.get(),
                            static_cast<std::uint64_t>(timeout.count()));
  if (r < 0) return callError(r, "cannot send the call");
  adopt(slot, std::move(ctx), &destroyReply);
  rearm();
  return std::nullopt;
}

std::optional<Error> BusConnection::addMatch(const std::string& rule, SignalHandler handler) {
  if (closed_) return Error{SD_BUS_ERROR_NO_REPLY, "the connection to the session bus was closed"};
  auto ctx = std::make_unique<MatchContext>(MatchContext{std::move(handler)});
  sd_bus_slot* slot = nullptr;
  // Asynchronous: the bus daemon handles the AddMatch before any later call of ours, so no
  // signal sent in answer to a later call can slip past it.
  int r = sd_bus_add_match_async(bus_, &slot, rule.c_str(), &onSignal, nullptr, ctx.get());
  if (r < 0) return callError(r, "cannot watch the notification server");
  adopt(slot, std::move(ctx), &destroyMatch);
  rearm();
  return std::nullopt;
}

void BusConnection::pump() {
  auto keepAlive = shared_from_this();  // a handler may drop its owner's last reference
  if (closed_) return;
  for (;;) {
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) {
      // Only after sd-bus has failed every waiting call and seen the connection end.
      close();
      return;
    }
    if (r == 0) break;
  }
  rearm();
}

void BusConnection::rearm() {
  if (closed_) return;
  std::uint64_t usec = UINT64_MAX;
  if (sd_bus_get_timeout(bus_, &usec) < 0 || usec == UINT64_MAX) {
    timer_->schedule(Time::forever(), std::chrono::nanoseconds(0), std::chrono::nanoseconds(0));
  } else {
    const std::int64_t deadline = static_cast<std::int64_t>(usec) * 1000;
    const std::int64_t delay = deadline - Time::now().nanoseconds();
    timer_->schedule(Time::after(std::chrono::nanoseconds(delay > 0 ? delay : 0)),
                     std::chrono::nanoseconds(0), std::chrono::milliseconds(1));
  }
  // A message larger than the socket takes at once waits in sd-bus's queue: come back for it
  // (the dispatch layer watches descriptors for reading only).
  if (!flushScheduled_ && (sd_bus_get_events(bus_) & POLLOUT)) {
    flushScheduled_ = true;
    std::weak_ptr<BusConnection> weak = weak_from_this();
    queue_->asyncAfter(Time::after(std::chrono::milliseconds(1)), [weak] {
      if (auto self = weak.lock()) {
        self->flushScheduled_ = false;
        self->pump();
      }
    });
  }
}

void BusConnection::close() {
  if (closed_) return;
  closed_ = true;
  readSource_->cancel();
  timer_->cancel();
  if (auto onClosed = std::exchange(onClosed_, nullptr)) guarded("close", onClosed);
}

}  // namespace platform::notifications
