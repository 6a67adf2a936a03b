#pragma once
// The process's own domain objects: one per suite name and one standard domain, opened on first
// use under the base directory. Behind Domain::suite(), Domain::standard() and the base-directory
// calls; never destroyed, since domains and their watchers may still be in use while static
// objects are destroyed at exit.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform::defaults {

class Domain;

class DomainRegistry {
 public:
  static DomainRegistry& shared();

  void setBaseDirectory(std::filesystem::path base);
  std::filesystem::path baseDirectory();
  // nullptr when the name is refused (see Domain::suite).
  std::shared_ptr<Domain> suite(const std::string& name);
  std::shared_ptr<Domain> standard();

 private:
  std::filesystem::path baseLocked() const;

  std::mutex mutex_;
  std::filesystem::path base_;
  bool baseSet_ = false;
  std::map<std::string, std::shared_ptr<Domain>> suites_;
  std::shared_ptr<Domain> standard_;
};

}  // namespace platform::defaults
