#include "logging/journal/DDOSLogLevelMapper.h"

int ddJournalPriority(DDOSLogType type) {
  switch (type) {
    case DDOSLogType::fault:
      return 2;
    case DDOSLogType::error:
      return 3;
    case DDOSLogType::info:
      return 6;
    case DDOSLogType::debug:
      return 7;
    case DDOSLogType::defaultType:
      break;
  }
  return 5;
}

DDOSLogType DDOSLogLevelMapperDefault::osLogTypeForLogFlag(DDLogFlag flag) const {
  if (flag == DDLogFlag::error || flag == DDLogFlag::warning) return DDOSLogType::error;
  if (flag == DDLogFlag::info) return DDOSLogType::info;
  if (flag == DDLogFlag::debug || flag == DDLogFlag::verbose) return DDOSLogType::debug;
  return DDOSLogType::defaultType;
}
