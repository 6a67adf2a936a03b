#pragma once
// Can this machine open a TCP connection to a host within a time limit? The probe takes a URL,
// uses only its host, and connects to TCP port 80 of that host, whatever the URL's scheme or port
// say; it sends nothing and closes the connection as soon as it is open.
//
// Asynchronous form: checkConnectivity(url, timeout, completion) returns at once; the completion
// runs exactly once: on `backgroundQueue` for connection outcomes, on the global default queue
// for the time-out, or on the caller's thread, before the call returns, for a URL without a host.
// cancelConnectivityCheck() cancels the check in progress (its completion gets `cancelled`).
// Starting a check while another runs cancels the earlier one, whose caller later gets
// `cancelled`.
//
// Blocking form: the type-level checkConnectivity(url, timeout) waits at most `timeout` seconds
// and answers true only when the connection was made. It must not be called on a checker's
// background queue.
//
// Every step is logged. A check's time-out and its connection's state handler hold the checker
// weakly: a checker destroyed mid-check stops reporting (its completion is never called).
//
// Each check acts only on its own connection and time-out: a late report from a check that a
// newer one replaced never cancels or forgets the newer check's, so cancelConnectivityCheck()
// always reaches the check in progress.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/WorkItem.h"
#include "platform/network/NetworkError.h"
#include "platform/network/TcpConnection.h"

namespace sharedutils {

class ConnectivityChecker : public std::enable_shared_from_this<ConnectivityChecker> {
 public:
  class ConnectivityError {
   public:
    enum class Case : std::uint8_t {
      connectionFailed,
      invalidURL,
      timeout,
      cancelled,
      unknownError
    };

    static ConnectivityError connectionFailed(platform::network::NetworkError error) {
      return ConnectivityError(Case::connectionFailed, error);
    }
    static ConnectivityError invalidURL() { return ConnectivityError(Case::invalidURL); }
    static ConnectivityError timeout() { return ConnectivityError(Case::timeout); }
    static ConnectivityError cancelled() { return ConnectivityError(Case::cancelled); }
    static ConnectivityError unknownError() { return ConnectivityError(Case::unknownError); }

    Case kind() const { return case_; }
    // The platform's error, for connectionFailed.
    const std::optional<platform::network::NetworkError>& connectionError() const { return error_; }
    // "Connection failed with error: Connection refused", "The provided URL is invalid",
    // "The connection timed out", "The operation was cancelled", "An unknown error occurred".
    std::string errorDescription() const;

    friend bool operator==(const ConnectivityError&, const ConnectivityError&) = default;

   private:
    explicit ConnectivityError(Case c, std::optional<platform::network::NetworkError> e = {})
        : case_(c), error_(e) {}
    Case case_;
    std::optional<platform::network::NetworkError> error_;
  };

  // Success (no value) or failure with one error.
  class Result {
   public:
    static Result success() { return Result(std::nullopt); }
    static Result failure(ConnectivityError error) { return Result(std::move(error)); }
    bool isSuccess() const { return !error_; }
    const std::optional<ConnectivityError>& error() const { return error_; }

   private:
    explicit Result(std::optional<ConnectivityError> error) : error_(std::move(error)) {}
    std::optional<ConnectivityError> error_;
  };

  using Completion = std::function<void(const Result&)>;

  static std::shared_ptr<ConnectivityChecker> make();
  // Releases the check in progress without cancelling it: its connection is closed quietly and
  // its time-out, when due, only logs.
  ~ConnectivityChecker();

  // `timeout` is in seconds; a negative or NaN time-out counts as zero.
  void checkConnectivity(std::string_view url, double timeout, Completion completion);
  void cancelConnectivityCheck();
  static bool checkConnectivity(std::string_view url, double timeout);

  const std::shared_ptr<platform::dispatch::Queue>& backgroundQueue() const {
    return backgroundQueue_;
  }

 private:
  struct Key {};

 public:
  ConnectivityChecker(Key);  // through make()

 private:
  struct Check;

  void onTimeout(const std::shared_ptr<Check>& check);
  void onStateChange(const std::shared_ptr<Check>& check,
                     const platform::network::ConnectionState& state);
  void finish(const std::shared_ptr<Check>& check, const Result& result, bool cancelConnection);

  const std::shared_ptr<platform::dispatch::Queue> backgroundQueue_;
  std::atomic<bool> isCancelled_{false};
  // The caller's thread, backgroundQueue_ and the time-out's queue all touch these two.
  std::mutex lock_;
  std::shared_ptr<platform::network::TcpConnection> connectionCheck_;
  std::shared_ptr<platform::dispatch::WorkItem> timeoutTask_;
};

}  // namespace sharedutils
