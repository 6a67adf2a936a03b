#include "daemon/DaemonLogSetup.h"

#include "daemon/LogFormatter.h"
#include "logging/DDFileLogger.h"
#include "logging/DDLogFileManagerDefault.h"

std::shared_ptr<DDFileLogger> makeDaemonFileLogger() {
  auto formatter = std::make_shared<LogFormatter>();
  auto manager = std::make_shared<DDLogFileManagerDefault>();
  manager->setLogFilesDiskQuota(DaemonLogLimits::kLogFilesDiskQuota);
  manager->setMaximumNumberOfLogFiles(DaemonLogLimits::kMaximumNumberOfLogFiles);
  auto logger = std::make_shared<DDFileLogger>(manager);
  logger->setLogFormatter(formatter);
  logger->setRollingFrequency(DaemonLogLimits::kRollingFrequency);
  logger->setMaximumFileSize(DaemonLogLimits::kMaximumFileSize);
  return logger;
}
