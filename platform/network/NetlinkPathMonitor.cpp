#include "platform/network/NetlinkPathMonitor.h"

#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/ErrnoText.h"
#include "platform/base/FileDescriptor.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Source.h"
#include "platform/network/NetlinkSocket.h"
#include "platform/network/NetworkSnapshot.h"

namespace platform::network {

namespace {

constexpr unsigned kGroups =
    RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;

// A dump the kernel flags as interrupted (its tables changed meanwhile) is taken again, this
// many times at most; after that the last one stands, and the change that interrupted it will
// bring another notification anyway.
constexpr int kDumpAttempts = 3;

// Reads per notification batch before evaluating: a flood that never lets the socket run dry
// still gets evaluated now and then (the source calls again while data is queued).
constexpr int kMaxReadsPerBatch = 256;

}  // namespace

class NetlinkPathMonitor::Core : public std::enable_shared_from_this<Core> {
 public:
  Core() : events_(kGroups) {
    // Subscribed before the first dump, so no change between the two can go unnoticed.
    netClassDir_.reset(open("/sys/class/net", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (events_.valid()) refresh(Stale::everything);
  }

  Path currentPath() const {
    std::lock_guard lock(m_);
    return path_;
  }

  void setHandler(UpdateHandler handler) {
    std::lock_guard lock(m_);
    if (!cancelled_) std::swap(handler_, handler);
  }

  void start(std::shared_ptr<platform::dispatch::Queue> queue) {
    if (!queue) return;
    std::shared_ptr<platform::dispatch::ReadSource> source;
    {
      std::lock_guard lock(m_);
      if (started_ || cancelled_) return;
      started_ = true;
      if (events_.valid())
        source_ = source = platform::dispatch::ReadSource::make(events_.fd(), queue);
    }
    std::weak_ptr<Core> weak = weak_from_this();
    // Queued before the source can fire, so the first delivery is the start's.
    queue->async([weak] {
      if (auto self = weak.lock()) self->onStart();
    });
    if (source) {
      source->setEventHandler([weak] {
        if (auto self = weak.lock()) self->onNotification();
      });
      source->resume();
    }
  }

  void cancel() {
    std::shared_ptr<platform::dispatch::ReadSource> source;
    UpdateHandler dropped;
    {
      std::lock_guard lock(m_);
      if (cancelled_) return;
      cancelled_ = true;
      source = std::move(source_);
      dropped = std::move(handler_);
    }
    if (source) source->cancel();
  }

 private:
  // What a batch of notifications asks to read again.
  enum class Stale : std::uint8_t { nothing, routes, everything };

  void onStart() {
    if (events_.valid()) {
      drain();  // whatever is queued is covered by the fresh dump below
      refresh(Stale::everything);
    }
    deliver(true);
  }

  void onNotification() {
    const Stale stale = drain();
    if (stale == Stale::nothing) return;
    refresh(stale);
    deliver(false);
  }

  // Reads every queued notification and says what they made stale. Route changes alone leave
  // links and addresses as they were; anything else (or notifications the kernel dropped) may
  // have changed everything.
  Stale drain() {
    Stale stale = Stale::nothing;
    for (int reads = 0; reads < kMaxReadsPerBatch; ++reads) {
      const ssize_t n = events_.receiveNow(buffer_.data(), buffer_.size());
      if (n > 0) {
        int left = static_cast<int>(n);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer_.data());
             mnl_nlmsg_ok(message, left); message = mnl_nlmsg_next(message, &left)) {
          const bool route =
              message->nlmsg_type == RTM_NEWROUTE || message->nlmsg_type == RTM_DELROUTE;
          stale = route && stale != Stale::everything ? Stale::routes : Stale::everything;
        }
      } else if (n < 0 && errno == ENOBUFS) {
        stale = Stale::everything;
      } else {
        if (n < 0 && !receiveFailureReported_) {
          receiveFailureReported_ = true;
          platform::diagnostics::reportf("NetlinkPathMonitor: reading notifications failed: %s",
                                         platform::base::errnoText(errno).c_str());
        }
        break;
      }
    }
    return stale;
  }

  // Reads the stale tables afresh and evaluates the path. A failed dump keeps the last path.
  void refresh(Stale stale) {
    const std::vector<std::uint16_t> kinds =
        stale == Stale::routes ? std::vector<std::uint16_t>{RTM_GETROUTE}
                               : std::vector<std::uint16_t>{RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE};
    NetworkSnapshot snapshot;
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
      snapshot = NetworkSnapshot();
      if (stale == Stale::routes) {
        snapshot.links = snapshot_.links;
        snapshot.addressedInterfaces = snapshot_.addressedInterfaces;
      }
      const auto add = [&](const nlmsghdr& message) { snapshot.add(message); };
      bool interrupted = false;
      for (const std::uint16_t kind : kinds) {
        const auto result = requests_.dump(kind, add);
        if (result == NetlinkSocket::DumpResult::failed) {
          platform::diagnostics::reportf(
              "NetlinkPathMonitor: reading the kernel's tables failed: %s",
              platform::base::errnoText(errno).c_str());
          return;
        }
        interrupted = interrupted || result == NetlinkSocket::DumpResult::interrupted;
      }
      if (!interrupted) break;
    }
    snapshot_ = std::move(snapshot);
    Path path =
        snapshot_.toPath([this](const NetworkSnapshot::Link& link) { return typeOf(link); });
    // Forget the kinds of interfaces that are gone; an index may come back with another device.
    std::erase_if(types_, [&](const auto& entry) {
      for (const auto& link : snapshot_.links)
        if (link.index == entry.first.first && link.name == entry.first.second) return false;
      return true;
    });
    std::lock_guard lock(m_);
    path_ = std::move(path);
  }

  // A device's kind does not change while it exists, so sysfs is read once per device.
  InterfaceType typeOf(const NetworkSnapshot::Link& link) {
    const auto key = std::make_pair(link.index, link.name);
    if (auto it = types_.find(key); it != types_.end()) return it->second;
    const InterfaceType type = classifyInterface(netClassDir_.get(), link.name, link.linkType);
    types_.emplace(key, type);
    return type;
  }

  void deliver(bool always) {
    Path path = currentPath();
    if (!always && delivered_ == path) return;
    delivered_ = path;
    UpdateHandler handler;
    {
      std::lock_guard lock(m_);
      if (cancelled_) return;
      handler = handler_;
    }
    if (handler) handler(path);
  }

  NetlinkSocket events_;
  NetlinkSocket requests_;
  platform::base::FileDescriptor netClassDir_;

  // Used only during construction and then on the monitor's queue.
  std::vector<char> buffer_ = std::vector<char>(NetlinkSocket::kReceiveBufferSize);
  std::map<std::pair<std::uint32_t, std::string>, InterfaceType> types_;
  NetworkSnapshot snapshot_;
  std::optional<Path> delivered_;
  bool receiveFailureReported_ = false;

  mutable std::mutex m_;
  Path path_;
  UpdateHandler handler_;
  std::shared_ptr<platform::dispatch::ReadSource> source_;
  bool started_ = false;
  bool cancelled_ = false;
};

NetlinkPathMonitor::NetlinkPathMonitor() : core_(std::make_shared<Core>()) {}

NetlinkPathMonitor::~NetlinkPathMonitor() {
  core_->cancel();
}

Path NetlinkPathMonitor::currentPath() const {
  return core_->currentPath();
}

void NetlinkPathMonitor::setUpdateHandler(UpdateHandler handler) {
  core_->setHandler(std::move(handler));
}

void NetlinkPathMonitor::start(std::shared_ptr<platform::dispatch::Queue> queue) {
  core_->start(std::move(queue));
}

void NetlinkPathMonitor::cancel() {
  core_->cancel();
}

}  // namespace platform::network
