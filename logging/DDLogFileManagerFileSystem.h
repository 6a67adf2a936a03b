#pragma once
// The file-system access object behind log file managers and file records: every file operation
// they make (attributes, listing, creation, deletion, moves, extended attributes) goes through
// one of these, so a manager can be given another one (a test double, a file system with its own
// rules) without touching the logic above it. The default one is a thin layer over the kernel's
// calls and keeps no state, so one process-wide instance serves every thread at once.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A failure as a value: where it came from (the operation and its path), the system's error
// number and a readable description ("open(/var/log/x/a.log): No space left on device").
struct DDLogFileError {
  std::string domain = "POSIX";
  int code = 0;
  std::string description;

  static DDLogFileError fromErrno(int err, std::string_view operation, std::string_view path);
};

// What the file system reports about one directory entry (a symbolic link is described itself,
// never followed). An empty set of attributes (`present` false) stands for "could not be read".
struct DDLogFileAttributes {
  enum class Type : std::uint8_t { Unknown, Regular, Directory, SymbolicLink, Other };

  bool present = false;
  Type type = Type::Unknown;
  std::uint64_t size = 0;
  mode_t permissions = 0;
  // The birth time, where the file system keeps one (statx); absent elsewhere.
  std::optional<std::chrono::system_clock::time_point> creationDate;
  std::optional<std::chrono::system_clock::time_point> modificationDate;

  // "{}" when empty, else "{type = regular; size = 12; permissions = 0644; creationDate = ...}".
  std::string description() const;
  // A date as the descriptions show it: "2026-12-05 15:21:51.865 +0000" (UTC).
  static std::string dateText(std::chrono::system_clock::time_point date);
};

class DDLogFileManagerFileSystem {
 public:
  struct DirectoryEntry {
    std::string name;
    bool isDirectory = false;
  };

  virtual ~DDLogFileManagerFileSystem() = default;

  // The platform's default one (process-wide, stateless, safe from any thread).
  static const std::shared_ptr<DDLogFileManagerFileSystem>& defaultManager();

  // Attributes of `path` itself (symbolic links not followed).
  virtual std::optional<DDLogFileAttributes> attributesOfItem(const std::string& path,
                                                              DDLogFileError* error);
  // The entries of a directory, without "." and "..", in the order the directory gives them.
  virtual std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path,
                                                                         DDLogFileError* error);
  // Creates `path` and any missing parents (mode 0755 before the umask); an existing directory
  // is success.
  virtual bool createDirectory(const std::string& path, DDLogFileError* error);
  // Creates a new regular file with `contents`, only where nothing of that name exists (a
  // dangling symbolic link counts as existing). A taken name fails with code EEXIST. A file that
  // could not be filled is removed again, so a failure never leaves a half-made file behind.
  virtual bool createFile(const std::string& path, std::string_view contents,
                          DDLogFileError* error);
  // Removes a file or a symbolic link (never what a link points to). Directories are refused
  // (EISDIR): nothing here removes a tree.
  virtual bool removeItem(const std::string& path, DDLogFileError* error);
  virtual bool moveItem(const std::string& from, const std::string& to, DDLogFileError* error);

  // Extended attributes of `path` (not following symbolic links). Each returns the system's
  // result: the value's length (get), 0 (set, remove), or minus the error number.
  virtual ssize_t getExtendedAttribute(const std::string& path, const std::string& name,
                                       void* buffer, std::size_t size);
  virtual int setExtendedAttribute(const std::string& path, const std::string& name,
                                   const void* value, std::size_t size);
  virtual int removeExtendedAttribute(const std::string& path, const std::string& name);
  // chmod; 0 or minus the error number.
  virtual int setPermissions(const std::string& path, mode_t mode);
};
