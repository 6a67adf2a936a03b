#include "tools/coreservicectl/CoreServiceClient.h"

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "contract/CoreServiceContract.h"
#include "platform/xpc/RemoteObjectProxy.h"

namespace coreservicectl {

using platform::xpc::MethodDescription;
using platform::xpc::Value;

// Shared with the handlers, which may still run after a call that timed out has returned.
struct CoreServiceClient::CallState {
  std::mutex m;
  std::condition_variable cv;
  Outcome outcome;
  bool done = false;

  template <class F>
  void finish(F&& fill) {
    std::lock_guard lock(m);
    if (done) return;  // a late outcome is ignored
    fill(outcome);
    done = true;
    cv.notify_all();
  }
};

struct CoreServiceClient::Current {
  std::mutex m;
  std::shared_ptr<CallState> call;
};

CoreServiceClient::CoreServiceClient()
    : current_(std::make_shared<Current>()),
      connection_(
          platform::xpc::Connection::makeToService(std::string(coreservice::kServiceName))) {
  // A packet that is not a reply (the connection drops it and reports an interruption) would
  // leave the call waiting for its timeout: it ends the call at once. A service that goes away
  // interrupts too, after the call has had its own error.
  connection_->setInterruptionHandler([current = current_] {
    std::shared_ptr<CallState> call;
    {
      std::lock_guard lock(current->m);
      call = current->call;
    }
    if (call) call->finish([](Outcome& o) { o.unreadableReply = true; });
  });
  connection_->resume();
}

CoreServiceClient::~CoreServiceClient() {
  connection_->invalidate();
}

CoreServiceClient::Outcome CoreServiceClient::call(const MethodDescription& method,
                                                   std::chrono::milliseconds timeout) {
  auto state = std::make_shared<CallState>();
  {
    std::lock_guard lock(current_->m);
    current_->call = state;
  }
  auto proxy =
      connection_->remoteObjectProxyWithErrorHandler([state](const platform::xpc::Error& error) {
        state->finish([&](Outcome& o) { o.error = error; });
      });
  proxy->invoke(method, Value::array(), [state](Value reply) {
    state->finish([&](Outcome& o) { o.reply = std::move(reply); });
  });
  std::unique_lock lock(state->m);
  if (!state->cv.wait_for(lock, timeout, [&] { return state->done; })) {
    state->done = true;
    Outcome out;
    out.timedOut = true;
    return out;
  }
  return state->outcome;
}

std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
      seconds > 86400.0) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
}

}  // namespace coreservicectl
