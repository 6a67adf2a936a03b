#pragma once
// Log types of the system log and how a record's flag maps to one. The journal stores a type as
// a syslog priority: fault 2, error 3, default 5, info 6, debug 7.

#include <cstdint>
#include <memory>

#include "logging/DDLogLevel.h"

enum class DDOSLogType : std::uint8_t {
  defaultType = 0x00,
  info = 0x01,
  debug = 0x02,
  error = 0x10,
  fault = 0x11,
};

// The journal priority of a log type.
int ddJournalPriority(DDOSLogType type);

class DDOSLogLevelMapper {
 public:
  virtual ~DDOSLogLevelMapper() = default;
  virtual DDOSLogType osLogTypeForLogFlag(DDLogFlag flag) const = 0;
};

// error and warning: error; info: info; debug and verbose: debug; anything else: default.
class DDOSLogLevelMapperDefault : public DDOSLogLevelMapper {
 public:
  DDOSLogType osLogTypeForLogFlag(DDLogFlag flag) const override;
};

using DDOSLogLevelMapperPtr = std::shared_ptr<const DDOSLogLevelMapper>;
