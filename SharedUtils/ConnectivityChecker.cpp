#include "SharedUtils/ConnectivityChecker.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>

#include "logging/DDLogFrontEnd.h"
#include "platform/base/HexDigit.h"
#include "platform/dispatch/Semaphore.h"

namespace sharedutils {

using platform::dispatch::Queue;
using platform::dispatch::Semaphore;
using platform::dispatch::Time;
using platform::dispatch::WorkItem;
using platform::network::ConnectionState;
using platform::network::TcpConnection;

namespace {

// The probe always connects to the HTTP port, whatever the URL says.
constexpr std::uint16_t kProbePort = 80;

// Where a URL's authority ("//" then user, host and port) begins; absent when it has none.
std::optional<std::size_t> authorityStart(std::string_view url) {
  if (url.starts_with("//")) return 2;
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 ||
      !std::isalpha(static_cast<unsigned char>(url[0])))
    return std::nullopt;
  for (const char c : url.substr(1, colon - 1)) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return std::nullopt;
  }
  if (url.substr(colon + 1, 2) != "//") return std::nullopt;
  return colon + 3;
}

// An IPv6 zone as a URL writes it (unreserved characters and %XX escapes), decoded; empty when
// it is empty or malformed.
std::string decodedZone(std::string_view text) {
  using platform::base::hexDigitValue;
  std::string zone;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || hexDigitValue(text[i + 1]) < 0 || hexDigitValue(text[i + 2]) < 0)
        return {};
      const char decoded =
          static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
      // An interface name: no blank, control or escape character.
      if (!std::isgraph(static_cast<unsigned char>(decoded)) || decoded == '%') return {};
      zone.push_back(decoded);
      i += 2;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
               c == '~') {
      zone.push_back(c);
    } else {
      return {};
    }
  }
  return zone;
}

// A URL's host as written (an IPv6 literal without its brackets); absent when the text names no
// host. Only the scheme and the authority are parsed: the probe ignores the path, query and
// fragment, so a character there that a strict grammar refuses must not lose the host.
std::optional<std::string> hostOf(std::string_view url) {
  const auto start = authorityStart(url);
  if (!start) return std::nullopt;
  const auto end = std::min(url.find_first_of("/?#", *start), url.size());
  std::string head(url.substr(0, end));
  // The URL parser knows no zone in an IPv6 literal ("[fe80::1%25en0]"): it is taken out for the
  // parse and given back to the host, decoded, as the connection expects it ("fe80::1%en0").
  std::string zone;
  const auto at = head.rfind('@');
  const std::size_t hostFrom = at == std::string::npos ? *start : at + 1;
  if (hostFrom < head.size() && head[hostFrom] == '[') {
    const auto close = head.find(']', hostFrom);
    const auto zoneStart = head.find("%25", hostFrom);
    if (close != std::string::npos && zoneStart < close) {
      zone = decodedZone(std::string_view(head).substr(zoneStart + 3, close - zoneStart - 3));
      if (zone.empty()) return std::nullopt;
      head.erase(zoneStart, close - zoneStart);
    }
  }
  UriUriA uri;
  if (uriParseSingleUriExA(&uri, head.data(), head.data() + head.size(), nullptr) != URI_SUCCESS)
    return std::nullopt;
  std::optional<std::string> host;
  if (uri.hostText.first != nullptr && uri.hostText.afterLast > uri.hostText.first)
    host.emplace(uri.hostText.first, uri.hostText.afterLast);
  uriFreeUriMembersA(&uri);
  if (host && !zone.empty()) *host += "%" + zone;
  return host;
}

std::chrono::nanoseconds delayOf(double seconds) {
  // Not NaN and not negative; about 30 years at most, which the clock's 64 bits still hold.
  constexpr double kLongest = 1e9;
  if (!(seconds > 0)) seconds = 0;
  if (seconds > kLongest) seconds = kLongest;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

// What one check's time-out and state handler share.
struct ConnectivityChecker::Check {
  explicit Check(Completion c) : completion(std::move(c)) {}
  // Set by whichever of the time-out and the state handler completes the check first.
  std::atomic<bool> completed{false};
  const Completion completion;
  std::weak_ptr<TcpConnection> connection;
  std::weak_ptr<WorkItem> timeout;
};

std::string ConnectivityChecker::ConnectivityError::errorDescription() const {
  switch (case_) {
    case Case::connectionFailed:
      return "Connection failed with error: " +
             (error_ ? error_->localizedDescription() : std::string());
    case Case::invalidURL:
      return "The provided URL is invalid";
    case Case::timeout:
      return "The connection timed out";
    case Case::cancelled:
      return "The operation was cancelled";
    case Case::unknownError:
      break;
  }
  return "An unknown error occurred";
}

std::shared_ptr<ConnectivityChecker> ConnectivityChecker::make() {
  return std::make_shared<ConnectivityChecker>(Key{});
}

ConnectivityChecker::ConnectivityChecker(Key)
    : backgroundQueue_(Queue::makeSerial("com.tarvosys.connectivityTest",
                                         platform::dispatch::QoS::Unspecified)) {}

ConnectivityChecker::~ConnectivityChecker() = default;

void ConnectivityChecker::checkConnectivity(std::string_view url, double timeout,
                                            Completion completion) {
  DDLogVerbose("checkConnectivity: url: %@, timeout: %lf", url, timeout);
  auto host = hostOf(url);
  if (!host) {
    DDLogWarn("checkConnectivity: invalid URL, no host");
    if (completion) completion(Result::failure(ConnectivityError::invalidURL()));
    return;
  }

  auto check = std::make_shared<Check>(std::move(completion));
  auto connection = TcpConnection::make(std::move(*host), kProbePort);
  check->connection = connection;
  std::weak_ptr<ConnectivityChecker> weak = weak_from_this();
  auto timeoutTask = WorkItem::make([weak, check] {
    if (auto self = weak.lock()) {
      self->onTimeout(check);
    } else {
      DDLogDebug("checkConnectivity: already cancelled or completed");
    }
  });
  check->timeout = timeoutTask;

  std::shared_ptr<TcpConnection> previous;
  std::shared_ptr<WorkItem> previousTimeout;
  {
    std::lock_guard lock(lock_);
    previous = std::exchange(connectionCheck_, connection);
    isCancelled_.store(false);
    previousTimeout = std::exchange(timeoutTask_, timeoutTask);
  }
  if (previous) {
    DDLogDebug("checkConnectivity: cancelling previous in-flight check");
    previous->cancel();
  }
  if (previousTimeout) previousTimeout->cancel();
  Queue::global(platform::dispatch::QoS::Default)
      ->asyncAfter(Time::after(delayOf(timeout)), timeoutTask->block());

  connection->setStateHandler([weak, check](const ConnectionState& state) {
    if (auto self = weak.lock()) self->onStateChange(check, state);
  });
  connection->start(backgroundQueue_);
}

void ConnectivityChecker::onTimeout(const std::shared_ptr<Check>& check) {
  // Test-and-set: the state handler may be completing the check on its own queue right now.
  if (isCancelled_.load() || check->completed.exchange(true)) {
    DDLogDebug("checkConnectivity: already cancelled or completed");
    return;
  }
  DDLogWarn("checkConnectivity: Timeout!");
  finish(check, Result::failure(ConnectivityError::timeout()), true);
}

void ConnectivityChecker::onStateChange(const std::shared_ptr<Check>& check,
                                        const ConnectionState& state) {
  const bool terminal = state.kind != ConnectionState::Kind::setup &&
                        state.kind != ConnectionState::Kind::preparing &&
                        state.kind != ConnectionState::Kind::waiting;
  // A terminal state claims the check in the same step that tests it, so the time-out cannot
  // complete it in between.
  const bool alreadyCompleted =
      terminal ? check->completed.exchange(true) : check->completed.load();
  if (alreadyCompleted) {
    DDLogVerbose("checkConnectivity: ignoring state change %@ \u2014 already completed",
                 platform::network::toString(state.kind));
    return;
  }
  const std::string errorText = state.error ? state.error->localizedDescription() : std::string();
  switch (state.kind) {
    case ConnectionState::Kind::setup:
      DDLogDebug("checkConnectivity: Connection is being setup");
      return;
    case ConnectionState::Kind::preparing:
      DDLogDebug("checkConnectivity: Connection is preparing");
      return;
    case ConnectionState::Kind::waiting:
      // The check goes on until the connection moves on or the time-out runs.
      DDLogDebug("checkConnectivity: Connection is waiting: %@", errorText);
      return;
    case ConnectionState::Kind::ready:
      DDLogVerbose("checkConnectivity: connectivity established");
      finish(check, Result::success(), true);
      return;
    case ConnectionState::Kind::failed:
      DDLogVerbose("checkConnectivity: connectivity failed: %@", errorText);
      finish(check,
             Result::failure(ConnectivityError::connectionFailed(
                 state.error.value_or(platform::network::NetworkError{}))),
             true);
      return;
    case ConnectionState::Kind::cancelled:
      DDLogDebug("checkConnectivity: Connection cancelled");
      finish(check, Result::failure(ConnectivityError::cancelled()), false);
      return;
  }
  DDLogDebug("checkConnectivity: Connection result unknown");
  finish(check, Result::failure(ConnectivityError::unknownError()), true);
}

// Completes a check that the caller has just claimed: stops its time-out, reports, closes its
// connection and lets the instance forget both, unless a newer check holds the instance's
// references by now.
void ConnectivityChecker::finish(const std::shared_ptr<Check>& check, const Result& result,
                                 bool cancelConnection) {
  auto timeout = check->timeout.lock();
  if (timeout) timeout->cancel();
  if (check->completion) check->completion(result);
  auto connection = check->connection.lock();
  if (cancelConnection && connection) connection->cancel();
  std::shared_ptr<TcpConnection> releasedConnection;
  std::shared_ptr<WorkItem> releasedTimeout;
  std::lock_guard lock(lock_);
  if (connection && connectionCheck_ == connection)
    releasedConnection = std::move(connectionCheck_);
  if (timeout && timeoutTask_ == timeout) releasedTimeout = std::move(timeoutTask_);
}

void ConnectivityChecker::cancelConnectivityCheck() {
  std::weak_ptr<ConnectivityChecker> weak = weak_from_this();
  backgroundQueue_->async([weak] {
    auto self = weak.lock();
    if (!self) {
      DDLogDebug("cancelConnectivityCheck: self is nil, do nothing");
      return;
    }
    DDLogDebug("cancelConnectivityCheck: set isCancelled");
    std::shared_ptr<TcpConnection> connection;
    std::shared_ptr<WorkItem> timeout;
    {
      std::lock_guard lock(self->lock_);
      connection = self->connectionCheck_;
      timeout = self->timeoutTask_;
    }
    // The references are cleared by the state handler when the cancelled state comes in.
    if (connection) {
      DDLogDebug("cancelConnectivityCheck: connectionCheck existed, cancelling");
      connection->cancel();
    }
    if (timeout) {
      timeout->cancel();
      DDLogDebug("cancelConnectivityCheck: timeoutTask existed, cancelling");
    }
    self->isCancelled_.store(true);
  });
}

bool ConnectivityChecker::checkConnectivity(std::string_view url, double timeout) {
  // Shared with the completion, which may still run (on another queue) after this returns.
  struct Outcome {
    Semaphore done{0};
    std::atomic<bool> reachable{false};
  };
  auto outcome = std::make_shared<Outcome>();
  auto checker = make();
  auto start = [&] {
    checker->checkConnectivity(url, timeout, [outcome](const Result& result) {
      outcome->reachable.store(result.isSuccess());
      outcome->done.signal();
    });
  };
  // This thread only waits once the check is started, so it serves the new checker's own queue
  // meanwhile: the connection's first steps, and an answer that comes at once (a local host),
  // then run here instead of waking a worker and being woken by it. The queue stays serial and
  // the handlers still run as that queue; an answer that takes longer arrives as usual.
  if (!checker->backgroundQueue_->runInlineAndDrainIfIdle(start)) start();
  if (!outcome->done.wait(Time::after(delayOf(timeout))))
    DDLogWarn("checkConnectivity semaphore timed out");
  checker.reset();
  return outcome->reachable.load();
}

}  // namespace sharedutils
