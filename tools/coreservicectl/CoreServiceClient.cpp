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

CoreServiceClient::CoreServiceClient()
    : connection_(
          platform::xpc::Connection::makeToService(std::string(coreservice::kServiceName))) {
  connection_->resume();
}

CoreServiceClient::~CoreServiceClient() {
  connection_->invalidate();
}

CoreServiceClient::Outcome CoreServiceClient::call(const MethodDescription& method,
                                                   std::chrono::milliseconds timeout) {
  // Shared with the handlers, which may still run after a call that timed out has returned.
  struct State {
    std::mutex m;
    std::condition_variable cv;
    Outcome outcome;
    bool done = false;
  };
  auto state = std::make_shared<State>();
  auto proxy =
      connection_->remoteObjectProxyWithErrorHandler([state](const platform::xpc::Error& error) {
        std::lock_guard lock(state->m);
        if (state->done) return;
        state->outcome.error = error;
        state->done = true;
        state->cv.notify_all();
      });
  proxy->invoke(method, Value::array(), [state](Value reply) {
    std::lock_guard lock(state->m);
    if (state->done) return;
    state->outcome.reply = std::move(reply);
    state->done = true;
    state->cv.notify_all();
  });
  std::unique_lock lock(state->m);
  if (!state->cv.wait_for(lock, timeout, [&] { return state->done; })) {
    state->done = true;  // a late reply is ignored
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
