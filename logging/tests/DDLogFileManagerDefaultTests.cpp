#include "logging/DDLogFileManagerDefault.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "logging/tests/LogTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"
#include "testsupport/ChildProcess.h"

using namespace logtest;
using platform::diagnostics::ScopedCapture;
using Date = DDLogFileManagerDefault::Date;

namespace {

const std::string& app() {
  return DDLogFileManagerDefault::applicationName();
}

// The log file name for `minute` minutes into a fixed day.
std::string nameAt(int minute, const std::string& extra = "") {
  const Date day = Date(std::chrono::sys_days(std::chrono::year(2024) / 5 / 1).time_since_epoch());
  const DDLogFileManagerDefault::FileDateFormatter f;
  return app() + " " + f.stringFromDate(day + std::chrono::minutes(minute)) + extra + ".log";
}

// A manager on a temporary directory whose file system can be made to fail.
struct FileManager : ::testing::Test {
  void SetUp() override { m->setFileManager(fs); }
  void TearDown() override { EXPECT_TRUE(settle()); }
  bool settle() {
    return m->waitForBackgroundDeletions(platform::dispatch::Time::after(std::chrono::seconds(30)));
  }
  void writeLogs(int count, std::size_t size = 1) {
    for (int i = 0; i < count; ++i)
      writeFile(dir / nameAt(i), std::string(size, 'x'));
  }
  TempDir dir;
  std::shared_ptr<ScriptedFileSystem> fs = std::make_shared<ScriptedFileSystem>();
  std::shared_ptr<DDLogFileManagerDefault> m =
      std::make_shared<DDLogFileManagerDefault>(dir.path());
};

}  // namespace

TEST(DDLogFileManagerDefault, FileNamesCarryAStrictDateAndOnlyOursAreLogFiles) {
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
  EXPECT_EQ(DDLogFileManagerDefault::dateFromLogFileName(app() + " 2024-05-01--09-03-07-045.log"),
            f.dateFromString("2024-05-01--09-03-07-045"));
  EXPECT_FALSE(DDLogFileManagerDefault::dateFromLogFileName(nameAt(0, " 2")));

  // A new name: the application name, a blank, the date of now, ".log".
  const DDLogFileManagerDefault m("/nonexistent-dir");
  const std::string fresh = m.newLogFileName();
  ASSERT_TRUE(fresh.starts_with(app() + " ") && fresh.ends_with(".log")) << fresh;
  const auto stamped = DDLogFileManagerDefault::dateFromLogFileName(fresh);
  ASSERT_TRUE(stamped.has_value()) << fresh;
  EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - *stamped), std::chrono::minutes(5));
  EXPECT_TRUE(m.isLogFile(app() + " x.log"));
  for (const auto& other :
       {app() + "x.log", "other " + app() + " x.log", app() + " x.log.gz", app() + " x.txt"}) {
    EXPECT_FALSE(m.isLogFile(other)) << other;
  }
}

TEST_F(FileManager, ListsOnlyItsOwnFilesNewestFirst) {
  for (int i : {1, 3, 2})
    writeFile(dir / nameAt(i), "x");
  // Numbered: its last part is not a date, so its creation date (now) places it.
  writeFile(dir / nameAt(0, " 2"), "n");
  // Strays: no prefix, wrong ending, a directory with a log file's name.
  writeFile(dir / "notes.log", "");
  writeFile(dir / (app() + " x.log.1"), "");
  std::filesystem::create_directory(dir / nameAt(9));
  // A symbolic link with a log file's name is listed (and will be refused for writing).
  ASSERT_EQ(::symlink("/dev/null", (dir / nameAt(4)).c_str()), 0);
  EXPECT_EQ(m->sortedLogFileNames(),
            (Texts{nameAt(0, " 2"), nameAt(4), nameAt(3), nameAt(2), nameAt(1)}));
  EXPECT_TRUE(m->sortedLogFileInfos()[1]->isSymlink());
}

TEST_F(FileManager, DeletesByCountAndStrictlyPastTheQuotaButNeverTheFileBeingWritten) {
  // A new file starts a deletion run in the background; the new file counts and stays.
  writeLogs(7);
  const auto path = m->createNewLogFileWithError(nullptr);
  ASSERT_TRUE(path.has_value());
  ASSERT_TRUE(settle());
  EXPECT_EQ(m->sortedLogFilePaths(),
            (Texts{*path, dir / nameAt(6), dir / nameAt(5), dir / nameAt(4), dir / nameAt(3)}));
  for (const auto& p : m->sortedLogFilePaths())
    std::filesystem::remove(p);

  // Before a file logger has taken the manager, changing limits starts no deletion run.
  const int listings = fs->listings.load();
  m->setMaximumNumberOfLogFiles(0);
  m->setLogFilesDiskQuota(1);
  ASSERT_TRUE(settle());
  EXPECT_EQ(fs->listings.load(), listings);
  const std::vector<std::size_t> sizes = {1, 30, 30, 40};  // oldest first: 101 bytes in all
  for (int i = 0; i < 4; ++i)
    writeFile(dir / nameAt(i), std::string(sizes[i], 'x'));
  // At 101 nothing goes; one byte less and the oldest goes; at 99 the third file takes the sum
  // past the quota. The newest alone past the quota stays while it is being written (not
  // archived), and goes once it is finished.
  const std::vector<std::pair<std::uint64_t, Texts>> steps = {
      {101, {nameAt(3), nameAt(2), nameAt(1), nameAt(0)}},
      {100, {nameAt(3), nameAt(2), nameAt(1)}},
      {99, {nameAt(3), nameAt(2)}},
      {10, {nameAt(3)}}};
  for (const auto& [quota, left] : steps) {
    m->setLogFilesDiskQuota(quota);
    ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
    EXPECT_EQ(m->sortedLogFileNames(), left) << quota;
  }
  DDLogFileInfo(dir / nameAt(3)).setIsArchived(true);
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_TRUE(m->sortedLogFileNames().empty());

  // With both limits off nothing is ever deleted; the count limit wins when it is smaller.
  writeLogs(8, 100);
  m->setLogFilesDiskQuota(0);
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames().size(), 8u);
  m->setLogFilesDiskQuota(450);  // would keep four
  m->setMaximumNumberOfLogFiles(3);
  ASSERT_TRUE(m->deleteOldLogFilesWithError(nullptr));
  EXPECT_EQ(m->sortedLogFileNames(), (Texts{nameAt(7), nameAt(6), nameAt(5)}));
}

TEST_F(FileManager, AFileVanishingDuringADeletionRunIsReportedAndTheRunGoesOn) {
  m->setMaximumNumberOfLogFiles(1);
  writeLogs(4);
  // Someone else removes the file just before we do.
  fs->beforeRemove = [&](const std::string& path) {
    if (path == dir / nameAt(1)) std::filesystem::remove(path);
    return 0;
  };
  {
    ScopedCapture capture;
    EXPECT_TRUE(m->deleteOldLogFilesWithError(nullptr));
    EXPECT_EQ(capture.texts(), Texts{"DDLogFileManagerDefault: Error deleting file unlink(" +
                                     (dir / nameAt(1)).string() + "): No such file or directory"});
  }
  EXPECT_EQ(m->sortedLogFileNames(), Texts{nameAt(3)});

  // A caller that asks for the error gets the first failure and the run stops there.
  writeLogs(4);
  ScopedCapture capture;
  DDLogFileError error;
  EXPECT_FALSE(m->deleteOldLogFilesWithError(&error));
  EXPECT_EQ(error.code, ENOENT);
  // Newest first: nameAt(2) went, nameAt(1) failed, so nameAt(0) was never tried.
  EXPECT_EQ(m->sortedLogFileNames(), (Texts{nameAt(3), nameAt(0)}));
}

TEST_F(FileManager, CreationNumbersTakenNamesRetriesErrorsAndBailsAfterFive) {
  // Two names taken, then two real errors, then success: taken names do not count as errors
  // and an error retries the same name.
  const std::vector<int> script = {EEXIST, EEXIST, EIO, EIO, 0};
  std::size_t calls = 0;
  fs->beforeCreate = [&](const std::string&) { return calls < 5 ? script[calls++] : 0; };
  {
    ScopedCapture capture;
    const auto path = m->createNewLogFileWithError(nullptr);
    ASSERT_TRUE(path.has_value());
    const auto attempts = fs->createAttempts.items();
    ASSERT_FALSE(attempts.empty());
    const std::string base = attempts[0].substr(0, attempts[0].size() - 4);
    const std::string third = base + " 3.log";
    EXPECT_EQ(attempts, (Texts{base + ".log", base + " 2.log", third, third, third}));
    EXPECT_EQ(*path, third);
    EXPECT_EQ(readFile(*path), "");
    const std::string failed =
        "DDLogFileManagerDefault: Critical error while creating log file: "
        "open(" +
        third + "): Input/output error";
    EXPECT_EQ(capture.texts(), (Texts{failed, failed}));
    EXPECT_TRUE(settle());
  }
  fs->beforeCreate = [&](const std::string&) { return ++calls, ENOSPC; };
  calls = 0;
  ScopedCapture capture;
  DDLogFileError error;
  EXPECT_FALSE(m->createNewLogFileWithError(&error).has_value());
  EXPECT_EQ(calls, 5u);
  EXPECT_EQ(error.code, ENOSPC);
  const auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[5], "DDLogFileManagerDefault: Bailing file creation, encountered 5 errors.");

  // An unusable directory: reported, and nothing is created.
  writeFile(dir / "blocker", "");
  auto blocked = std::make_shared<DDLogFileManagerDefault>(dir / "blocker/logs");
  EXPECT_EQ(blocked->logsDirectory(), dir / "blocker/logs");
  EXPECT_TRUE(blocked->sortedLogFileInfos().empty());
  EXPECT_FALSE(blocked->createNewLogFileWithError(nullptr).has_value());
  EXPECT_TRUE(capture.contains("DDFileLogManagerDefault: Error creating logsDirectory: mkdir(" +
                               (dir / "blocker/logs): Not a directory").string()));
  EXPECT_TRUE(capture.contains("DDFileLogManagerDefault: Error listing log file directory: "));
}

TEST_F(FileManager, HeaderBytesEndWithALineEnd) {
  struct HeaderManager : DDLogFileManagerDefault {
    using DDLogFileManagerDefault::DDLogFileManagerDefault;
    std::optional<std::string> header;
    std::optional<std::string> logFileHeader() const override { return header; }
  };
  auto h = std::make_shared<HeaderManager>(dir.path());
  for (const auto& header : {std::optional<std::string>(), std::optional<std::string>("")}) {
    h->header = header;
    EXPECT_FALSE(h->logFileHeaderData().has_value());
  }
  h->header = "# started";
  EXPECT_EQ(h->logFileHeaderData(), "# started\n");
  h->header = "# two\nlines\n";
  const auto path = h->createNewLogFileWithError(nullptr);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(readFile(*path), "# two\nlines\n");
  h->waitForBackgroundDeletions();
}

TEST(DDLogFileManagerDefault, DefaultLogsDirectoryFollowsTheEnvironment) {
  // Each case runs in a child: the environment is process-wide and this process has threads.
  // As root, the branches for ordinary users are reached by becoming nobody in the child.
  const bool root = ::geteuid() == 0;
  const auto inChild = [root](const std::function<void()>& setup, bool asUser = true) {
    return testsupport::runInChild([&] {
             for (const char* v : {"LOGS_DIRECTORY", "XDG_STATE_HOME", "HOME", "TMPDIR"})
               ::unsetenv(v);
             setup();
             if (asUser && root && ::setresuid(65534, 65534, 65534) != 0) ::_exit(1);
             return DDLogFileManagerDefault::defaultLogsDirectory();
           })
        .second;
  };
  const std::string proc = ::program_invocation_short_name;
  EXPECT_EQ(inChild([] { ::setenv("LOGS_DIRECTORY", "/srv/logs:/srv/other", 1); }), "/srv/logs");
  EXPECT_EQ(inChild([] { ::setenv("XDG_STATE_HOME", "/st", 1); }), "/st/Logs/" + proc);
  // A relative XDG_STATE_HOME is invalid and ignored.
  EXPECT_EQ(inChild([] {
              ::setenv("XDG_STATE_HOME", "st", 1);
              ::setenv("HOME", "/h", 1);
            }),
            "/h/.local/state/Logs/" + proc);
  if (root) {
    EXPECT_EQ(inChild([] {}, false), "/var/log/" + proc);
    // nobody's home is /nonexistent: no home, so a directory of nobody's own under the
    // temporary directory; never one that another user made there first.
    TempDir shared;
    ::chmod(shared.path().c_str(), 01777);
    const auto withTmp = [&shared] { ::setenv("TMPDIR", shared.path().c_str(), 1); };
    const std::string own = shared / "state-65534";
    EXPECT_EQ(inChild(withTmp), own + "/Logs/" + proc);
    struct stat st {};
    ASSERT_EQ(::lstat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::filesystem::remove_all(own);
    ASSERT_EQ(::mkdir(own.c_str(), 0777), 0);  // made first by root, open to everyone
    ::chmod(own.c_str(), 0777);
    const std::string fresh = inChild(withTmp);
    EXPECT_TRUE(fresh.starts_with(own + "-") && fresh.ends_with("/Logs/" + proc)) << fresh;
  }
}
