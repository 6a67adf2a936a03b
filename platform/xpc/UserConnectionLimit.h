#pragma once
// How many connections each local user holds on one listener, and the bound beyond which a
// user's new connections are refused, so that no user can take every descriptor of the service
// and lock the others out. Root and the service's own user are not counted.

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace platform::xpc {

class UserConnectionLimit {
 public:
  // `limit` connections per user (at least one).
  UserConnectionLimit(std::size_t limit, std::string serviceName);

  // A quarter of the descriptors the soft limit leaves after `reserved`.
  static std::size_t fromDescriptorLimit(std::size_t softLimit, std::size_t reserved);

  // Counts a new connection of `uid` and returns true, or returns false when `uid` already holds
  // `limit` connections. The first refusal of a run is reported on the diagnostic channel.
  bool admit(uid_t uid);
  // A connection admitted for `uid` has closed. When it ends a run of refusals, how many there
  // were is reported.
  void release(uid_t uid);

  std::size_t limit() const { return limit_; }

 private:
  struct Entry {
    std::size_t held = 0;
    std::size_t refused = 0;
  };
  bool exempt(uid_t uid) const;

  const std::size_t limit_;
  const std::string serviceName_;
  const uid_t ownUid_;
  std::mutex mutex_;
  std::unordered_map<uid_t, Entry> users_;
};

}  // namespace platform::xpc
