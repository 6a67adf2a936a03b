#include "platform/notifications/NotificationStore.h"

#include <nlohmann/json.hpp>

#include <utility>

#include "platform/diagnostics/Diagnostics.h"

namespace platform::notifications {

using defaults::Value;

NotificationStore::NotificationStore(std::shared_ptr<defaults::Domain> domain)
    : domain_(std::move(domain)) {}

AuthorizationStatus NotificationStore::authorizationStatus() {
  if (!useDomain()) return status_;
  if (auto stored = domain_->object(kAuthorizationStatusKey)) {
    if (auto raw = stored->as<std::int64_t>()) return static_cast<AuthorizationStatus>(*raw);
  }
  return AuthorizationStatus::notDetermined;
}

void NotificationStore::setAuthorizationStatus(AuthorizationStatus status) {
  if (useDomain()) {
    if (domain_->set(kAuthorizationStatusKey, Value(static_cast<std::int64_t>(status)))) return;
    fallBackToMemory("the authorization answer");
  }
  // Kept here when it cannot be stored: a status that never sticks would have the caller ask for
  // permission again and again.
  status_ = status;
}

std::vector<DeliveredRecord> NotificationStore::delivered() {
  if (!useDomain()) return delivered_;
  auto stored = domain_->object(kDeliveredKey);
  if (!stored) return {};
  auto text = stored->as<std::string>();
  return text ? decode(*text).value_or(std::vector<DeliveredRecord>{})
              : std::vector<DeliveredRecord>{};
}

void NotificationStore::modifyDelivered(
    const std::function<void(std::vector<DeliveredRecord>&)>& change) {
  if (useDomain()) {
    const bool written = domain_->modify(
        kDeliveredKey, [&](const std::optional<Value>& stored) -> defaults::Domain::Update {
          std::vector<DeliveredRecord> list;
          if (stored) {
            if (auto text = stored->as<std::string>()) list = decode(*text).value_or(list);
          }
          const auto before = list;
          change(list);
          if (list == before) return std::nullopt;
          if (list.empty()) return std::optional<Value>();
          return std::optional<Value>(Value(encode(list)));
        });
    if (written) return;
    fallBackToMemory("the delivered notifications");
  }
  change(delivered_);
}

void NotificationStore::fallBackToMemory(const char* what) {
  // Carry over what the domain still shows, so that nothing already known is lost.
  status_ = authorizationStatus();
  delivered_ = delivered();
  inMemory_ = true;
  diagnostics::reportf(
      "NotificationStore: cannot store %s in the settings domain %s; keeping it in this process",
      what, domain_->name().c_str());
}

std::string NotificationStore::encode(const std::vector<DeliveredRecord>& records) {
  auto list = nlohmann::json::array();
  for (const auto& r : records) {
    list.push_back({{"id", r.identifier},
                    {"category", r.categoryIdentifier ? nlohmann::json(*r.categoryIdentifier)
                                                      : nlohmann::json(nullptr)},
                    {"bus", r.bus},
                    {"server", r.server},
                    {"serverId", r.serverId},
                    {"client", r.client}});
  }
  return list.dump();
}

std::optional<std::vector<DeliveredRecord>> NotificationStore::decode(const std::string& text) {
  const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_array()) return std::nullopt;
  std::vector<DeliveredRecord> records;
  for (const auto& item : json) {
    if (!item.is_object()) return std::nullopt;
    const auto id = item.find("id");
    const auto category = item.find("category");
    const auto bus = item.find("bus");
    const auto server = item.find("server");
    const auto serverId = item.find("serverId");
    const auto client = item.find("client");
    if (id == item.end() || !id->is_string() || bus == item.end() || !bus->is_string() ||
        server == item.end() || !server->is_string() || serverId == item.end() ||
        !serverId->is_number_unsigned() || serverId->get<std::uint64_t>() > UINT32_MAX ||
        client == item.end() || !client->is_string() || category == item.end() ||
        !(category->is_string() || category->is_null()))
      return std::nullopt;
    DeliveredRecord r;
    r.identifier = id->get<std::string>();
    if (category->is_string()) r.categoryIdentifier = category->get<std::string>();
    r.bus = bus->get<std::string>();
    r.server = server->get<std::string>();
    r.serverId = static_cast<std::uint32_t>(serverId->get<std::uint64_t>());
    r.client = client->get<std::string>();
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace platform::notifications
