// coreserviced: the CoreService daemon. No arguments, no configuration, no environment of its
// own: it logs to its rolling log files, serves the CoreService local service until SIGTERM or
// SIGINT, then stops listening and exits with status 0.

#include <csignal>
#include <cstdlib>
#include <memory>
#include <utility>

#include "daemon/CoreServiceDaemon.h"
#include "daemon/DaemonLog.h"
#include "daemon/DaemonLogSetup.h"
#include "logging/DDFileLogger.h"
#include "logging/DDLog.h"
#include "platform/base/NoDestructor.h"
#include "platform/bundle/InfoDictionary.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

// The daemon's info dictionary, the one the log file manager names the log files after.
CS_INFO_DICTIONARY(CS_BUNDLE_IDENTIFIER, CS_BUNDLE_SHORT_VERSION, CS_BUNDLE_VERSION);

namespace {

// The process-wide objects live until the process ends: never destroyed, so nothing runs their
// teardown while exit handlers flush the log or other threads still work.
using platform::base::NoDestructor;

std::shared_ptr<DDFileLogger>& fileLogger() {
  static NoDestructor<std::shared_ptr<DDFileLogger>> logger;
  return *logger;
}
std::shared_ptr<platform::dispatch::SignalSource>& sigtermSource() {
  static NoDestructor<std::shared_ptr<platform::dispatch::SignalSource>> source;
  return *source;
}
std::shared_ptr<platform::dispatch::SignalSource>& sigintSource() {
  static NoDestructor<std::shared_ptr<platform::dispatch::SignalSource>> source;
  return *source;
}
// Created on first use; a function-local static is initialised once, whatever thread asks.
const std::shared_ptr<CoreServiceDaemon>& daemon() {
  static NoDestructor<std::shared_ptr<CoreServiceDaemon>> instance(
      std::make_shared<CoreServiceDaemon>());
  return *instance;
}

void initLogs() {
  DDLog::sharedInstance()->addLogger(fileLogger(), DDLogLevel::all);
  const auto& info = platform::bundle::InfoDictionary::main();
  CSLogInfo("initLogs()", "-----------------------------------------");
  CSLogInfo("initLogs()", "*** CoreService Daemon launched - version: %@ (%@) ***",
            info.shortVersion.empty() ? std::string("N/A") : info.shortVersion,
            info.build.empty() ? std::string("N/A") : info.build);
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
