#include "platform/defaults/ChangeWatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/base/ErrnoText.h"
#include "platform/base/FileDescriptor.h"
#include "platform/diagnostics/Diagnostics.h"

namespace platform::defaults {

std::unique_ptr<ChangeWatcher> ChangeWatcher::start(const std::string& name,
                                                    const std::filesystem::path& directory,
                                                    std::shared_ptr<dispatch::Queue> queue,
                                                    std::function<void()> onChange) {
  platform::base::FileDescriptor inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify) {
    diagnostics::reportf("Defaults: cannot watch the domain \"%s\": inotify: %s", name.c_str(),
                         platform::base::errnoText(errno).c_str());
    return nullptr;
  }
  if (inotify_add_watch(inotify.get(), directory.c_str(),
                        IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
    diagnostics::reportf("Defaults: cannot watch the domain \"%s\" at %s: %s", name.c_str(),
                         directory.c_str(), platform::base::errnoText(errno).c_str());
    return nullptr;
  }
  auto source = dispatch::ReadSource::make(inotify.get(), std::move(queue));
  if (!source) return nullptr;
  // The handler owns the descriptor it drains: it is closed when the source lets the handler
  // go, after the last event.
  auto events = std::make_shared<platform::base::FileDescriptor>(std::move(inotify));
  source->setEventHandler([events, onChange = std::move(onChange)] {
    char buffer[4096];
    while (::read(events->get(), buffer, sizeof buffer) > 0) {
    }
    onChange();
  });
  source->resume();
  return std::make_unique<ChangeWatcher>(Key{}, std::move(source));
}

ChangeWatcher::~ChangeWatcher() {
  source_->cancel();
}

}  // namespace platform::defaults
