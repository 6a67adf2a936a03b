#pragma once
// A dispatcher's records as a reactive stream.
//
//   auto token = platform::reactive::eraseToAnyPublisher(log->messagePublisher(DDLogLevel::info))
//                    .sink([](const DDLogMessagePtr& m) { ... });
//
// Subscribing registers a Subscription, a logger, with the dispatcher at the publisher's level;
// the subscriber then receives each admitted record on the subscription's logger queue, one at
// a time, in dispatcher order. Records are pushed as they come: the demand the subscriber
// returns is not looked at, and request() does nothing. Cancelling removes the subscription
// from the dispatcher (when it still exists) and drops the subscriber; once cancel() has
// returned (called anywhere but from a delivery) the subscriber receives nothing more.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLog.h"
#include "logging/DDLogFormatter.h"
#include "platform/reactive/Reactive.h"

class DDLog::MessagePublisher final : public platform::reactive::Publisher<DDLogMessagePtr> {
 public:
  MessagePublisher(std::shared_ptr<DDLog> log, DDLogLevel logLevel)
      : log_(std::move(log)), logLevel_(logLevel) {}

  const std::shared_ptr<DDLog>& log() const { return log_; }
  DDLogLevel logLevel() const { return logLevel_; }

  // receive(subscriber:)
  void subscribe(
      std::shared_ptr<platform::reactive::Subscriber<DDLogMessagePtr>> subscriber) override;

 private:
  std::shared_ptr<DDLog> log_;
  DDLogLevel logLevel_;
};

class DDLog::Subscription final : public DDAbstractLogger, public platform::reactive::Subscription {
 public:
  Subscription(std::shared_ptr<platform::reactive::Subscriber<DDLogMessagePtr>> subscriber,
               std::weak_ptr<DDLog> log);

  void logMessage(const DDLogMessagePtr& message) override;
  std::string loggerName() const override { return "orvel.quillmark.subscription"; }

  void request(platform::reactive::Demand demand) override;
  void cancel() override;

  // Registers with the dispatcher at `level` unless already cancelled.
  void start(DDLogLevel level);

 private:
  std::mutex mutex_;
  std::shared_ptr<platform::reactive::Subscriber<DDLogMessagePtr>> subscriber_;
  std::weak_ptr<DDLog> log_;
  bool cancelled_ = false;
};

// The texts of a stream of records, through `formatter`; records for which it returns nothing
// are left out. The formatter is called on the thread that delivers each record.
platform::reactive::AnyPublisher<std::string> formatted(
    const platform::reactive::AnyPublisher<DDLogMessagePtr>& records, DDLogFormatterPtr formatter);
