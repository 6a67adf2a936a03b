#pragma once
// An observable setting bound to one key of a defaults domain.
//
// Reading asks the domain every time (the domain keeps its own cheap cache); a stored object that
// cannot be read as `Value` reads as the default. Writing follows the write rule: nothing is
// written or published when the new value is an absent optional and nothing is stored, or when
// the stored object already reads as an equal value; otherwise the key is removed (absent
// optional) or the value stored, and the value is sent to the publisher. Changes that reach the
// domain from anywhere (this process or another) are published when they carry a new value of
// the right type that differs from the old one.
//
// The write rule's comparison and the write itself run in one transaction of the domain, so two
// processes writing the same key cannot interleave between the check and the store. For the same
// reason an in-place modification's closure may run more than once when another process is
// writing at the same moment; it must only change the value it is given.
//
// Values reach subscribers synchronously: on the writing thread for writes, on the domain's
// observation queue for changes noticed in the domain. A write can therefore be published twice
// (once by the write, once when the domain reports the change); subscribers tolerate repeats.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "SharedUtils/AnyOptional.h"
#include "SharedUtils/Keys.h"
#include "platform/defaults/Domain.h"
#include "platform/reactive/AnyPublisher.h"
#include "platform/reactive/CurrentValueSubject.h"

namespace sharedutils {

using platform::defaults::Data;
using platform::defaults::DataList;
using platform::defaults::Date;
using platform::defaults::StringMap;

// The app-group suite shared by the client's processes.
inline constexpr std::string_view suiteName = "QX7TZ4PD2M.group";
// The suite's domain, opened once per process on first use; nullptr when the suite is refused.
std::shared_ptr<platform::defaults::Domain> shared();
// The process's standard domain.
std::shared_ptr<platform::defaults::Domain> standardDefaults();

namespace detail {

template <class V>
struct SettingValue {
  using Stored = V;
};
template <class V>
struct SettingValue<std::optional<V>> {
  using Stored = V;
};

// The stored object taken as `Value`, or nothing when it cannot be read as one. For an optional
// `Value` a missing object cannot be read either; the caller's default (absent) covers it.
template <class Value>
std::optional<Value> readAs(const std::optional<platform::defaults::Value>& object) {
  if (!object) return std::nullopt;
  auto v = object->template as<typename SettingValue<Value>::Stored>();
  if (!v) return std::nullopt;
  return Value(std::move(*v));
}

template <class Value>
bool isAbsent(const Value& v) {
  if constexpr (AnyOptional<Value>) {
    return isNil(v);
  } else {
    return false;
  }
}

template <class Value>
platform::defaults::Value toStored(const Value& v) {
  if constexpr (AnyOptional<Value>) {
    return platform::defaults::Value(*v);
  } else {
    return platform::defaults::Value(v);
  }
}

}  // namespace detail

template <class Value>
requires std::equality_comparable<Value>
class PublishedUserDefault {
 public:
  using Publisher = platform::reactive::AnyPublisher<Value>;

  PublishedUserDefault(Keys key, Value defaultValue,
                       std::shared_ptr<platform::defaults::Domain> container = nullptr)
      : key(std::move(key)),
        defaultValue(std::move(defaultValue)),
        container(container ? std::move(container) : defaultContainer()),
        publisher(read()) {
    if (this->container) {
      observerId_ = this->container->addObserver(
          this->key.rawValue, [this](const platform::defaults::Change& change) {
            observeValue(change.key, this->container.get(), &change, nullptr);
          });
    }
  }

  ~PublishedUserDefault() {
    if (container && observerId_) container->removeObserver(observerId_);
  }
  PublishedUserDefault(const PublishedUserDefault&) = delete;
  PublishedUserDefault& operator=(const PublishedUserDefault&) = delete;

  Value wrappedValue() const { return read(); }

  void setWrappedValue(const Value& newValue) {
    update([&](Value& v) { v = newValue; });
  }

  // Reads the value, lets `change` modify it and writes the result back by the write rule.
  void modifyWrappedValue(const std::function<void(Value&)>& change) { update(change); }

  // The type-erased publisher, made on the first request and the same object afterwards.
  Publisher& projectedValue() {
    std::call_once(publisherOnce_,
                   [this] { cachedPublisher.emplace(publisher.eraseToAnyPublisher()); });
    return *cachedPublisher;
  }

  // The domain's change notification for `keyPath` on `object`.
  void observeValue(std::optional<std::string_view> keyPath,
                    const platform::defaults::Domain* object,
                    const platform::defaults::Change* change, const void* /*context*/) {
    if (!keyPath || !object || !change || *keyPath != key.rawValue) return;
    auto newValue = detail::readAs<Value>(change->newValue);
    if (!newValue) return;
    if (auto oldValue = detail::readAs<Value>(change->oldValue); oldValue && *oldValue == *newValue)
      return;
    publisher.send(*newValue);
  }

  const Keys key;
  const Value defaultValue;
  const std::shared_ptr<platform::defaults::Domain> container;
  platform::reactive::CurrentValueSubject<Value> publisher;
  std::optional<Publisher> cachedPublisher;

 private:
  static std::shared_ptr<platform::defaults::Domain> defaultContainer() {
    if (auto s = shared()) return s;
    return standardDefaults();
  }

  Value read() const {
    if (!container) return defaultValue;
    if (auto v = detail::readAs<Value>(container->object(key.rawValue))) return std::move(*v);
    return defaultValue;
  }

  // The write rule, applied atomically in the domain; publishes after a successful write.
  void update(const std::function<void(Value&)>& change) {
    if (!container) return;
    std::optional<Value> written;
    const bool ok =
        container->modify(key.rawValue,
                          [&](const std::optional<platform::defaults::Value>& stored)
                              -> platform::defaults::Domain::Update {
                            written.reset();
                            const auto current = detail::readAs<Value>(stored);
                            Value v = current ? *current : defaultValue;
                            change(v);
                            if (!stored && detail::isAbsent(v)) return std::nullopt;
                            if (current && *current == v) return std::nullopt;
                            written.emplace(v);
                            if (detail::isAbsent(v))
                              return std::optional<platform::defaults::Value>();
                            return std::optional<platform::defaults::Value>(detail::toStored(v));
                          });
    if (ok && written) publisher.send(*written);
  }

  platform::defaults::Domain::ObserverId observerId_ = 0;
  std::once_flag publisherOnce_;
};

}  // namespace sharedutils
