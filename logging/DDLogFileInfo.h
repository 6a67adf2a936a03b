#pragma once
// One log file on disk, seen through its path: its attributes read lazily and cached, its age,
// and the archived mark that tells a finished file from the one being written.
//
// The archived mark is the extended attribute "user.quillmark.log.archived" holding the single
// byte 1. Where the file system refuses user extended attributes (ENOTSUP), the mark is kept in
// the file's mode instead: an archived file has every write permission bit cleared, and a file
// without the owner's write bit counts as archived. The mode travels with the file through
// renames and goes away with it, needs no second file, and keeps the promise that matters: an
// archived file is never resumed.
//
// A record caches what it has read under its own lock, so a record handed to another thread
// (the file logger's current file, for instance) can be read there safely.

#include <chrono>
#include <compare>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "logging/DDLogFileManagerFileSystem.h"

class DDLogFileInfo {
 public:
  using Date = std::chrono::system_clock::time_point;

  // The name of the archived mark, without the namespace the platform puts it in.
  static constexpr std::string_view kArchivedAttributeName = "quillmark.log.archived";

  // A record for `path`, or null for an empty path.
  static std::shared_ptr<DDLogFileInfo> logFileWithPath(std::string_view path);

  explicit DDLogFileInfo(std::string filePath);
  DDLogFileInfo(std::string filePath, std::shared_ptr<DDLogFileManagerFileSystem> fileManager);

  DDLogFileInfo(const DDLogFileInfo&) = delete;
  DDLogFileInfo& operator=(const DDLogFileInfo&) = delete;

  std::string filePath() const;
  std::string fileName() const;
  // The file's attributes; empty (present false) when they cannot be read, in which case nothing
  // is cached and the next call asks again.
  DDLogFileAttributes fileAttributes() const;
  // The birth time where the file system keeps one. Elsewhere the time written in the file's
  // name when the name carries one in the log file date pattern (the manager put it there when
  // it created the file), else the modification time.
  std::optional<Date> creationDate() const;
  std::optional<Date> modificationDate() const;
  // Cached once it is not 0; a size of 0 is read again on every call.
  std::uint64_t fileSize() const;
  // Seconds since the creation date (0 when there is none).
  double age() const;
  bool isSymlink() const;
  bool isArchived() const;
  void setIsArchived(bool archived);

  // Drops the cached name, attributes and dates (not the size).
  void reset();
  // Renames the file within its directory; whatever is at the new name is removed first. The
  // record points at the new path afterwards, even when the move failed.
  void renameFile(std::string_view newFileName);

  bool hasExtendedAttributeWithName(std::string_view name) const;
  void addExtendedAttributeWithName(std::string_view name);
  void removeExtendedAttributeWithName(std::string_view name);

  // A dictionary-like text: {filePath = ...; fileName = ...; fileAttributes = {...};
  // creationDate = ...; modificationDate = ...; fileSize = ...; age = ...; isArchived = ...},
  // an absent value shown as the empty string.
  std::string description() const;

  bool isEqual(const DDLogFileInfo& other) const { return filePath() == other.filePath(); }
  friend bool operator==(const DDLogFileInfo& a, const DDLogFileInfo& b) { return a.isEqual(b); }
  std::size_t hash() const { return std::hash<std::string>{}(filePath()); }

  // Orders the later date first: less means `us` sorts before `them`. A present date sorts
  // before an absent one; two absent dates are equivalent.
  static std::weak_ordering reverseCompareDatesUs(const std::optional<Date>& us,
                                                  const std::optional<Date>& them);
  std::weak_ordering reverseCompareByCreationDate(const DDLogFileInfo& other) const;
  std::weak_ordering reverseCompareByModificationDate(const DDLogFileInfo& other) const;

  const std::shared_ptr<DDLogFileManagerFileSystem>& fileManager() const { return fileManager_; }

 private:
  // The attribute name as the platform stores it: names without a namespace go to "user.".
  static std::string platformAttributeName(std::string_view name);
  // Reads the attributes, caching them on success. Call with mutex_ held.
  const DDLogFileAttributes* lockedAttributes() const;
  bool markInModeLocked(const std::string& path) const;

  const std::shared_ptr<DDLogFileManagerFileSystem> fileManager_;
  mutable std::mutex mutex_;
  std::string filePath_;
  mutable std::optional<std::string> fileName_;
  mutable std::optional<DDLogFileAttributes> fileAttributes_;
  mutable std::optional<Date> creationDate_;
  mutable std::optional<Date> modificationDate_;
  mutable std::uint64_t fileSize_ = 0;
};
