#pragma once
// Loggers and helpers shared by the dispatcher and front-end tests.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLog.h"

namespace logtest {

using namespace std::chrono_literals;

// Waits (generously) until `done` holds; false when it never did.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = 20000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Records everything the dispatcher asks of it, in order: "add", "add-in-queue", "remove",
// "flush" and each message text. Checks that every call runs on its own queue.
class RecordingLogger : public DDAbstractLogger {
 public:
  explicit RecordingLogger(unsigned offered = kDidAddLogger | kWillRemoveLogger | kFlush,
                           std::string name = "test.recording")
      : offered_(offered), name_(std::move(name)) {}

  unsigned offeredOperations() const override {
    return DDAbstractLogger::offeredOperations() | offered_;
  }
  std::string loggerName() const override { return name_; }

  void logMessage(const DDLogMessagePtr& message) override {
    if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
    std::string text(message->message());
    if (_logFormatter) {
      auto formatted = _logFormatter->formatLogMessage(*message);
      if (!formatted) return;
      text = *formatted;
    }
    record(std::move(text));
  }
  void didAddLogger() override { record("add"); }
  void didAddLoggerInQueue(const platform::dispatch::QueuePtr& queue) override {
    record(queue == loggerQueue() ? "add-in-queue" : "add-in-wrong-queue");
  }
  void willRemoveLogger() override { record("remove"); }
  void flush() override {
    record("flush");
    flushes_.fetch_add(1);
  }

  void setDelay(std::chrono::microseconds d) { delay_ = d; }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  int offQueueCalls() const { return offQueue_.load(); }
  int flushes() const { return flushes_.load(); }

 private:
  void record(std::string e) {
    if (!isOnInternalLoggerQueue()) offQueue_.fetch_add(1);
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }

  const unsigned offered_;
  const std::string name_;
  std::chrono::microseconds delay_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::atomic<int> offQueue_{0};
  std::atomic<int> flushes_{0};
};

}  // namespace logtest
