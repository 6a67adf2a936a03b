#pragma once
// The file operations that the client's file helpers need, on paths.
//
// Where things are:
// - An application group's container is an existing directory named after the group: under
//   /var/lib for uid 0, and under $XDG_DATA_HOME (default ~/.local/share) for everyone else. A
//   group whose directory does not exist (or a name that is empty, ".", ".." or holds '/') has
//   no container; it is never created here (installing the product makes it).
// - The temporary directory is $TMPDIR when that is an absolute path, else /tmp.
// A FileManager made with explicit locations (tools, tests) uses those instead.
//
// Creating and copying never reuse what is already at the destination: they fail when anything
// is there, a symbolic link included. Callers clear the destination first; if another process
// puts something there in between (a link planted in a shared directory), the operation fails
// instead of writing through it. For the same reason changing an owner never follows a
// symbolic link.
//
// Failures are values (platform/base/Error.h); every operation may be called from any thread.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Error.h"

namespace platform::files {

// What a directory listing tells about one entry. Symbolic links are described as themselves.
struct ResourceValues {
  std::string name;
  bool isRegularFile = false;
  std::chrono::system_clock::time_point contentModificationDate;
};

struct DirectoryEntry {
  std::filesystem::path url;
  // Nothing when the entry could not be examined (it went away while being listed).
  std::optional<ResourceValues> values;
};

class FileManager {
 public:
  struct Locations {
    std::filesystem::path containersDirectory;  // empty: no group has a container
    std::filesystem::path temporaryDirectory;
  };

  // The process's manager, with the locations above.
  static FileManager& defaultManager();
  static Locations defaultLocations();

  explicit FileManager(Locations locations) : locations_(std::move(locations)) {}

  std::optional<std::filesystem::path> containerURLForSecurityApplicationGroupIdentifier(
      std::string_view groupIdentifier) const;
  const std::filesystem::path& temporaryDirectory() const { return locations_.temporaryDirectory; }

  // Removes the file, link or directory (with its contents) at `path`.
  std::optional<base::Error> removeItem(const std::filesystem::path& path) const;
  // Creates an empty file with the default permissions; false when it cannot (including when
  // anything is at `path` already).
  bool createFile(const std::filesystem::path& path) const;
  // Copies a file (with its permission bits and times), a symbolic link (as a link) or a
  // directory (recursively) to `to`, which must not exist.
  std::optional<base::Error> copyItem(const std::filesystem::path& from,
                                      const std::filesystem::path& to) const;
  // True when anything, even a dangling symbolic link, is at `path`.
  bool fileExists(const std::filesystem::path& path) const;
  // Makes the account named `accountName` the owner of `path`; the group and the permission
  // bits are left alone.
  std::optional<base::Error> setOwnerAccountName(const std::filesystem::path& path,
                                                 const std::string& accountName) const;
  // The entries of `directory` in byte order of their names (so results do not depend on the
  // file system's order), without "." and "..", and without names that start with '.' when
  // `skipsHiddenFiles`. Nothing, with `error` set, when the directory cannot be read.
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(
      const std::filesystem::path& directory, bool skipsHiddenFiles, base::Error& error) const;

 private:
  Locations locations_;
};

}  // namespace platform::files
