#pragma once
// The daemon object: owns the listener of the CoreService local service, accepts every
// connection, exports CoreServiceProtocol with itself as the exported object and answers ping
// and getStatus. It keeps no per-connection state; ping and getStatus read no shared mutable
// state and run in parallel on the connections' own queues.

#include <functional>
#include <memory>
#include <optional>

#include "daemon/CoreServiceProtocol.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Listener.h"

class CoreServiceDaemon : public CoreServiceProtocol,
                          public platform::xpc::ListenerDelegate,
                          public std::enable_shared_from_this<CoreServiceDaemon> {
 public:
  CoreServiceDaemon() = default;
  // Invalidates the listener if it is still set.
  ~CoreServiceDaemon() override;
  CoreServiceDaemon(const CoreServiceDaemon&) = delete;
  CoreServiceDaemon& operator=(const CoreServiceDaemon&) = delete;

  // Creates and resumes the listener for coreservice::kServiceName with this object as its
  // delegate, and keeps it in `listener`. Called on the main thread. Returns why the listener
  // cannot serve (the service is served already, no usable socket path); a listener kept from
  // an earlier call goes on serving.
  std::optional<platform::xpc::Error> start();

  bool shouldAcceptNewConnection(
      platform::xpc::Listener& listener,
      const std::shared_ptr<platform::xpc::Connection>& connection) override;

  void ping(std::function<void()> completionHandler) override;
  void getStatus(std::function<void(StatusDictionary)> completionHandler) override;

  // The current status dictionary.
  static StatusDictionary makeStatus();

  // Touched only on the main thread: by start() and the signal handlers.
  std::shared_ptr<platform::xpc::Listener> listener;
};
