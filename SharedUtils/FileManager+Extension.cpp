#include "SharedUtils/FileManager+Extension.h"

#include <algorithm>
#include <cerrno>

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

// True for a name that stays inside the folder it is put in: one path component, neither "."
// nor "..". Anything else ("", "..", "sub/../x") would make the target the folder itself or a
// place outside it, and clearing that target would remove what the caller never named.
bool isFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// `path` written one way: lexically normal and without a trailing separator, so that "/a/b/",
// "/a/./b" and "/a/b" are the same file.
Path plainPath(const Path& path) {
  Path plain = path.lexically_normal();
  if (!plain.has_filename() && plain.has_relative_path()) plain = plain.parent_path();
  return plain;
}

// The name a copy of `source` gets: its last path component, a trailing separator ignored
// ("/a/b/" gives "b"). Nothing for a path that names no file of its own ("/", "", "a/..").
std::optional<std::string> lastPathComponent(const Path& source) {
  std::string name = plainPath(source).filename().string();
  if (!isFileName(name)) return std::nullopt;
  return name;
}

// What a copy of a source without a name of its own fails with.
Error unnamedSourceError(const Path& source, const Path& folder) {
  return platform::base::posixError(EINVAL,
                                    "copying " + source.string() + " to " + folder.string());
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
  if (!isFileName(named)) {
    FILES_LOG(DDLogFlag::warning, kSharedContainer, "failed to create file");
    return std::nullopt;
  }
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
  // A name that is no file name is created nowhere: both places fail, and nothing is cleared.
  const auto replaceWithEmptyFile = [&](const Path& target) {
    if (!isFileName(named)) return false;
    clear(manager, target);
    return manager.createFile(target);
  };
  Path target = Path(kSharedTemporaryFolder) / named;
  if (!replaceWithEmptyFile(target)) {
    FILES_LOG(DDLogFlag::warning, kTempFolder, "failed to create file at /tmp, try fallback");
    target = manager.temporaryDirectory() / named;
    if (!replaceWithEmptyFile(target)) {
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
  const auto name = lastPathComponent(of);
  if (!name) {
    FILES_LOG(DDLogFlag::warning, kCopy, "failed to copy item. Error:%@",
              unnamedSourceError(of, dest).description);
    return std::nullopt;
  }
  const Path target = dest / *name;
  if (plainPath(target) == plainPath(of)) {
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
  const auto name = lastPathComponent(of);
  // One attempt: clear the target in `folder`, copy there and hand the copy over.
  const auto copyInto = [&](const Path& folder) -> std::optional<Error> {
    if (!name) return unnamedSourceError(of, folder);
    clear(manager, folder / *name);
    return copyGranting(manager, of, folder / *name, grantingPermissionTo);
  };
  const Path sharedFolder(kSharedTemporaryFolder);
  auto error = copyInto(sharedFolder);
  if (!error) return sharedFolder / *name;
  // A copy whose owner could not be set stays in /tmp; the fallback makes another.
  FILES_LOG(DDLogFlag::warning, kTempCopy, "failed to copy item, try fallback. Error:%@",
            error->description);
  const Path folder = manager.containerURLForSecurityApplicationGroupIdentifier(groupIdentifier)
                          .value_or(manager.temporaryDirectory());
  error = copyInto(folder);
  if (!error) return folder / *name;
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
