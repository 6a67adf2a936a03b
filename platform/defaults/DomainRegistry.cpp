#include "platform/defaults/DomainRegistry.h"

#include <utility>

#include "platform/base/NoDestructor.h"
#include "platform/bundle/InfoDictionary.h"
#include "platform/defaults/Domain.h"

namespace platform::defaults {

DomainRegistry& DomainRegistry::shared() {
  static platform::base::NoDestructor<DomainRegistry> registry;
  return *registry;
}

std::filesystem::path DomainRegistry::baseLocked() const {
  return baseSet_ ? base_ : Domain::defaultBaseDirectory();
}

void DomainRegistry::setBaseDirectory(std::filesystem::path base) {
  std::lock_guard lock(mutex_);
  base_ = std::move(base);
  baseSet_ = true;
}

std::filesystem::path DomainRegistry::baseDirectory() {
  std::lock_guard lock(mutex_);
  return baseLocked();
}

std::shared_ptr<Domain> DomainRegistry::suite(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name == bundle::InfoDictionary::main().identifier) {
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  auto& slot = suites_[name];
  if (!slot) slot = Domain::open(name, baseLocked() / name);
  return slot;
}

std::shared_ptr<Domain> DomainRegistry::standard() {
  std::lock_guard lock(mutex_);
  if (!standard_) {
    const auto& id = bundle::InfoDictionary::main().identifier;
    standard_ = Domain::open(id, baseLocked() / id);
  }
  return standard_;
}

}  // namespace platform::defaults
