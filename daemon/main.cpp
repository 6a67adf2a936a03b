// coreserviced: the CoreService daemon. No configuration and no environment of its own: it logs
// to its rolling log files, serves the CoreService local service until SIGTERM or SIGINT, then
// stops listening and exits with status 0. Its only options are --help and --version; anything
// else on its command line is a usage error (status 2) rather than something to start despite.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "daemon/CoreServiceDaemon.h"
#include "daemon/DaemonLog.h"
#include "daemon/DaemonLogSetup.h"
#include "daemon/ServiceManager.h"
#include "logging/DDCrashFlush.h"
#include "logging/DDFileLogger.h"
#include "logging/DDLog.h"
#include "platform/base/NoDestructor.h"
#include "platform/bundle/InfoDictionary.h"
#include "platform/cli/CommandLine.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/dispatch/WakeDeferral.h"

// The daemon's info dictionary, the one the log file manager names the log files after.
CS_INFO_DICTIONARY(CS_BUNDLE_IDENTIFIER, CS_BUNDLE_SHORT_VERSION, CS_BUNDLE_VERSION);

namespace {

// The process-wide objects live until the process ends: never destroyed, so nothing runs their
// teardown while exit handlers flush the log or other threads still work.
using platform::base::NoDestructor;

constexpr std::chrono::milliseconds kLogWakeWindow{1};

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

// A version field of the info dictionary as the banner and --version show it.
std::string orNA(const std::string& value) {
  return value.empty() ? std::string("N/A") : value;
}

void initLogs() {
  // Every request logs a line from the event thread. Waking the logging worker for each line
  // (and letting it fall asleep again) costs more than writing the line: let one wake-up take
  // the lines of a millisecond. Flushes still run at once (they sync onto the queue).
  platform::dispatch::deferWakeUps(*DDLog::loggingQueue(), kLogWakeWindow);
  DDLog::sharedInstance()->addLogger(fileLogger(), DDLogLevel::all);
  const auto& info = platform::bundle::InfoDictionary::main();
  CSLogInfo("initLogs()", "-----------------------------------------");
  CSLogInfo("initLogs()", "*** CoreService Daemon launched - version: %@ (%@) ***",
            orNA(info.shortVersion), orNA(info.build));
}

// What both signal handlers do first. Until the process has ended, clients that are connected
// already are still answered; a line queued once the exit flush has passed would be lost although
// its reply went out. From here on every line is written before the call that logs it returns.
void logSynchronouslyFromNowOn() {
  asyncLoggingEnabled.store(false);
}

// What both signal handlers do once they have logged: stop listening and exit. The log is not
// flushed here: exit() runs the dispatcher's exit handler, which flushes every logger.
[[noreturn]] void invalidateListenerAndExit(const std::weak_ptr<CoreServiceDaemon>& weakDaemon) {
  notifyServiceManager("STOPPING=1");
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
    logSynchronouslyFromNowOn();
    CSLogInfo("installSignalHandlers()",
              "Received SIGTERM, invalidating XPC listener and exiting...");
    invalidateListenerAndExit(weakDaemon);
  });
  term->resume();
  sigtermSource() = std::move(term);

  auto interrupt =
      platform::dispatch::SignalSource::make(SIGINT, platform::dispatch::Queue::main());
  interrupt->setEventHandler([weakDaemon] {
    logSynchronouslyFromNowOn();
    CSLogInfo("installSignalHandlers()",
              "Received SIGINT, invalidating XPC listener and exiting...");
    invalidateListenerAndExit(weakDaemon);
  });
  interrupt->resume();
  sigintSource() = std::move(interrupt);
}

// Every client connection costs the daemon a descriptor: take as many as the system allows this
// process (the hard limit) instead of the usual soft limit of 1,024.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Started with standard input, output or error closed, the daemon would hand those numbers to the
// first descriptors it makes (its event queue, a log file, a socket), and a diagnostic meant for
// standard error would be written into one of them. Each missing one is taken by /dev/null first.
// Without a /dev/null to open there is no safe place for diagnostics either: the daemon does not
// start.
bool occupyStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);  // the lowest free number: this one
    if (null != fd) {
      if (null != -1) ::close(null);
      return false;
    }
  }
  return true;
}

platform::cli::Syntax commandLineSyntax() {
  platform::cli::Syntax s;
  s.summary = "The CoreService daemon.";
  s.maxOperands = 0;
  s.details =
      "Serves the CoreService local service and writes every event to its rolling log files\n"
      "until SIGTERM or SIGINT. Under systemd, coreserviced.socket starts it on the first\n"
      "connection. Run by hand, it listens in /run as root and in $XDG_RUNTIME_DIR otherwise,\n"
      "and logs to $LOGS_DIRECTORY when set, else to /var/log/coreserviced as root and to\n"
      "$XDG_STATE_HOME/Logs/coreserviced otherwise.\n";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (!occupyStandardDescriptors()) return 1;
  const auto& info = platform::bundle::InfoDictionary::main();
  const auto syntax = commandLineSyntax();
  const auto parsed = platform::cli::parse(
      "coreserviced", syntax, std::vector<std::string>(argv + 1, argv + argc),
      "coreserviced (CoreService) " + orNA(info.shortVersion) + " (" + orNA(info.build) + ")");
  if (!parsed.invocation) return platform::cli::printOutcome(parsed);
  // A write to a socket or pipe whose reader has gone (a client that hung up, a closed standard
  // error) must fail with EPIPE, not end the daemon.
  std::signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();
  fileLogger() = makeDaemonFileLogger();
  initLogs();
  // A daemon that crashes still leaves the lines it had logged in its files: they tell why.
  // Failing to arm that is the daemon's own trouble, not an event of the service: it goes to the
  // diagnostic channel, and the log files keep only the service's own messages.
  if (!DDCrashFlush::install())
    platform::diagnostics::report("coreserviced: the crash-safe log flush could not be installed");
  installSignalHandlers();
  // The listener has said why on standard error (another instance serving already, most
  // likely); a daemon that cannot serve has nothing to do.
  if (daemon()->start()) std::exit(1);
  CSLogInfo("main()", "CoreService daemon ready, entering run loop");
  // Under systemd (Type=notify) the service counts as started from here: the listener is
  // resumed, so a client told the service is up is answered. Without NOTIFY_SOCKET this does
  // nothing.
  notifyServiceManager("READY=1");
  platform::dispatch::dispatchMain();
}
