#include "logging/DDLogFileManagerDefault.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/base/PrivateDirectory.h"
#include "platform/bundle/InfoDictionary.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/base/NoDestructor.h"
#include "platform/dispatch/Queue.h"

namespace {

using Clock = std::chrono::system_clock;

std::string processName() {
  const char* name = ::program_invocation_short_name;
  return name ? name : "";
}

std::string envValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string joinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string lastPathComponent(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Parses exactly `width` decimal digits at `pos`.
bool digits(std::string_view text, std::size_t pos, std::size_t width, int& out) {
  if (pos + width > text.size()) return false;
  int v = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

}  // namespace

// ---- file date pattern ----

std::string DDLogFileManagerDefault::FileDateFormatter::stringFromDate(Date date) const {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(date.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  const long long millis = ms - static_cast<long long>(secs) * 1000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[128];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d--%02d-%02d-%02d-%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis));
  return buf;
}

std::optional<DDLogFileManagerDefault::Date>
DDLogFileManagerDefault::FileDateFormatter::dateFromString(std::string_view text) const {
  // yyyy-MM-dd--HH-mm-ss-SSS
  static constexpr std::string_view kShape = "0000-00-00--00-00-00-000";
  if (text.size() != kShape.size()) return std::nullopt;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == '-' && text[i] != '-') return std::nullopt;
  }
  int year, month, day, hour, minute, second, millis;
  if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
      !digits(text, 12, 2, hour) || !digits(text, 15, 2, minute) || !digits(text, 18, 2, second) ||
      !digits(text, 21, 3, millis)) {
    return std::nullopt;
  }
  const std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(month),
                                        std::chrono::day(day)};
  if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return Date(std::chrono::sys_days(ymd).time_since_epoch() + std::chrono::hours(hour) +
              std::chrono::minutes(minute) + std::chrono::seconds(second) +
              std::chrono::milliseconds(millis));
}

// ---- construction and limits ----

DDLogFileManagerDefault::DDLogFileManagerDefault(std::string logsDirectory)
    : logsDirectory_(logsDirectory.empty() ? defaultLogsDirectory() : std::move(logsDirectory)),
      fileManager_(DDLogFileManagerFileSystem::defaultManager()),
      logMessageSerializer_(std::make_shared<DDFileLogPlainTextMessageSerializer>()) {}

DDLogFileManagerDefault::~DDLogFileManagerDefault() = default;

bool DDLogFileManagerDefault::respondsTo(Operation op) const {
  switch (op) {
    case Operation::CreateNewLogFileWithError:
    case Operation::CleanupLogFilesWithError:
    case Operation::DidAddToFileLogger:
    case Operation::LogMessageSerializer:
    case Operation::FileManager:
      return true;
    default:
      return false;
  }
}

std::uint64_t DDLogFileManagerDefault::maximumNumberOfLogFiles() const {
  return maximumNumberOfLogFiles_.load(std::memory_order_relaxed);
}

void DDLogFileManagerDefault::setMaximumNumberOfLogFiles(std::uint64_t count) {
  if (maximumNumberOfLogFiles_.exchange(count) == count) return;
  deleteOldFilesForConfigurationChange();
}

std::uint64_t DDLogFileManagerDefault::logFilesDiskQuota() const {
  return logFilesDiskQuota_.load(std::memory_order_relaxed);
}

void DDLogFileManagerDefault::setLogFilesDiskQuota(std::uint64_t bytes) {
  if (logFilesDiskQuota_.exchange(bytes) == bytes) return;
  deleteOldFilesForConfigurationChange();
}

void DDLogFileManagerDefault::didAddToFileLogger(DDFileLogger&) {
  wasAddedToLogger_ = true;
}

std::shared_ptr<DDLogFileManagerFileSystem> DDLogFileManagerDefault::fileManager() const {
  std::lock_guard lock(fieldsMutex_);
  return fileManager_;
}

void DDLogFileManagerDefault::setFileManager(
    std::shared_ptr<DDLogFileManagerFileSystem> fileManager) {
  std::lock_guard lock(fieldsMutex_);
  fileManager_ =
      fileManager ? std::move(fileManager) : DDLogFileManagerFileSystem::defaultManager();
}

std::shared_ptr<const DDFileLogMessageSerializer> DDLogFileManagerDefault::logMessageSerializer()
    const {
  std::lock_guard lock(fieldsMutex_);
  return logMessageSerializer_;
}

void DDLogFileManagerDefault::setLogMessageSerializer(
    std::shared_ptr<const DDFileLogMessageSerializer> serializer) {
  std::lock_guard lock(fieldsMutex_);
  logMessageSerializer_ =
      serializer ? std::move(serializer) : std::make_shared<DDFileLogPlainTextMessageSerializer>();
}

// ---- deletion ----

void DDLogFileManagerDefault::deleteOldFilesForConfigurationChange() {
  if (!wasAddedToLogger_.load()) return;
  scheduleBackgroundDeletion();
}

void DDLogFileManagerDefault::scheduleBackgroundDeletion() {
  // The run keeps the manager alive until it is done. A manager that is not owned by a
  // shared_ptr cannot be kept alive, so its run happens on the caller's thread instead.
  auto self = weak_from_this().lock();
  if (!self) {
    deleteOldLogFilesWithError(nullptr);
    return;
  }
  platform::dispatch::Queue::global(platform::dispatch::QoS::Default)
      ->async(backgroundDeletions_,
              [self = std::move(self)] { self->deleteOldLogFilesWithError(nullptr); });
}

bool DDLogFileManagerDefault::waitForBackgroundDeletions(platform::dispatch::Time deadline) {
  return backgroundDeletions_.wait(deadline);
}

bool DDLogFileManagerDefault::deleteOldLogFilesWithError(DDLogFileError* error) {
  if (error) *error = DDLogFileError{};
  const auto infos = sortedLogFileInfos();
  const std::uint64_t quota = logFilesDiskQuota();
  const std::uint64_t maxFiles = maximumNumberOfLogFiles();

  std::optional<std::size_t> quotaIndex;
  if (quota > 0) {
    std::uint64_t used = 0;
    for (std::size_t i = 0; i < infos.size(); ++i) {
      used += infos[i]->fileSize();
      if (used > quota) {
        quotaIndex = i;
        break;
      }
    }
  }

  std::size_t first;
  if (maxFiles > 0) {
    first = quotaIndex ? std::min<std::size_t>(*quotaIndex, maxFiles)
                       : static_cast<std::size_t>(std::min<std::uint64_t>(maxFiles, SIZE_MAX));
  } else if (quotaIndex) {
    first = *quotaIndex;
  } else {
    return true;
  }

  // The newest file, when not archived, is the one being written: it always stays.
  if (first == 0 && !infos.empty() && !infos[0]->isArchived()) first = 1;

  const auto fs = fileManager();
  for (std::size_t i = first; i < infos.size(); ++i) {
    DDLogFileError failure;
    if (!fs->removeItem(infos[i]->filePath(), &failure)) {
      platform::diagnostics::reportf("DDLogFileManagerDefault: Error deleting file %s",
                                     failure.description.c_str());
      if (error) {
        *error = std::move(failure);
        return false;
      }
    }
  }
  return true;
}

// ---- directory ----

std::string DDLogFileManagerDefault::defaultLogsDirectory() {
  const std::string name = processName();
  std::string fromManager = envValue("LOGS_DIRECTORY");
  if (!fromManager.empty()) {
    const auto colon = fromManager.find(':');
    if (colon != std::string::npos) fromManager.resize(colon);
    if (!fromManager.empty()) return fromManager;
  }
  if (::geteuid() == 0) return joinPath("/var/log", name);

  std::string state = envValue("XDG_STATE_HOME");
  if (state.empty() || state.front() != '/') {
    std::string home = envValue("HOME");
    if (home.empty()) {
      struct passwd pw {};
      struct passwd* result = nullptr;
      char buf[4096];
      if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &result) == 0 && result &&
          result->pw_dir) {
        home = result->pw_dir;
      }
    }
    if (home.empty() || home == "/nonexistent") {
      // No home: a directory of this user alone under the temporary directory, never a shared
      // one that another user could have made first and could read or fill.
      const std::string own = platform::base::privateTemporaryDirectory("state");
      if (own.empty()) return {};
      return joinPath(joinPath(own, "Logs"), name);
    }
    state = joinPath(home, ".local/state");
  }
  return joinPath(joinPath(state, "Logs"), name);
}

std::string DDLogFileManagerDefault::logsDirectory() {
  if (logsDirectory_.empty()) {
    platform::diagnostics::contractViolation("Directory must be set.");
    return logsDirectory_;
  }
  DDLogFileError error;
  if (!fileManager()->createDirectory(logsDirectory_, &error)) {
    platform::diagnostics::reportf("DDFileLogManagerDefault: Error creating logsDirectory: %s",
                                   error.description.c_str());
  }
  return logsDirectory_;
}

// ---- names and listing ----

const std::string& DDLogFileManagerDefault::applicationName() {
  // A function-local static: computed once, safe under concurrent first use. The executable's
  // info dictionary names the files; one without an identifier falls back to the process name.
  // Never destroyed: queued records that roll the file during the exit flush still name it.
  static platform::base::NoDestructor<std::string> name([] {
    const std::string& identifier = platform::bundle::InfoDictionary::main().identifier;
    return identifier.empty() ? processName() : identifier;
  }());
  return *name;
}

bool DDLogFileManagerDefault::isLogFile(std::string_view fileName) const {
  const std::string& app = applicationName();
  static constexpr std::string_view kSuffix = ".log";
  return fileName.size() >= app.size() + 1 + kSuffix.size() &&
         fileName.substr(0, app.size()) == app && fileName[app.size()] == ' ' &&
         fileName.substr(fileName.size() - kSuffix.size()) == kSuffix;
}

std::optional<DDLogFileManagerDefault::Date> DDLogFileManagerDefault::dateFromLogFileName(
    std::string_view fileName) {
  const auto blank = fileName.find_last_of(' ');
  std::string last(blank == std::string_view::npos ? fileName : fileName.substr(blank + 1));
  for (auto pos = last.find(".log"); pos != std::string::npos; pos = last.find(".log")) {
    last.erase(pos, 4);
  }
  static const FileDateFormatter formatter{};
  return formatter.dateFromString(last);
}

std::vector<std::string> DDLogFileManagerDefault::unsortedLogFilePaths() {
  const std::string dir = logsDirectory();
  DDLogFileError error;
  auto entries = fileManager()->contentsOfDirectory(dir, &error);
  if (!entries) {
    platform::diagnostics::reportf("DDFileLogManagerDefault: Error listing log file directory: %s",
                                   error.description.c_str());
    return {};
  }
  std::vector<std::string> paths;
  for (const auto& entry : *entries) {
    // A directory is never a log file, whatever its name: nothing could write to it, and
    // nothing here removes a tree.
    if (!entry.isDirectory && isLogFile(entry.name)) paths.push_back(joinPath(dir, entry.name));
  }
  return paths;
}

std::vector<std::string> DDLogFileManagerDefault::unsortedLogFileNames() {
  auto paths = unsortedLogFilePaths();
  for (auto& p : paths)
    p = lastPathComponent(p);
  return paths;
}

std::vector<std::shared_ptr<DDLogFileInfo>> DDLogFileManagerDefault::unsortedLogFileInfos() {
  // Records see their files through this manager's file-system object, so a manager given its
  // own (another file system's rules, a test double) reads marks and attributes the same way
  // everywhere.
  const auto fs = fileManager();
  std::vector<std::shared_ptr<DDLogFileInfo>> infos;
  for (auto& p : unsortedLogFilePaths())
    infos.push_back(std::make_shared<DDLogFileInfo>(p, fs));
  return infos;
}

std::vector<std::shared_ptr<DDLogFileInfo>> DDLogFileManagerDefault::sortedLogFileInfos() {
  auto infos = unsortedLogFileInfos();
  // Each record's date is taken once, before sorting, so the order is consistent even while
  // files come and go: the name's date, else the creation date, else now.
  const auto now = Clock::now();
  std::vector<std::pair<Date, std::shared_ptr<DDLogFileInfo>>> dated;
  dated.reserve(infos.size());
  for (auto& info : infos) {
    auto date = dateFromLogFileName(info->fileName());
    if (!date) date = info->creationDate();
    dated.emplace_back(date.value_or(now), std::move(info));
  }
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  infos.clear();
  for (auto& d : dated)
    infos.push_back(std::move(d.second));
  return infos;
}

std::vector<std::string> DDLogFileManagerDefault::sortedLogFilePaths() {
  std::vector<std::string> out;
  for (const auto& info : sortedLogFileInfos())
    out.push_back(info->filePath());
  return out;
}

std::vector<std::string> DDLogFileManagerDefault::sortedLogFileNames() {
  std::vector<std::string> out;
  for (const auto& info : sortedLogFileInfos())
    out.push_back(info->fileName());
  return out;
}

// ---- creation ----

std::string DDLogFileManagerDefault::newLogFileName() const {
  return applicationName() + " " + fileDateFormatter_.stringFromDate(Clock::now()) + ".log";
}

std::optional<std::string> DDLogFileManagerDefault::logFileHeaderData() const {
  auto header = logFileHeader();
  if (!header || header->empty()) return std::nullopt;
  if (header->back() != '\n') header->push_back('\n');
  return logMessageSerializer()->dataForString(*header, nullptr);
}

std::optional<std::string> DDLogFileManagerDefault::createNewLogFileWithError(
    DDLogFileError* error) {
  const std::string fileName = newLogFileName();
  const std::string dir = logsDirectory();
  const std::string contents = logFileHeaderData().value_or(std::string());
  if (error) *error = DDLogFileError{};

  const auto dot = fileName.find_last_of('.');
  const std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : fileName.substr(dot);

  const auto fs = fileManager();
  unsigned long attempt = 1;
  int errors = 0;
  DDLogFileError lastError;
  for (;;) {
    const std::string candidate =
        attempt == 1 ? fileName : stem + " " + std::to_string(attempt) + extension;
    const std::string path = joinPath(dir, candidate);
    DDLogFileError failure;
    if (fs->createFile(path, contents, &failure)) {
      scheduleBackgroundDeletion();
      return path;
    }
    if (failure.code == EEXIST) {
      ++attempt;
      continue;
    }
    platform::diagnostics::reportf(
        "DDLogFileManagerDefault: Critical error while creating log file: %s",
        failure.description.c_str());
    lastError = std::move(failure);
    if (++errors >= kMaximumCreationErrors) {
      platform::diagnostics::reportf(
          "DDLogFileManagerDefault: Bailing file creation, encountered %ld errors.",
          static_cast<long>(errors));
      if (error) *error = std::move(lastError);
      return std::nullopt;
    }
  }
}
