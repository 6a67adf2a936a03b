#pragma once
// Preparing files for another account: an empty file or a copy, placed where a process of that
// account can reach it, and optionally handed to the account (its owner becomes the account; no
// permission bit changes). Each operation clears its target first (removes whatever is there)
// and then creates or copies, so callers do not run two operations with the same target at once.
//
// - createFileInSharedContainer: an empty file in an application group's container.
// - createFileInTempFolder: an empty file in /tmp, else in the temporary directory.
// - createCopy: a copy into a given folder; a source already in that folder is left as it is.
// - createTempCopy: a copy into /tmp, else into the group's container (or, without one, the
//   temporary directory).
// - contentsOfDirectory: for each name prefix, the newest regular files of a folder with given
//   extensions and a modification date in a range.
//
// A name must be a file name: "", ".", ".." or a name holding '/' is created nowhere (the
// creation fails), so that clearing the target never reaches the folder itself or a place outside
// it. A copy takes its source's last path component, a trailing '/' ignored ("/a/b/" gives "b");
// a source without one ("/") is not copied.
//
// Results are the file's path, or nothing when the operation gave up; every failure writes one
// warning line (under the file name "FileManager+Extension" and the operation's full name, for
// example "createCopy(of:dest:grantingPermissionTo:)"); with no account name nothing about
// ownership is logged. None of them throws except contentsOfDirectory, which throws the listing
// error (platform::base::ErrorException). The file manager passed in supplies the container and
// temporary directory locations.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SharedUtils/DateHelpers.h"
#include "platform/files/FileManager.h"

namespace sharedutils {

// A range of dates: closed (a...b), half-open (a..<b) or one-sided (a..., ...b, ..<b).
class DateRange {
 public:
  static DateRange closed(Date lower, Date upper) { return {lower, upper, true}; }
  static DateRange halfOpen(Date lower, Date upper) { return {lower, upper, false}; }
  static DateRange from(Date lower) { return {lower, std::nullopt, true}; }
  static DateRange through(Date upper) { return {std::nullopt, upper, true}; }
  static DateRange upTo(Date upper) { return {std::nullopt, upper, false}; }

  bool contains(Date date) const {
    if (lower_ && date < *lower_) return false;
    if (upper_ && (upperIncluded_ ? date > *upper_ : date >= *upper_)) return false;
    return true;
  }

 private:
  DateRange(std::optional<Date> lower, std::optional<Date> upper, bool upperIncluded)
      : lower_(lower), upper_(upper), upperIncluded_(upperIncluded) {}
  std::optional<Date> lower_;
  std::optional<Date> upper_;
  bool upperIncluded_;
};

namespace FileManager {

std::optional<std::filesystem::path> createFileInSharedContainer(
    platform::files::FileManager& manager, std::string_view named,
    const std::optional<std::string>& grantingPermissionTo, std::string_view groupIdentifier);

std::optional<std::filesystem::path> createFileInTempFolder(
    platform::files::FileManager& manager, std::string_view named,
    const std::optional<std::string>& grantingPermissionTo);

std::optional<std::filesystem::path> createCopy(
    platform::files::FileManager& manager, const std::filesystem::path& of,
    const std::filesystem::path& dest, const std::optional<std::string>& grantingPermissionTo);

std::optional<std::filesystem::path> createTempCopy(
    platform::files::FileManager& manager, const std::filesystem::path& of,
    std::string_view groupIdentifier, const std::optional<std::string>& grantingPermissionTo);

// Files are candidates when they are regular files (hidden names never listed) whose extension
// equals one of `extensions` exactly (letter case included) and whose modification date lies
// `within` the range. For each prefix in order: the candidates whose name starts with it, newest
// first (equal dates in name order), at most `limitPerPrefix` of them (a negative limit counts
// as 0). A file matching several prefixes is listed once for each.
std::vector<std::filesystem::path> contentsOfDirectory(
    platform::files::FileManager& manager, const std::filesystem::path& at,
    const std::vector<std::string>& fileNamePrefixes, const std::vector<std::string>& extensions,
    const DateRange& within, std::int64_t limitPerPrefix);

}  // namespace FileManager
}  // namespace sharedutils
