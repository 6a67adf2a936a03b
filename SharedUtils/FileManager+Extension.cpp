#include "SharedUtils/FileManager+Extension.h"

#include <algorithm>

#include "logging/DDLogFrontEnd.h"

// Log lines of this unit: under this unit's file name and the operation's full name, delivered
// as asyncLoggingEnabled says.
#define FILES_LOG(flagValue, function, ...) \
  DDLogAt(flagValue, "FileManager+Extension", function, __VA_ARGS__)

namespace sharedutils::FileManager {

namespace {

using platform::base::Error;
using Path = std::filesystem::path;

constexpr char kSharedContainer[] =
    "createFileInSharedContainer(named:grantingPermissionTo:groupIdentifier:)";
constexpr char kTempFolder[] = "createFileInTempFolder(named:grantingPermissionTo:)";
constexpr char kCopy[] = "createCopy(of:dest:grantingPermissionTo:)";
constexpr char kTempCopy[] = "createTempCopy(of:groupIdentifier:grantingPermissionTo:)";

// Where files for another account go first: the shared temporary folder every account reaches.
constexpr std::string_view kSharedTemporaryFolder = "/tmp";

// Removes whatever is at `target`; nothing there, or a removal that fails, is not an error here.
void clear(platform::files::FileManager& manager, const Path& target) {
  (void)manager.removeItem(target);
}

// The copy and the ownership change as one step: the first failure is the step's.
std::optional<Error> copyGranting(platform::files::FileManager& manager, const Path& source,
                                  const Path& target, const std::optional<std::string>& account) {
  if (auto error = manager.copyItem(source, target)) return error;
  if (account) return manager.setOwnerAccountName(target, *account);
  return std::nullopt;
}

std::string extensionOf(const std::string& name) {
  std::string extension = Path(name).extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  return extension;
}

}  // namespace

std::optional<Path> createFileInSharedContainer(
    platform::files::FileManager& manager, std::string_view named,
    const std::optional<std::string>& grantingPermissionTo, std::string_view groupIdentifier) {
  auto container = manager.containerURLForSecurityApplicationGroupIdentifier(groupIdentifier);
  if (!container) {
    FILES_LOG(DDLogFlag::warning, kSharedContainer, "failed to get container URL");
    return std::nullopt;
  }
  const Path target = *container / named;
  clear(manager, target);
  if (!manager.createFile(target)) {
    FILES_LOG(DDLogFlag::warning, kSharedContainer, "failed to create file");
    return std::nullopt;
  }
  if (grantingPermissionTo && manager.setOwnerAccountName(target, *grantingPermissionTo)) {
    FILES_LOG(DDLogFlag::warning, kSharedContainer, "failed to set attributes");
    return std::nullopt;
  }
  return target;
}

std::optional<Path> createFileInTempFolder(platform::files::FileManager& manager,
                                           std::string_view named,
                                           const std::optional<std::string>& grantingPermissionTo) {
  Path target = Path(kSharedTemporaryFolder) / named;
  clear(manager, target);
  if (!manager.createFile(target)) {
    FILES_LOG(DDLogFlag::warning, kTempFolder, "failed to create file at /tmp, try fallback");
    target = manager.temporaryDirectory() / named;
    clear(manager, target);
    if (!manager.createFile(target)) {
      FILES_LOG(DDLogFlag::warning, kTempFolder,
                "failed to create file at the temporaryDirectory fallback folder");
      return std::nullopt;
    }
  }
  if (grantingPermissionTo) {
    FILES_LOG(DDLogFlag::debug, kTempFolder, "try to grant ownership of temp file to %@",
              *grantingPermissionTo);
    if (manager.setOwnerAccountName(target, *grantingPermissionTo)) {
      FILES_LOG(DDLogFlag::warning, kTempFolder, "failed to set attributes");
      return std::nullopt;
    }
  }
  return target;
}

std::optional<Path> createCopy(platform::files::FileManager& manager, const Path& of,
                               const Path& dest,
                               const std::optional<std::string>& grantingPermissionTo) {
  const Path target = dest / of.filename();
  if (target.lexically_normal() == of.lexically_normal()) {
    FILES_LOG(DDLogFlag::debug, kCopy, "same url");
    if (grantingPermissionTo) {
      FILES_LOG(DDLogFlag::debug, kCopy, "set user attributes");
      if (auto error = manager.setOwnerAccountName(target, *grantingPermissionTo)) {
        FILES_LOG(DDLogFlag::warning, kCopy, "failed to set user attributes. Error:%@",
                  error->description);
      }
    }
    return target;
  }
  std::optional<Error> failure;
  if (manager.fileExists(target)) failure = manager.removeItem(target);
  if (!failure) failure = manager.copyItem(of, target);
  if (failure) {
    FILES_LOG(DDLogFlag::warning, kCopy, "failed to copy item. Error:%@", failure->description);
    return std::nullopt;
  }
  if (grantingPermissionTo) {
    if (auto error = manager.setOwnerAccountName(target, *grantingPermissionTo)) {
      FILES_LOG(DDLogFlag::warning, kCopy, "failed to set user attributes. Error:%@",
                error->description);
    }
  }
  return target;
}

std::optional<Path> createTempCopy(platform::files::FileManager& manager, const Path& of,
                                   std::string_view groupIdentifier,
                                   const std::optional<std::string>& grantingPermissionTo) {
  Path target = Path(kSharedTemporaryFolder) / of.filename();
  clear(manager, target);
  auto error = copyGranting(manager, of, target, grantingPermissionTo);
  if (!error) return target;
  // A copy whose owner could not be set stays in /tmp; the fallback makes another.
  FILES_LOG(DDLogFlag::warning, kTempCopy, "failed to copy item, try fallback. Error:%@",
            error->description);
  const Path folder = manager.containerURLForSecurityApplicationGroupIdentifier(groupIdentifier)
                          .value_or(manager.temporaryDirectory());
  target = folder / of.filename();
  clear(manager, target);
  error = copyGranting(manager, of, target, grantingPermissionTo);
  if (!error) return target;
  FILES_LOG(DDLogFlag::warning, kTempCopy, "failed to copy item: %@", error->description);
  return std::nullopt;
}

std::vector<Path> contentsOfDirectory(platform::files::FileManager& manager, const Path& at,
                                      const std::vector<std::string>& fileNamePrefixes,
                                      const std::vector<std::string>& extensions,
                                      const DateRange& within, std::int64_t limitPerPrefix) {
  Error listingError;
  auto listing = manager.contentsOfDirectory(at, /*skipsHiddenFiles=*/true, listingError);
  if (!listing) throw platform::base::ErrorException(listingError);

  struct Candidate {
    Path url;
    std::string name;
    Date modified;
  };
  std::vector<Candidate> candidates;
  for (auto& entry : *listing) {
    if (!entry.values || !entry.values->isRegularFile || entry.values->name.empty()) continue;
    const auto& values = *entry.values;
    if (std::find(extensions.begin(), extensions.end(), extensionOf(values.name)) ==
            extensions.end() ||
        !within.contains(values.contentModificationDate)) {
      continue;
    }
    candidates.push_back({std::move(entry.url), values.name, values.contentModificationDate});
  }

  const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(limitPerPrefix, 0));
  std::vector<Path> result;
  for (const auto& prefix : fileNamePrefixes) {
    std::vector<const Candidate*> matching;
    for (const auto& c : candidates) {
      if (c.name.starts_with(prefix)) matching.push_back(&c);
    }
    std::stable_sort(matching.begin(), matching.end(), [](const Candidate* a, const Candidate* b) {
      return a->modified > b->modified;
    });
    if (matching.size() > limit) matching.resize(limit);
    for (const auto* c : matching)
      result.push_back(c->url);
  }
  return result;
}

}  // namespace sharedutils::FileManager
