#include "logging/DDTTYLogger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "logging/DDLoggerQueueAccess.h"
#include "logging/DDTimestampText.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/base/NoDestructor.h"

namespace {

std::atomic<bool>& sharedInstanceExists() {
  static std::atomic<bool> exists{false};
  return exists;
}

// Writes every byte of `iov` to standard error, in one call unless the kernel takes less.
void writeAll(iovec* iov, int count) {
  while (count > 0) {
    const ssize_t written = ::writev(STDERR_FILENO, iov, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nowhere to report to: standard error is the channel itself
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
}

}  // namespace

DDTTYLogger::DDTTYLogger(Passkey)
    : appName_(ddProcessName()), processID_(std::to_string(static_cast<int>(::getpid()))) {
  colorProfilesArray_.reserve(8);
  colorProfilesDict_.reserve(8);
  DDTTYLoggerColorProfile::terminalMode();
  platform::diagnostics::report(
      "OrvelQuillmark: Warning: Usage of DDTTYLogger detected when DDOSLogger is available and "
      "can be used! Please consider migrating to DDOSLogger.");
}

const std::shared_ptr<DDTTYLogger>& DDTTYLogger::sharedInstance() {
  static platform::base::NoDestructor<std::shared_ptr<DDTTYLogger>> instance([] {
    sharedInstanceExists() = true;
    return std::make_shared<DDTTYLogger>(Passkey{});
  }());
  return *instance;
}

std::shared_ptr<DDTTYLogger> DDTTYLogger::make() {
  if (sharedInstanceExists()) return nullptr;
  return std::make_shared<DDTTYLogger>(Passkey{});
}

// ---- settings ----

bool DDTTYLogger::colorsEnabled() {
  bool value = colorsEnabled_.load();
  ddSyncOnLoggerQueue(*this, "colorsEnabled", [&] { value = colorsEnabled_.load(); });
  return value;
}

void DDTTYLogger::setColorsEnabled(bool enabled) {
  ddAsyncOnLoggerQueue(*this, "setColorsEnabled", [this, enabled] {
    colorsEnabled_ = enabled;
    if (colorProfilesArray_.empty()) lt_loadDefaultColorProfiles();
  });
}

void DDTTYLogger::loadDefaultColorProfiles() {
  changeProfiles("loadDefaultColorProfiles", [this] { lt_loadDefaultColorProfiles(); });
}

void DDTTYLogger::lt_loadDefaultColorProfiles() {
  const auto set = [this](DDColor fg, DDLogFlag flag) {
    auto profile = std::make_shared<const DDTTYLoggerColorProfile>(
        fg, std::nullopt, flag, DDTTYLoggerColorProfile::kAllContexts);
    for (auto& p : colorProfilesArray_) {
      if (p->mask == flag && p->context == DDTTYLoggerColorProfile::kAllContexts) {
        p = std::move(profile);
        return;
      }
    }
    colorProfilesArray_.push_back(std::move(profile));
  };
  set(DDColor::rgb(214, 57, 30), DDLogFlag::error);
  set(DDColor::rgb(204, 121, 32), DDLogFlag::warning);
}

void DDTTYLogger::changeProfiles(const char* operation, std::function<void()> change) {
  ddAsyncOnLoggerQueue(*this, operation, std::move(change));
}

void DDTTYLogger::setForegroundColor(std::optional<DDColor> foreground,
                                     std::optional<DDColor> background, DDLogFlag mask,
                                     std::int64_t context) {
  auto profile =
      std::make_shared<const DDTTYLoggerColorProfile>(foreground, background, mask, context);
  changeProfiles("setForegroundColor", [this, profile = std::move(profile)] {
    for (auto& p : colorProfilesArray_) {
      if (p->mask == profile->mask && p->context == profile->context) {
        p = profile;
        return;
      }
    }
    colorProfilesArray_.push_back(profile);
  });
}

void DDTTYLogger::setForegroundColorForTag(std::optional<DDColor> foreground,
                                           std::optional<DDColor> background, DDLogObjectPtr tag) {
  if (!tag) {
    platform::diagnostics::contractViolation("Invalid tag");
    return;
  }
  auto profile =
      std::make_shared<const DDTTYLoggerColorProfile>(foreground, background, DDLogFlag(0), 0);
  changeProfiles("setForegroundColor",
                 [this, tag = std::move(tag), profile = std::move(profile)]() mutable {
                   colorProfilesDict_.insert_or_assign(std::move(tag), std::move(profile));
                 });
}

void DDTTYLogger::clearColorsForFlag(DDLogFlag mask, std::int64_t context) {
  changeProfiles("clearColorsForFlag", [this, mask, context] {
    for (auto it = colorProfilesArray_.begin(); it != colorProfilesArray_.end(); ++it) {
      if ((*it)->mask == mask && (*it)->context == context) {
        colorProfilesArray_.erase(it);
        return;
      }
    }
  });
}

void DDTTYLogger::clearColorsForTag(DDLogObjectPtr tag) {
  if (!tag) {
    platform::diagnostics::contractViolation("Invalid tag");
    return;
  }
  changeProfiles("clearColorsForTag",
                 [this, tag = std::move(tag)] { colorProfilesDict_.erase(tag); });
}

void DDTTYLogger::clearColorsForAllFlags() {
  changeProfiles("clearColorsForAllFlags", [this] { colorProfilesArray_.clear(); });
}

void DDTTYLogger::clearColorsForAllTags() {
  changeProfiles("clearColorsForAllTags", [this] { colorProfilesDict_.clear(); });
}

void DDTTYLogger::clearAllColors() {
  changeProfiles("clearAllColors", [this] {
    colorProfilesArray_.clear();
    colorProfilesDict_.clear();
  });
}

// ---- writing ----

const DDTTYLoggerColorProfile* DDTTYLogger::lt_profileFor(const DDLogMessage& message) const {
  if (const auto& tag = message.tag()) {
    auto it = colorProfilesDict_.find(tag);
    if (it != colorProfilesDict_.end()) return it->second.get();
  }
  const DDTTYLoggerColorProfile* anyContext = nullptr;
  for (const auto& p : colorProfilesArray_) {
    if ((p->mask.rawValue & message.flag().rawValue) == 0) continue;
    if (p->context == message.context()) return p.get();
    if (p->context == DDTTYLoggerColorProfile::kAllContexts) anyContext = p.get();
  }
  return anyContext;
}

void DDTTYLogger::logMessage(const DDLogMessagePtr& message) {
  std::optional<std::string> formatted;
  if (_logFormatter) {
    formatted = _logFormatter->formatLogMessage(*message);
    if (!formatted) return;
  }
  // A formatter that hands the text back unchanged (a filter) leaves the line in the default
  // layout, with time and origin.
  const bool isFormatted = formatted && *formatted != message->message();
  const std::string_view text = formatted ? std::string_view(*formatted) : message->message();

  const DDTTYLoggerColorProfile* profile = colorsEnabled_ ? lt_profileFor(*message) : nullptr;
  iovec iov[6];
  int n = 0;
  const auto add = [&](const char* data, std::size_t len) {
    if (len > 0) iov[n++] = iovec{const_cast<char*>(data), len};
  };
  if (profile) {
    add(profile->fgCode, profile->fgCodeLen);
    add(profile->bgCode, profile->bgCodeLen);
  }
  std::string prefix;
  if (!isFormatted) {
    const std::string_view tid = message->threadID().substr(0, 8);
    prefix.reserve(64 + appName_.size());
    prefix.append(ddLocalTimeText(message->timestamp())).append(" ").append(appName_);
    prefix.append("[").append(processID_).append(":").append(tid).append("] ");
    add(prefix.data(), prefix.size());
  }
  add(text.data(), text.size());
  const bool endsWithNewline = !text.empty() && text.back() == '\n';
  if (!endsWithNewline && (!isFormatted || appendNewline_.load())) add("\n", 1);
  if (profile) add(profile->resetCode, profile->resetCodeLen);
  writeAll(iov, n);
}
