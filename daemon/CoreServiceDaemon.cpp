#include "daemon/CoreServiceDaemon.h"

#include <chrono>
#include <string>

#include "daemon/DaemonLog.h"
#include "platform/xpc/Message.h"

CoreServiceDaemon::~CoreServiceDaemon() {
  if (listener) listener->invalidate();
  CSLogInfo("deinit", "CoreServiceDaemon deinitialized, listener invalidated");
}

std::optional<platform::xpc::Error> CoreServiceDaemon::start() {
  CSLogInfo("start()", "Starting CoreService daemon with mach service: " CORESERVICE_SERVICE_NAME);
  auto newListener =
      platform::xpc::Listener::makeForService(std::string(coreservice::kServiceName));
  newListener->setDelegate(weak_from_this());
  // A failure to listen is reported on the diagnostic channel by the listener itself.
  auto error = newListener->resume();
  // An earlier listener is released, not invalidated: it keeps serving.
  listener = std::move(newListener);
  if (error) return error;
  CSLogInfo("start()", "NSXPCListener started and resumed");
  return std::nullopt;
}

bool CoreServiceDaemon::shouldAcceptNewConnection(
    platform::xpc::Listener&, const std::shared_ptr<platform::xpc::Connection>& connection) {
  static constexpr char kFunction[] = "listener(_:shouldAcceptNewConnection:)";
  CSLogInfo(kFunction, "Accepted new XPC connection: %@", connection->description());
  connection->setExportedInterface(CoreServiceProtocol::interface());
  connection->setExportedObject<CoreServiceProtocol>(shared_from_this());
  // The handlers hold the connection strongly so that they can describe it; the connection
  // releases them once invalidated.
  connection->setInvalidationHandler([connection] {
    CSLogInfo(kFunction, "XPC connection invalidated: %@", connection->description());
  });
  connection->setInterruptionHandler([connection] {
    CSLogWarn(kFunction, "XPC connection interrupted: %@", connection->description());
  });
  connection->resume();
  return true;
}

void CoreServiceDaemon::ping(std::function<void()> completionHandler) {
  CSLogDebug("ping(completionHandler:)", "Received ping from client");
  completionHandler();
}

void CoreServiceDaemon::getStatus(std::function<void(StatusDictionary)> completionHandler) {
  CSLogDebug("getStatus(completionHandler:)", "Received status request from client");
  completionHandler(makeStatus());
}

StatusDictionary CoreServiceDaemon::makeStatus() {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return StatusDictionary{{coreservice::kStatusDaemonKey, coreservice::kStatusRunning},
                          {coreservice::kStatusTimestampKey, now}};
}
