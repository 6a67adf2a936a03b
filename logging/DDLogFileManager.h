#pragma once
// What a file logger asks of the object that decides where its log files live, what they are
// called, which exist and which may go. Some operations are optional: a caller asks
// `respondsTo(op)` and calls the operation only when it is offered.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/DDFileLogMessageSerializer.h"
#include "logging/DDLogFileInfo.h"
#include "logging/DDLogFileManagerFileSystem.h"

class DDFileLogger;

class DDLogFileManager {
 public:
  enum class Operation : std::uint8_t {
    CreateNewLogFileWithError,
    ShouldLockLogFile,
    CleanupLogFilesWithError,
    DidAddToFileLogger,
    DidArchiveLogFileWasRolled,
    CreateNewLogFile,
    DidArchiveLogFile,
    DidRollAndArchiveLogFile,
    LogMessageSerializer,
    FileManager,
  };

  virtual ~DDLogFileManager() = default;

  // Whether an operation is offered. The base offers `createNewLogFileWithError` only.
  virtual bool respondsTo(Operation op) const { return op == Operation::CreateNewLogFileWithError; }

  virtual std::uint64_t maximumNumberOfLogFiles() const = 0;
  virtual void setMaximumNumberOfLogFiles(std::uint64_t count) = 0;
  virtual std::uint64_t logFilesDiskQuota() const = 0;
  virtual void setLogFilesDiskQuota(std::uint64_t bytes) = 0;

  virtual std::string logsDirectory() = 0;
  virtual std::vector<std::string> unsortedLogFilePaths() = 0;
  virtual std::vector<std::string> unsortedLogFileNames() = 0;
  virtual std::vector<std::shared_ptr<DDLogFileInfo>> unsortedLogFileInfos() = 0;
  // Newest first.
  virtual std::vector<std::string> sortedLogFilePaths() = 0;
  virtual std::vector<std::string> sortedLogFileNames() = 0;
  virtual std::vector<std::shared_ptr<DDLogFileInfo>> sortedLogFileInfos() = 0;

  // Path of a newly created, empty (or header-only) log file, or none with `error` filled.
  virtual std::optional<std::string> createNewLogFileWithError(DDLogFileError* /*error*/) {
    return std::nullopt;
  }

  // Optional operations: called only when respondsTo() says so.
  virtual bool shouldLockLogFile(const std::string& /*filePath*/) { return false; }
  virtual bool cleanupLogFilesWithError(DDLogFileError* /*error*/) { return true; }
  virtual void didAddToFileLogger(DDFileLogger& /*fileLogger*/) {}
  virtual void didArchiveLogFile(const std::string& /*filePath*/, bool /*wasRolled*/) {}
  virtual std::optional<std::string> createNewLogFile() { return std::nullopt; }
  virtual void didArchiveLogFile(const std::string& /*filePath*/) {}
  virtual void didRollAndArchiveLogFile(const std::string& /*filePath*/) {}
  virtual std::shared_ptr<const DDFileLogMessageSerializer> logMessageSerializer() const {
    return nullptr;
  }
  virtual std::shared_ptr<DDLogFileManagerFileSystem> fileManager() const { return nullptr; }
};
