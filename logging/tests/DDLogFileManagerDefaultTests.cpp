#include "logging/DDLogFileManagerDefault.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "logging/tests/DDLogFileManagerTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"

using logfiletest::failWith;
using logfiletest::readFile;
using logfiletest::ScriptedFileSystem;
using logfiletest::sortedNames;
using logfiletest::TempDir;
using logfiletest::writeFile;
using platform::diagnostics::ScopedCapture;
using Date = DDLogFileManagerDefault::Date;

namespace {

const std::string& app() {
  return DDLogFileManagerDefault::applicationName();
}

// A log file name for a moment `minutesAgo` minutes before a fixed day.
std::string nameAt(int minute, const std::string& extra = "") {
  const Date base = Date(std::chrono::sys_days(std::chrono::year(2024) / 5 / 1).time_since_epoch());
  return app() + " " +
         DDLogFileManagerDefault::FileDateFormatter{}.stringFromDate(base +
                                                                     std::chrono::minutes(minute)) +
         extra + ".log";
}

std::shared_ptr<DDLogFileManagerDefault> managerFor(const TempDir& dir) {
  return std::make_shared<DDLogFileManagerDefault>(dir.path());
}

}  // namespace

TEST(DDLogFileManagerDefault, FileDatePatternRoundTripsAndRejectsAnythingElse) {
  const DDLogFileManagerDefault::FileDateFormatter f;
  const Date d = Date(std::chrono::sys_days(std::chrono::year(2024) / 5 / 1).time_since_epoch() +
                      std::chrono::hours(9) + std::chrono::minutes(3) + std::chrono::seconds(7) +
                      std::chrono::milliseconds(45) + std::chrono::microseconds(999));
  EXPECT_EQ(f.stringFromDate(d), "2024-05-01--09-03-07-045");
  EXPECT_EQ(f.dateFromString("2024-05-01--09-03-07-045"),
            std::chrono::floor<std::chrono::milliseconds>(d));
  for (const char* bad :
       {"", "2024-05-01--09-03-07-04", "2024-05-01--09-03-07-0450", "2024-13-01--09-03-07-045",
        "2023-02-29--09-03-07-045", "2024-05-01--24-03-07-045", "2024-05-01-09-03-07-0450",
        "2024/05/01--09-03-07-045", "2024-05-01--09-03-07-04x", "2"}) {
    EXPECT_FALSE(f.dateFromString(bad).has_value()) << bad;
  }

  // The name: application name, a blank, the date, ".log".
  const DDLogFileManagerDefault m("/nonexistent-dir");
  const std::string fresh = m.newLogFileName();
  ASSERT_EQ(fresh.size(), app().size() + 1 + 24 + 4) << fresh;
  EXPECT_EQ(fresh.substr(0, app().size() + 1), app() + " ");
  EXPECT_EQ(fresh.substr(fresh.size() - 4), ".log");
  const auto stamped = f.dateFromString(fresh.substr(app().size() + 1, 24));
  ASSERT_TRUE(stamped.has_value()) << fresh;
  EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - *stamped), std::chrono::minutes(5));
  EXPECT_TRUE(m.isLogFile(app() + " x.log"));
  EXPECT_FALSE(m.isLogFile(app() + "x.log"));
  EXPECT_FALSE(m.isLogFile("other " + app() + " x.log"));
  EXPECT_FALSE(m.isLogFile(app() + " x.log.gz"));
  EXPECT_FALSE(m.isLogFile(app() + " x.txt"));
  EXPECT_EQ(DDLogFileManagerDefault::dateFromLogFileName(app() + " 2024-05-01--09-03-07-045.log"),
            f.dateFromString("2024-05-01--09-03-07-045"));
  EXPECT_FALSE(
      DDLogFileManagerDefault::dateFromLogFileName(app() + " 2024-05-01--09-03-07-045 2.log"));
}

TEST(DDLogFileManagerDefault, ListsOnlyItsOwnFilesNewestFirst) {
  TempDir dir;
  auto m = managerFor(dir);
  writeFile(dir / nameAt(1), "a");
  writeFile(dir / nameAt(3), "c");
  writeFile(dir / nameAt(2), "b");
  // Numbered: its last part is not a date, so its creation date (now) places it.
  writeFile(dir / nameAt(0, " 2"), "n");
  // Strays: no prefix, wrong ending, a directory with a log file's name.
  writeFile(dir / "notes.log", "");
  writeFile(dir / (app() + " x.log.1"), "");
  std::filesystem::create_directory(dir / nameAt(9));
  // A symbolic link with a log file's name is listed (and will be refused for writing).
  ASSERT_EQ(::symlink("/dev/null", (dir / nameAt(4)).c_str()), 0);

  const auto names = m->sortedLogFileNames();
  const std::vector<std::string> expected = {nameAt(0, " 2"), nameAt(4), nameAt(3), nameAt(2),
                                             nameAt(1)};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(m->unsortedLogFilePaths().size(), 5u);
  const auto infos = m->sortedLogFileInfos();
  ASSERT_EQ(infos.size(), 5u);
  EXPECT_TRUE(infos[1]->isSymlink());
  EXPECT_EQ(m->sortedLogFilePaths().front(), dir / nameAt(0, " 2"));
}

TEST(DDLogFileManagerDefault, DeletesByCountKeepingTheNewFile) {
  TempDir dir;
  auto m = managerFor(dir);
  for (int i = 0; i < 7; ++i)
    writeFile(dir / nameAt(i), "small");
  const auto path = m->createNewLogFileWithError(nullptr);
  ASSERT_TRUE(path.has_value());
  ASSERT_TRUE(
      m->waitForBackgroundDeletions(platform::dispatch::Time::after(std::chrono::seconds(30))));
  const auto left = m->sortedLogFileNames();
  ASSERT_EQ(left.size(), 5u);
  EXPECT_EQ(dir / left[0], *path);
  EXPECT_EQ(left[1], nameAt(6));
  EXPECT_EQ(left[4], nameAt(3));
}

TEST(DDLogFileManagerDefault, QuotaIsStrictlyExceededAndTheFileBeingWrittenStays) {
  TempDir dir;
  auto fs = std::make_shared<ScriptedFileSystem>();
  auto m = managerFor(dir);
  m->setFileManager(fs);
  m->setMaximumNumberOfLogFiles(0);
  m->setLogFilesDiskQuota(1);
  // Before a file logger has taken the manager, changing limits starts no deletion run.
  ASSERT_TRUE(
      m->waitForBackgroundDeletions(platform::dispatch::Time::after(std::chrono::seconds(30))));
  EXPECT_EQ(fs->listings.load(), 0);
  writeFile(dir / nameAt(3), std::string(40, 'x'));
  writeFile(dir / nameAt(2), std::string(30, 'x'));
  writeFile(dir / nameAt(1), std::string(30, 'x'));
  writeFile(dir / nameAt(0), std::string(1, 'x'));

  m->setLogFilesDiskQuota(101);  // 40+30+30+1 = 101: equal, not exceeded
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames().size(), 4u);
  m->setLogFilesDiskQuota(100);  // one byte more than the quota: the oldest goes
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames(), (std::vector<std::string>{nameAt(3), nameAt(2), nameAt(1)}));
  m->setLogFilesDiskQuota(99);  // the third file takes the sum past the quota
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames(), (std::vector<std::string>{nameAt(3), nameAt(2)}));

  // The newest alone exceeds the quota: it stays while it is being written (not archived)...
  m->setLogFilesDiskQuota(10);
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames(), (std::vector<std::string>{nameAt(3)}));
  // ...and goes once it is finished.
  DDLogFileInfo(dir / nameAt(3)).setIsArchived(true);
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_TRUE(m->sortedLogFileNames().empty());

  // With both limits off nothing is ever deleted; the count limit wins when it is smaller.
  for (int i = 0; i < 8; ++i)
    writeFile(dir / nameAt(i), std::string(100, 'x'));
  m->setLogFilesDiskQuota(0);
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames().size(), 8u);
  m->setLogFilesDiskQuota(450);  // quota index 4
  m->setMaximumNumberOfLogFiles(3);
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames(), (std::vector<std::string>{nameAt(7), nameAt(6), nameAt(5)}));
}

TEST(DDLogFileManagerDefault, AFileVanishingDuringADeletionRunIsReportedAndTheRunGoesOn) {
  TempDir dir;
  auto fs = std::make_shared<ScriptedFileSystem>();
  auto m = managerFor(dir);
  m->setFileManager(fs);
  m->setMaximumNumberOfLogFiles(1);
  for (int i = 0; i < 4; ++i)
    writeFile(dir / nameAt(i), "x");
  // Someone else removes the file just before we do.
  fs->onRemoveItem = [&](const std::string& path, DDLogFileError*, bool&) {
    if (path == dir / nameAt(1)) std::filesystem::remove(path);
    return false;
  };
  {
    ScopedCapture capture;
    EXPECT_TRUE(m->deleteOldLogFilesWithError(nullptr));
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0].rfind("DDLogFileManagerDefault: Error deleting file unlink(" +
                                           dir / nameAt(1) + "): No such file or directory",
                                       0),
              0u)
        << capture.texts()[0];
  }
  EXPECT_EQ(sortedNames(dir.path()), std::vector<std::string>{nameAt(3)});

  // A caller that asks for the error gets the first failure and the run stops there.
  for (int i = 0; i < 4; ++i)
    writeFile(dir / nameAt(i), "x");
  ScopedCapture capture;
  DDLogFileError error;
  EXPECT_FALSE(m->deleteOldLogFilesWithError(&error));
  EXPECT_EQ(error.code, ENOENT);
  // Newest first: nameAt(2) went, nameAt(1) failed, so nameAt(0) was never tried.
  EXPECT_EQ(sortedNames(dir.path()), (std::vector<std::string>{nameAt(0), nameAt(3)}));
}

TEST(DDLogFileManagerDefault, CreationNumbersTakenNamesAndBailsAfterFiveErrors) {
  TempDir dir;
  auto fs = std::make_shared<ScriptedFileSystem>();
  auto m = managerFor(dir);
  m->setFileManager(fs);

  // Two names taken, then two real errors, then success: taken names do not count as errors
  // and an error retries the same name.
  int calls = 0;
  fs->onCreateFile = [&](const std::string& path, DDLogFileError* e, bool& result) {
    ++calls;
    if (calls <= 2) return result = failWith(e, EEXIST, path), true;
    if (calls <= 4) return result = failWith(e, EIO, path), true;
    return false;
  };
  {
    ScopedCapture capture;
    DDLogFileError error;
    const auto path = m->createNewLogFileWithError(&error);
    ASSERT_TRUE(path.has_value());
    const auto attempts = fs->attempts();
    ASSERT_EQ(attempts.size(), 5u);
    const std::string base = attempts[0].substr(0, attempts[0].size() - 4);
    EXPECT_EQ(attempts[1], base + " 2.log");
    EXPECT_EQ(attempts[2], base + " 3.log");
    EXPECT_EQ(attempts[3], base + " 3.log");
    EXPECT_EQ(*path, base + " 3.log");
    EXPECT_EQ(readFile(*path), "");
    EXPECT_EQ(capture.texts().size(), 2u);
    EXPECT_EQ(capture.texts()[0].rfind(
                  "DDLogFileManagerDefault: Critical error while creating log file: open(", 0),
              0u);
    EXPECT_TRUE(
        m->waitForBackgroundDeletions(platform::dispatch::Time::after(std::chrono::seconds(30))));
  }

  calls = 0;
  fs->onCreateFile = [&](const std::string& path, DDLogFileError* e, bool& result) {
    ++calls;
    return result = failWith(e, ENOSPC, path), true;
  };
  ScopedCapture capture;
  DDLogFileError error;
  EXPECT_FALSE(m->createNewLogFileWithError(&error).has_value());
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(error.code, ENOSPC);
  const auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[5], "DDLogFileManagerDefault: Bailing file creation, encountered 5 errors.");
}

TEST(DDLogFileManagerDefault, UnusableDirectoryIsReportedAndNothingIsCreated) {
  TempDir dir;
  writeFile(dir / "blocker", "");
  auto m = std::make_shared<DDLogFileManagerDefault>(dir / "blocker/logs");
  ScopedCapture capture;
  EXPECT_EQ(m->logsDirectory(), dir / "blocker/logs");
  EXPECT_TRUE(m->sortedLogFileInfos().empty());
  EXPECT_FALSE(m->createNewLogFileWithError(nullptr).has_value());
  EXPECT_TRUE(capture.contains("DDFileLogManagerDefault: Error creating logsDirectory: mkdir(" +
                               dir / "blocker/logs): Not a directory"));
  EXPECT_TRUE(capture.contains("DDFileLogManagerDefault: Error listing log file directory: "));
  EXPECT_TRUE(capture.contains("Bailing file creation, encountered 5 errors."));
}

namespace {
class HeaderManager : public DDLogFileManagerDefault {
 public:
  using DDLogFileManagerDefault::DDLogFileManagerDefault;
  std::optional<std::string> header;
  std::optional<std::string> logFileHeader() const override { return header; }
};
}  // namespace

TEST(DDLogFileManagerDefault, HeaderBytesEndWithALineEnd) {
  TempDir dir;
  auto m = std::make_shared<HeaderManager>(dir.path());
  EXPECT_FALSE(m->logFileHeaderData().has_value());
  m->header = "";
  EXPECT_FALSE(m->logFileHeaderData().has_value());
  m->header = "# started";
  EXPECT_EQ(m->logFileHeaderData(), "# started\n");
  m->header = "# two\nlines\n";
  const auto path = m->createNewLogFileWithError(nullptr);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(readFile(*path), "# two\nlines\n");
  m->waitForBackgroundDeletions();
}

TEST(DDLogFileManagerDefault, DefaultLogsDirectoryFollowsTheEnvironment) {
  // Run in a child: the environment is process-wide and the parent has other threads.
  auto inChild = [](const std::function<void()>& setup) {
    int fds[2];
    if (::pipe(fds) != 0) return std::string("pipe failed");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      for (const char* v : {"LOGS_DIRECTORY", "XDG_STATE_HOME", "HOME", "TMPDIR"})
        ::unsetenv(v);
      setup();
      const std::string d = DDLogFileManagerDefault::defaultLogsDirectory();
      (void)!::write(fds[1], d.data(), d.size());
      ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
      out.append(buf, n);
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return out;
  };
  const std::string proc = ::program_invocation_short_name;
  EXPECT_EQ(inChild([] { ::setenv("LOGS_DIRECTORY", "/srv/logs:/srv/other", 1); }), "/srv/logs");
  // As root the other branches are reached by dropping to an unprivileged user in the child.
  const bool root = ::geteuid() == 0;
  const auto asUser = [root](const std::function<void()>& f) {
    return [root, f] {
      f();
      if (root && ::setresuid(65534, 65534, 65534) != 0) ::_exit(1);
    };
  };
  if (root) {
    EXPECT_EQ(inChild([] {}), "/var/log/" + proc);
  }
  EXPECT_EQ(inChild(asUser([] { ::setenv("XDG_STATE_HOME", "/st", 1); })), "/st/Logs/" + proc);
  // A relative XDG_STATE_HOME is invalid and ignored.
  EXPECT_EQ(inChild(asUser([] {
              ::setenv("XDG_STATE_HOME", "st", 1);
              ::setenv("HOME", "/h", 1);
            })),
            "/h/.local/state/Logs/" + proc);
  if (root) {
    // nobody's home is /nonexistent: no home, so the temporary directory.
    EXPECT_EQ(inChild(asUser([] { ::setenv("TMPDIR", "/scratch", 1); })), "/scratch/Logs/" + proc);
  }
}
