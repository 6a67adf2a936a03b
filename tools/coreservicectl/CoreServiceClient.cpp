#include "tools/coreservicectl/CoreServiceClient.h"

#include <cmath>
#include <cstdlib>

#include "contract/CoreServiceContract.h"

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

// The tool makes one call at a time: the calling thread reads its reply from the socket itself.
CoreServiceClient::Outcome CoreServiceClient::call(const MethodDescription& method,
                                                   std::chrono::milliseconds timeout) {
  return connection_->sendSynchronousRequest(method, Value::array(), timeout);
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
