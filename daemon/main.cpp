// coreserviced: the CoreService daemon. No arguments, no configuration, no environment of its
// own: it logs to its rolling log files, serves the CoreService local service until SIGTERM or
// SIGINT, then stops listening and exits with status 0.

#include <csignal>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "daemon/CoreServiceDaemon.h"
#include "daemon/DaemonLog.h"
#include "daemon/DaemonLogSetup.h"
#include "daemon/InfoDictionary.h"
#include "logging/DDFileLogger.h"
#include "logging/DDLog.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

namespace {

// Storage for an object that lives until the process ends: it is never destroyed, so nothing
// runs its teardown while exit handlers flush the log or other threads still work.
template <class T>
class Immortal {
 public:
  template <class... Args>
  explicit Immortal(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// The process-wide objects. Each is created once and lives until the process exits.
std::shared_ptr<DDFileLogger>& fileLogger() {
  static Immortal<std::shared_ptr<DDFileLogger>> logger;
  return logger.get();
}
std::shared_ptr<platform::dispatch::SignalSource>& sigtermSource() {
  static Immortal<std::shared_ptr<platform::dispatch::SignalSource>> source;
  return source.get();
}
std::shared_ptr<platform::dispatch::SignalSource>& sigintSource() {
  static Immortal<std::shared_ptr<platform::dispatch::SignalSource>> source;
  return source.get();
}
// Created on first use; a function-local static is initialised once, whatever thread asks.
const std::shared_ptr<CoreServiceDaemon>& daemon() {
  static Immortal<std::shared_ptr<CoreServiceDaemon>> instance(
      std::make_shared<CoreServiceDaemon>());
  return instance.get();
}

// This executable's info dictionary, from the build's definitions; none when built without them.
const std::optional<InfoDictionary>& mainInfoDictionary() {
  static const std::optional<InfoDictionary> info = []() -> std::optional<InfoDictionary> {
#if defined(CS_BUNDLE_IDENTIFIER) && defined(CS_BUNDLE_SHORT_VERSION) && defined(CS_BUNDLE_VERSION)
    return InfoDictionary{{"CFBundleIdentifier", CS_BUNDLE_IDENTIFIER},
                          {"CFBundleShortVersionString", CS_BUNDLE_SHORT_VERSION},
                          {"CFBundleVersion", CS_BUNDLE_VERSION}};
#else
    return std::nullopt;
#endif
  }();
  return info;
}

void initLogs() {
  DDLog::sharedInstance()->addLogger(fileLogger(), DDLogLevel::all);
  const auto& info = mainInfoDictionary();
  const std::string version = infoValueOrNA(info, "CFBundleShortVersionString");
  const std::string build = infoValueOrNA(info, "CFBundleVersion");
  CSLogInfo("initLogs()", "-----------------------------------------");
  CSLogInfo("initLogs()", "*** CoreService Daemon launched - version: %@ (%@) ***", version, build);
}

// What both signal handlers do once they have logged: stop listening and exit. The log is not
// flushed here: exit() runs the dispatcher's exit handler, which flushes every logger.
[[noreturn]] void invalidateListenerAndExit(const std::weak_ptr<CoreServiceDaemon>& weakDaemon) {
  if (auto d = weakDaemon.lock(); d && d->listener) d->listener->invalidate();
  if (auto d = weakDaemon.lock()) d->listener.reset();
  std::exit(0);
}

void installSignalHandlers() {
  // From here on neither signal ends the process by its default action; each is seen only
  // through its source on the main queue.
  std::signal(SIGTERM, SIG_IGN);
  std::signal(SIGINT, SIG_IGN);

  std::weak_ptr<CoreServiceDaemon> weakDaemon = daemon();
  auto term = platform::dispatch::SignalSource::make(SIGTERM, platform::dispatch::Queue::main());
  term->setEventHandler([weakDaemon] {
    CSLogInfo("installSignalHandlers()",
              "Received SIGTERM, invalidating XPC listener and exiting...");
    invalidateListenerAndExit(weakDaemon);
  });
  term->resume();
  sigtermSource() = std::move(term);

  auto interrupt =
      platform::dispatch::SignalSource::make(SIGINT, platform::dispatch::Queue::main());
  interrupt->setEventHandler([weakDaemon] {
    CSLogInfo("installSignalHandlers()",
              "Received SIGINT, invalidating XPC listener and exiting...");
    invalidateListenerAndExit(weakDaemon);
  });
  interrupt->resume();
  sigintSource() = std::move(interrupt);
}

}  // namespace

int main() {
  fileLogger() = makeDaemonFileLogger();
  initLogs();
  installSignalHandlers();
  daemon()->start();
  CSLogInfo("main()", "CoreService daemon ready, entering run loop");
  platform::dispatch::dispatchMain();
}
