#include "logging/DDLogPublisher.h"

std::shared_ptr<DDLog::MessagePublisher> DDLog::messagePublisher(DDLogLevel level) {
  return std::make_shared<MessagePublisher>(shared_from_this(), level);
}

void DDLog::MessagePublisher::subscribe(
    std::shared_ptr<platform::reactive::Subscriber<DDLogMessagePtr>> subscriber) {
  if (!subscriber) return;
  auto subscription = std::make_shared<Subscription>(subscriber, log_);
  // The subscriber gets its subscription before any record can reach it; a cancel from inside
  // receive() then keeps the subscription from being registered at all.
  subscriber->receive(std::static_pointer_cast<platform::reactive::Subscription>(subscription));
  subscription->start(logLevel_);
}

DDLog::Subscription::Subscription(
    std::shared_ptr<platform::reactive::Subscriber<DDLogMessagePtr>> subscriber,
    std::weak_ptr<DDLog> log)
    : subscriber_(std::move(subscriber)), log_(std::move(log)) {}

void DDLog::Subscription::start(DDLogLevel level) {
  std::lock_guard lock(mutex_);
  if (cancelled_) return;
  // Under the lock, so that a concurrent cancel's removal is always queued after this add.
  if (auto log = log_.lock()) log->addLogger(shared_from_this(), level);
}

void DDLog::Subscription::logMessage(const DDLogMessagePtr& message) {
  std::shared_ptr<platform::reactive::Subscriber<DDLogMessagePtr>> subscriber;
  {
    std::lock_guard lock(mutex_);
    subscriber = subscriber_;
  }
  if (subscriber) (void)subscriber->receive(message);
}

void DDLog::Subscription::request(platform::reactive::Demand /*demand*/) {}

void DDLog::Subscription::cancel() {
  std::shared_ptr<platform::reactive::Subscriber<DDLogMessagePtr>> dropped;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    dropped = std::move(subscriber_);
    if (auto log = log_.lock()) log->removeLogger(shared_from_this());
  }
  // Wait out a delivery in flight, unless this is that delivery (or the dispatcher's queue,
  // which may itself be waiting for this logger).
  if (!isOnInternalLoggerQueue() && !DDLog::isOnLoggingQueue()) loggerQueue()->sync([] {});
}

platform::reactive::AnyPublisher<std::string> formatted(
    const platform::reactive::AnyPublisher<DDLogMessagePtr>& records, DDLogFormatterPtr formatter) {
  return records.compactMap([formatter = std::move(formatter)](
                                const DDLogMessagePtr& message) -> std::optional<std::string> {
    if (!formatter || !message) return std::nullopt;
    return formatter->formatLogMessage(*message);
  });
}
