#pragma once
// The daemon's one logger: a file logger over the default log file manager (default logs
// directory and file naming) with the daemon's LogFormatter and limits: files roll at 3 MiB or
// after 24 hours, at most 10 files are kept and at most 20 MiB in all.

#include <cstdint>
#include <memory>

class DDFileLogger;

struct DaemonLogLimits {
  static constexpr std::uint64_t kLogFilesDiskQuota = 20'971'520;  // 20 MiB
  static constexpr std::uint64_t kMaximumNumberOfLogFiles = 10;
  static constexpr double kRollingFrequency = 86'400.0;         // 24 hours
  static constexpr std::uint64_t kMaximumFileSize = 3'145'728;  // 3 MiB
};

// Builds the file logger; nothing is logged and nothing is registered.
std::shared_ptr<DDFileLogger> makeDaemonFileLogger();
