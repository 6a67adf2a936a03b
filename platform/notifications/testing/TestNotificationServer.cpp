#include "platform/notifications/testing/TestNotificationServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <utility>

#include "platform/base/ErrnoText.h"
#include "platform/notifications/NotificationsBusInterface.h"

namespace platform::notifications::testing {

namespace {

// "s:text", "y:1", "b:1" ... for the hint types this system sends; "?" for anything else.
std::string readVariant(sd_bus_message* m) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) < 0 || !contents) return "?";
  std::string text = std::string(contents) + ":";
  if (sd_bus_message_enter_container(m, 'v', contents) < 0) return "?";
  if (std::string(contents) == "s") {
    const char* s = nullptr;
    sd_bus_message_read(m, "s", &s);
    text += s ? s : "";
  } else if (std::string(contents) == "y") {
    std::uint8_t y = 0;
    sd_bus_message_read(m, "y", &y);
    text += std::to_string(y);
  } else if (std::string(contents) == "b") {
    int b = 0;
    sd_bus_message_read(m, "b", &b);
    text += std::to_string(b);
  } else {
    sd_bus_message_skip(m, contents);
    text += "?";
  }
  sd_bus_message_exit_container(m);
  return text;
}

}  // namespace

// The methods sd-bus calls, with the handler type it expects.
struct ServerCallbacks {
  static int onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<TestNotificationServer*>(userdata)->handleNotify(m);
  }
  static int onClose(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<TestNotificationServer*>(userdata)->handleClose(m);
  }
  static int onCapabilities(sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<TestNotificationServer*>(userdata)->record(bus::kGetCapabilities);
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_append(reply, "as", 3, "actions", "body", "sound");
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }
};

TestNotificationServer::TestNotificationServer(const std::string& address, Options options)
    : options_(options), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  int r = sd_bus_new(&bus_);
  if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
  if (r >= 0) r = sd_bus_start(bus_);
  if (r < 0) {
    failure_ = "cannot connect to " + address + ": " + base::errnoText(-r);
    return;
  }
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD(bus::kNotify, bus::kNotifySignature, "u", &ServerCallbacks::onNotify,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD(bus::kCloseNotification, "u", "", &ServerCallbacks::onClose,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD(bus::kGetCapabilities, "", "as", &ServerCallbacks::onCapabilities,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL(bus::kNotificationClosed, "uu", 0),
      SD_BUS_SIGNAL(bus::kActionInvoked, "us", 0),
      SD_BUS_VTABLE_END};
  r = sd_bus_add_object_vtable(bus_, nullptr, bus::kObjectPath, bus::kInterface, vtable, this);
  if (r >= 0) r = sd_bus_request_name(bus_, bus::kServiceName, 0);
  const char* unique = nullptr;
  if (r >= 0) r = sd_bus_get_unique_name(bus_, &unique);
  if (r < 0) {
    failure_ = std::string("cannot serve ") + bus::kServiceName + ": " + base::errnoText(-r);
    return;
  }
  uniqueName_ = unique;
  thread_ = std::thread([this] {
    serve();
    // Gone from the bus (or told to stop): nobody waits for a command any more.
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  });
}

TestNotificationServer::~TestNotificationServer() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    const std::uint64_t one = 1;
    static_cast<void>(write(wake_.get(), &one, sizeof one));
    thread_.join();
    // Give the name up and wait for the bus to confirm: anyone who asks the bus afterwards finds
    // the server gone (a bare disconnect is noticed by the bus in its own time).
    sd_bus_release_name(bus_, bus::kServiceName);
  }
  sd_bus_flush_close_unref(bus_);
}

int TestNotificationServer::handleNotify(sd_bus_message* m) {
  const auto receivedAt = std::chrono::steady_clock::now();
  const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  std::uint32_t replaces = 0;
  int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
  if (r < 0) return r;
  std::string actions;
  r = sd_bus_message_enter_container(m, 'a', "s");
  if (r < 0) return r;
  for (const char* word = nullptr; sd_bus_message_read(m, "s", &word) > 0;)
    actions += (actions.empty() ? "" : ",") + std::string(word);
  sd_bus_message_exit_container(m);
  std::map<std::string, std::string> hints;
  r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(m, "s", &key);
    hints[key ? key : ""] = readVariant(m);
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  std::int32_t timeout = 0;
  r = sd_bus_message_read(m, "i", &timeout);
  if (r < 0) return r;

  std::string hintText;
  for (const auto& [key, value] : hints)
    hintText += (hintText.empty() ? "" : ",") + key + "=" + value;
  std::uint32_t id = 0;
  {
    std::lock_guard lock(mutex_);
    id = replaces != 0 && onScreen_.count(replaces) ? replaces : nextId_++;
    if (options_.answerNotify) onScreen_.insert(id);
    notifications_.push_back({id, summary, body, receivedAt});
  }
  record(std::string("Notify app=\"") + app + "\" replaces=" + std::to_string(replaces) +
         " summary=\"" + summary + "\" body=\"" + body + "\" actions=[" + actions + "] hints={" +
         hintText + "} timeout=" + std::to_string(timeout));
  if (!options_.answerNotify) return 1;  // never answered: the caller's time-out must end it
  return sd_bus_reply_method_return(m, "u", id);
}

int TestNotificationServer::handleClose(sd_bus_message* m) {
  std::uint32_t id = 0;
  int r = sd_bus_message_read(m, "u", &id);
  if (r < 0) return r;
  bool shown;
  {
    // Off the screen by the time the call is seen: a test that waits for the call may look.
    std::lock_guard lock(mutex_);
    shown = onScreen_.erase(id) > 0;
    calls_.push_back(std::string(bus::kCloseNotification) + " " + std::to_string(id));
    changed_.notify_all();
  }
  // Closed by a call: reason 3.
  if (shown) emitClosed(id, 3);
  return sd_bus_reply_method_return(m, "");
}

void TestNotificationServer::record(std::string line) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(line));
  changed_.notify_all();
}

void TestNotificationServer::emitClosed(std::uint32_t id, std::uint32_t reason) {
  sd_bus_emit_signal(bus_, bus::kObjectPath, bus::kInterface, bus::kNotificationClosed, "uu", id,
                     reason);
}

std::vector<std::string> TestNotificationServer::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<TestNotificationServer::Notification> TestNotificationServer::notifications() const {
  std::lock_guard lock(mutex_);
  return notifications_;
}

std::set<std::uint32_t> TestNotificationServer::onScreen() const {
  std::lock_guard lock(mutex_);
  return onScreen_;
}

bool TestNotificationServer::waitForCalls(std::size_t count,
                                          std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return calls_.size() >= count; });
}

void TestNotificationServer::clearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
  notifications_.clear();
}

void TestNotificationServer::close(std::uint32_t id) {
  run([this, id] {
    bool shown;
    {
      std::lock_guard lock(mutex_);
      shown = onScreen_.erase(id) > 0;
    }
    if (shown) emitClosed(id, 2);
  });
}

void TestNotificationServer::invokeAction(std::uint32_t id, const std::string& key) {
  run([this, id, key] {
    sd_bus_emit_signal(bus_, bus::kObjectPath, bus::kInterface, bus::kActionInvoked, "us", id,
                       key.c_str());
    bool shown;
    {
      std::lock_guard lock(mutex_);
      shown = onScreen_.erase(id) > 0;
    }
    if (shown) emitClosed(id, 2);
  });
}

void TestNotificationServer::run(std::function<void()> command) {
  if (!thread_.joinable()) return;
  std::unique_lock lock(mutex_);
  commands_.push_back(std::move(command));
  const std::uint64_t ticket = ++commandsQueued_;
  const std::uint64_t one = 1;
  static_cast<void>(write(wake_.get(), &one, sizeof one));
  changed_.wait(lock, [&] { return commandsDone_ >= ticket || stopping_; });
}

void TestNotificationServer::serve() {
  for (;;) {
    for (;;) {
      const int r = sd_bus_process(bus_, nullptr);
      if (r < 0) return;
      if (r == 0) break;
    }
    std::deque<std::function<void()>> commands;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      commands.swap(commands_);
    }
    for (auto& command : commands)
      command();
    if (!commands.empty()) {
      sd_bus_flush(bus_);
      std::lock_guard lock(mutex_);
      commandsDone_ += commands.size();
      changed_.notify_all();
    }
    std::uint64_t usec = UINT64_MAX;
    int timeout = -1;
    if (sd_bus_get_timeout(bus_, &usec) >= 0 && usec != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
      timeout = usec <= nowUsec ? 0 : static_cast<int>((usec - nowUsec + 999) / 1000);
    }
    pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                     {wake_.get(), POLLIN, 0}};
    if (poll(fds, 2, timeout) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      static_cast<void>(read(wake_.get(), &count, sizeof count));
    }
  }
}

}  // namespace platform::notifications::testing
