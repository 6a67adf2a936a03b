#include "platform/xpc/UserConnectionLimit.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/diagnostics/Diagnostics.h"

namespace platform::xpc {

UserConnectionLimit::UserConnectionLimit(std::size_t limit, std::string serviceName)
    : limit_(std::max<std::size_t>(limit, 1)),
      serviceName_(std::move(serviceName)),
      ownUid_(::geteuid()) {}

std::size_t UserConnectionLimit::fromDescriptorLimit(std::size_t softLimit, std::size_t reserved) {
  return softLimit > reserved ? std::max<std::size_t>((softLimit - reserved) / 4, 1) : 1;
}

bool UserConnectionLimit::exempt(uid_t uid) const {
  return uid == 0 || uid == ownUid_;
}

bool UserConnectionLimit::admit(uid_t uid) {
  if (exempt(uid)) return true;
  std::size_t held;
  {
    std::lock_guard lock(mutex_);
    Entry& entry = users_[uid];
    if (entry.held < limit_) {
      ++entry.held;
      return true;
    }
    if (entry.refused++ > 0) return false;
    held = entry.held;
  }
  diagnostics::reportf("Listener: uid %u holds %zu connections to %s, its share; refusing more",
                       static_cast<unsigned>(uid), held, serviceName_.c_str());
  return false;
}

void UserConnectionLimit::release(uid_t uid) {
  if (exempt(uid)) return;
  std::size_t refused = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = users_.find(uid);
    if (it == users_.end() || it->second.held == 0) return;
    --it->second.held;
    refused = std::exchange(it->second.refused, 0);
    if (it->second.held == 0) users_.erase(it);
  }
  if (refused > 0) {
    diagnostics::reportf(
        "Listener: refused %zu connections of uid %u to %s while it held its share", refused,
        static_cast<unsigned>(uid), serviceName_.c_str());
  }
}

}  // namespace platform::xpc
