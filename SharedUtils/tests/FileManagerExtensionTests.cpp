#include "SharedUtils/FileManager+Extension.h"

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "SharedUtils/tests/LogCapture.h"
#include "testsupport/FileContents.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

using namespace std::chrono_literals;
using platform::files::FileManager;
using Lines = std::vector<std::string>;
using Path = std::filesystem::path;
namespace FM = sharedutils::FileManager;

constexpr const char* kReexecMarker = "FILE_HELPERS_TEST_IN_PRIVATE_MOUNTS";

// As root, the test process runs in a private mount namespace (main() re-executes it through
// unshare) where /tmp and /var/tmp are fresh tmpfs mounts, the tests' own directories live in
// /var/tmp and /etc/passwd names a throw-away account, so that the helpers' fixed /tmp, a read-only
// /tmp and ownership changes are tested without touching the host.
struct PrivateMounts {
  bool available = false;
  std::string account;
  uid_t accountUid = 0;
  std::string why;  // when not available
};

std::string mountNamespace() {
  char link[64] = {};
  return ::readlink("/proc/self/ns/mnt", link, sizeof link - 1) > 0 ? link : "";
}

const PrivateMounts& privateMounts() {
  static const PrivateMounts mounts = [] {
    PrivateMounts m;
    if (::geteuid() != 0) {
      m.why = "needs root (private mounts and ownership changes)";
      return m;
    }
    const char* before = std::getenv(kReexecMarker);
    if (before == nullptr || mountNamespace() == before) {
      m.why = "no private mount namespace (unshare failed)";
      return m;
    }
    if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0 ||
        ::mount("tmpfs", "/var/tmp", "tmpfs", 0, "mode=1777") != 0) {
      m.why = "cannot mount tmpfs in the private namespace";
      return m;
    }
    // A throw-away account: a copy of the account database with one more line, mounted over
    // the original in this namespace only.
    std::ifstream in("/etc/passwd");
    std::string passwd{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    m.account = "cs-files-" + std::to_string(::getpid());
    m.accountUid = 61000 + static_cast<uid_t>(::getpid() % 3000);
    passwd += m.account + ":x:" + std::to_string(m.accountUid) + ":" +
              std::to_string(m.accountUid) + "::/nonexistent:/usr/sbin/nologin\n";
    std::ofstream("/var/tmp/passwd") << passwd;
    if (::mount("/var/tmp/passwd", "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
      m.why = "cannot bind-mount the account database";
      return m;
    }
    // The tests' own directories go to /var/tmp, so that a read-only /tmp leaves them alone.
    ::setenv("TMPDIR", "/var/tmp", 1);
    m.available = true;
    return m;
  }();
  return mounts;
}

using ::testsupport::readFile;
using ::testsupport::writeFile;
uid_t ownerOf(const Path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}
mode_t modeOf(const Path& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

class FileHelpers : public ::testing::Test {
 protected:
  FileHelpers() {
    std::filesystem::create_directories(root_ / "containers");
    std::filesystem::create_directories(root_ / "tmp");
  }
  ~FileHelpers() override { log_->detach(); }

  // The warning and debug lines of `function`, exactly.
  static std::string line(const char* flag, const char* function, const std::string& message) {
    return std::string(flag) + " FileManager+Extension " + function + ": " + message;
  }

  ::testsupport::TemporaryDirectory directory_{"file-helpers"};
  Path root_ = directory_.path();
  FileManager manager_{{root_ / "containers", root_ / "tmp"}};
  std::shared_ptr<sharedutils::testsupport::LogCapture> log_ =
      sharedutils::testsupport::LogCapture::attach();
};

constexpr const char* kSharedContainer =
    "createFileInSharedContainer(named:grantingPermissionTo:groupIdentifier:)";
constexpr const char* kTempFolder = "createFileInTempFolder(named:grantingPermissionTo:)";
constexpr const char* kCopy = "createCopy(of:dest:grantingPermissionTo:)";
constexpr const char* kTempCopy = "createTempCopy(of:groupIdentifier:grantingPermissionTo:)";

TEST_F(FileHelpers, SharedContainerFileReplacesWhatIsThereOrGivesUp) {
  const Path container = root_ / "containers" / "QX7TZ4PD2M.group";
  std::filesystem::create_directories(container / "state.json" / "inner");
  writeFile(container / "state.json" / "inner" / "x", "old");

  auto made =
      FM::createFileInSharedContainer(manager_, "state.json", std::nullopt, "QX7TZ4PD2M.group");
  ASSERT_EQ(made, container / "state.json");
  EXPECT_TRUE(std::filesystem::is_regular_file(*made));
  EXPECT_EQ(std::filesystem::file_size(*made), 0u);
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});

  for (const char* group : {"missing.group", "", "..", ".", "QX7TZ4PD2M.group/../x"}) {
    SCOPED_TRACE(group);
    EXPECT_EQ(FM::createFileInSharedContainer(manager_, "f", std::nullopt, group), std::nullopt);
    EXPECT_EQ(log_->takeWithCallSites(),
              Lines{line("warning", kSharedContainer, "failed to get container URL")});
  }
  // Names that are no file name fail without clearing the container, its folder or anything
  // beside them.
  writeFile(root_ / "containers" / "x", "beside");
  for (const char* name : {"no-such-dir/f", "", ".", "..", "../x", "state.json/"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(FM::createFileInSharedContainer(manager_, name, std::nullopt, "QX7TZ4PD2M.group"),
              std::nullopt);
    EXPECT_EQ(log_->takeWithCallSites(),
              Lines{line("warning", kSharedContainer, "failed to create file")});
    EXPECT_TRUE(std::filesystem::is_regular_file(container / "state.json"));
    EXPECT_EQ(readFile(root_ / "containers" / "x"), "beside");
  }
}

TEST_F(FileHelpers, CopyReplacesAnOlderFileAndLeavesASourceInPlaceAlone) {
  const Path source = root_ / "report.txt";
  writeFile(source, "new report");
  ::chmod(source.c_str(), 0640);
  const Path dest = root_ / "dest";
  std::filesystem::create_directories(dest);
  writeFile(dest / "report.txt", "old report, longer than the new one");

  EXPECT_EQ(FM::createCopy(manager_, source, dest, std::nullopt), dest / "report.txt");
  EXPECT_EQ(readFile(dest / "report.txt"), "new report");
  EXPECT_EQ(modeOf(dest / "report.txt"), 0640u);
  EXPECT_EQ(readFile(source), "new report");
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});

  // The folder already holds the source: nothing is copied, the source's path comes back.
  for (const Path& folder : {root_, root_ / "." / "", root_ / "dest" / ".."}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(FM::createCopy(manager_, source, folder, std::nullopt), folder / "report.txt");
    EXPECT_EQ(readFile(source), "new report");
    EXPECT_EQ(log_->takeWithCallSites(), Lines{line("debug", kCopy, "same url")});
  }

  const Path missing = root_ / "missing.txt";
  EXPECT_EQ(FM::createCopy(manager_, missing, dest, std::nullopt), std::nullopt);
  EXPECT_EQ(log_->takeWithCallSites(),
            Lines{line("warning", kCopy,
                       "failed to copy item. Error:copying " + missing.string() + " to " +
                           (dest / "missing.txt").string() + ": No such file or directory")});
  EXPECT_EQ(FM::createCopy(manager_, source, root_ / "no-dest", std::nullopt), std::nullopt);
  EXPECT_EQ(log_->takeWithCallSites().size(), 1u);

  // A folder written with a trailing '/' is copied under its own name, and is its own copy in
  // the folder that holds it; neither clears the destination folder or the source.
  std::filesystem::create_directories(root_ / "folder");
  writeFile(root_ / "folder" / "inner.txt", "inner");
  EXPECT_EQ(FM::createCopy(manager_, root_ / "folder/", dest, std::nullopt), dest / "folder");
  EXPECT_EQ(readFile(dest / "folder" / "inner.txt"), "inner");
  EXPECT_EQ(readFile(dest / "report.txt"), "new report");
  EXPECT_EQ(FM::createCopy(manager_, root_ / "folder/", root_, std::nullopt), root_ / "folder");
  EXPECT_EQ(readFile(root_ / "folder" / "inner.txt"), "inner");
  EXPECT_EQ(log_->takeWithCallSites(), Lines{line("debug", kCopy, "same url")});
  // A source without a name of its own is not copied.
  EXPECT_EQ(FM::createCopy(manager_, "", dest, std::nullopt), std::nullopt);
  EXPECT_EQ(log_->takeWithCallSites(), Lines{line("warning", kCopy,
                                                  "failed to copy item. Error:copying  to " +
                                                      dest.string() + ": Invalid argument")});
  EXPECT_EQ(readFile(dest / "report.txt"), "new report");
}

TEST_F(FileHelpers, DirectorySelectionTakesTheNewestFilesOfEachPrefix) {
  const Path dir = root_ / "logs";
  std::filesystem::create_directories(dir / "app-dir.log");
  const auto base = std::chrono::system_clock::now() - 24h;
  const auto at = [&](int minutes) { return base + std::chrono::minutes(minutes); };
  const auto make = [&](const std::string& name, int minutes) {
    writeFile(dir / name, name);
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(at(minutes).time_since_epoch())
            .count();
    const timespec times[2] = {{ns / 1000000000, ns % 1000000000},
                               {ns / 1000000000, ns % 1000000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  };
  make("app-extra-1.log", 1);
  make("app-extra-2.log", 2);
  make("app-1.log", 3);
  make("app-extra-3.log", 4);
  make("app-2.log", 5);
  make("app-3.log", 6);
  make("app-b.log", 7);  // the same time as app-a: name order breaks the tie
  make("app-a.log", 7);
  make("app-upper.LOG", 8);
  make("app-text.txt", 8);
  make(".app-hidden.log", 8);
  make("app-archive.tar.log", 0);
  make("other.log", 8);
  std::filesystem::create_symlink(dir / "app-3.log", dir / "app-link.log");

  const auto names = [](const std::vector<Path>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths)
      out.push_back(p.filename().string());
    return out;
  };
  using Names = std::vector<std::string>;
  const std::vector<std::string> both = {"app", "app-extra"};
  struct Case {
    const char* name;
    std::vector<std::string> prefixes;
    std::vector<std::string> extensions;
    DateRange range;
    std::int64_t limit;
    Names expected;
  };
  const Case cases[] = {
      {"a file under two prefixes is listed twice",
       both,
       {"log"},
       DateRange::closed(at(0), at(6)),
       3,
       {"app-3.log", "app-2.log", "app-extra-3.log", "app-extra-3.log", "app-extra-2.log",
        "app-extra-1.log"}},
      {"limit",
       both,
       {"log"},
       DateRange::from(at(1)),
       2,
       {"app-a.log", "app-b.log", "app-extra-3.log", "app-extra-2.log"}},
      {"half-open excludes its end",
       {"app-"},
       {"log"},
       DateRange::halfOpen(at(3), at(6)),
       9,
       {"app-2.log", "app-extra-3.log", "app-1.log"}},
      {"through includes its end",
       {"app-"},
       {"log"},
       DateRange::through(at(1)),
       9,
       {"app-extra-1.log", "app-archive.tar.log"}},
      {"up to excludes its end",
       {"app-"},
       {"log"},
       DateRange::upTo(at(1)),
       9,
       {"app-archive.tar.log"}},
      {"extensions exactly",
       {"app-"},
       {"txt", "LOG"},
       DateRange::from(at(0)),
       9,
       {"app-text.txt", "app-upper.LOG"}},
      {"no prefix", {}, {"log"}, DateRange::from(at(0)), 9, {}},
      {"limit 0", both, {"log"}, DateRange::from(at(0)), 0, {}},
      {"negative limit", both, {"log"}, DateRange::from(at(0)), -1, {}},
      {"prefix is case-sensitive", {"APP"}, {"log"}, DateRange::from(at(0)), 9, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(
        names(FM::contentsOfDirectory(manager_, dir, c.prefixes, c.extensions, c.range, c.limit)),
        c.expected);
  }

  try {
    FM::contentsOfDirectory(manager_, root_ / "nowhere", both, {"log"}, DateRange::from(at(0)), 1);
    ADD_FAILURE() << "no error thrown";
  } catch (const platform::base::ErrorException& e) {
    EXPECT_EQ(e.error(), platform::base::posixError(ENOENT, (root_ / "nowhere").string()));
  }
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});
}

class FileHelpersInPrivateMounts : public FileHelpers {
 protected:
  void SetUp() override {
    if (!privateMounts().available) GTEST_SKIP() << privateMounts().why;
    account_ = privateMounts().account;
    accountUid_ = privateMounts().accountUid;
  }
  void TearDown() override {
    if (privateMounts().available) {
      ::mount(nullptr, "/tmp", nullptr, MS_REMOUNT, "mode=1777");
      for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        std::filesystem::remove_all(entry.path());
    }
  }
  static void readOnlyTmp() {
    ASSERT_EQ(::mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  }

  std::string account_;
  uid_t accountUid_ = 0;
};

TEST_F(FileHelpersInPrivateMounts, TempFolderFileReplacesWhatIsThereThenFallsBack) {
  writeFile("/tmp/handoff.txt", "old contents");
  EXPECT_EQ(FM::createFileInTempFolder(manager_, "handoff.txt", std::nullopt),
            Path("/tmp/handoff.txt"));
  EXPECT_EQ(readFile("/tmp/handoff.txt"), "");
  EXPECT_EQ(ownerOf("/tmp/handoff.txt"), 0u);
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});

  readOnlyTmp();
  EXPECT_EQ(FM::createFileInTempFolder(manager_, "handoff.txt", std::nullopt),
            root_ / "tmp" / "handoff.txt");
  EXPECT_EQ(log_->takeWithCallSites(),
            Lines{line("warning", kTempFolder, "failed to create file at /tmp, try fallback")});

  // No file name: created nowhere, and neither folder is cleared.
  writeFile(root_ / "tmp" / "kept", "kept");
  EXPECT_EQ(FM::createFileInTempFolder(manager_, "", std::nullopt), std::nullopt);
  EXPECT_EQ(readFile(root_ / "tmp" / "kept"), "kept");
  EXPECT_EQ(log_->takeWithCallSites(),
            (Lines{line("warning", kTempFolder, "failed to create file at /tmp, try fallback"),
                   line("warning", kTempFolder,
                        "failed to create file at the temporaryDirectory fallback folder")}));

  FileManager noTemporaryDirectory({root_ / "containers", root_ / "missing"});
  EXPECT_EQ(FM::createFileInTempFolder(noTemporaryDirectory, "handoff.txt", std::nullopt),
            std::nullopt);
  EXPECT_EQ(log_->takeWithCallSites(),
            (Lines{line("warning", kTempFolder, "failed to create file at /tmp, try fallback"),
                   line("warning", kTempFolder,
                        "failed to create file at the temporaryDirectory fallback folder")}));
}

TEST_F(FileHelpersInPrivateMounts, TempCopyFallsBackToTheContainerThenTheTemporaryDirectory) {
  const Path source = root_ / "bundle.zip";
  writeFile(source, "zip");
  ASSERT_EQ(FM::createTempCopy(manager_, source, "QX7TZ4PD2M.group", std::nullopt),
            Path("/tmp/bundle.zip"));
  EXPECT_EQ(readFile("/tmp/bundle.zip"), "zip");
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});

  std::filesystem::remove("/tmp/bundle.zip");
  readOnlyTmp();
  const std::string tmpFailure = "failed to copy item, try fallback. Error:copying " +
                                 source.string() + " to /tmp/bundle.zip: Read-only file system";
  // No container for the group yet: the temporary directory.
  EXPECT_EQ(FM::createTempCopy(manager_, source, "QX7TZ4PD2M.group", std::nullopt),
            root_ / "tmp" / "bundle.zip");
  EXPECT_EQ(log_->takeWithCallSites(), Lines{line("warning", kTempCopy, tmpFailure)});

  const Path container = root_ / "containers" / "QX7TZ4PD2M.group";
  std::filesystem::create_directories(container);
  EXPECT_EQ(FM::createTempCopy(manager_, source, "QX7TZ4PD2M.group", std::nullopt),
            container / "bundle.zip");
  EXPECT_EQ(readFile(container / "bundle.zip"), "zip");
  EXPECT_EQ(log_->takeWithCallSites(), Lines{line("warning", kTempCopy, tmpFailure)});

  const Path missing = root_ / "missing.zip";
  EXPECT_EQ(FM::createTempCopy(manager_, missing, "QX7TZ4PD2M.group", std::nullopt), std::nullopt);
  EXPECT_EQ(
      log_->takeWithCallSites(),
      (Lines{line("warning", kTempCopy,
                  "failed to copy item, try fallback. Error:copying " + missing.string() +
                      " to /tmp/missing.zip: No such file or directory"),
             line("warning", kTempCopy,
                  "failed to copy item: copying " + missing.string() + " to " +
                      (container / "missing.zip").string() + ": No such file or directory")}));
}

TEST_F(FileHelpersInPrivateMounts, OwnershipGoesToTheNamedAccountAndNothingElseChanges) {
  const Path container = root_ / "containers" / "QX7TZ4PD2M.group";
  std::filesystem::create_directories(container);
  const Path source = root_ / "source.txt";
  writeFile(source, "data");
  ::chmod(source.c_str(), 0604);
  const Path dest = root_ / "dest";
  std::filesystem::create_directories(dest);
  const std::string unknown = "cs-no-such-account";
  const std::string noAccount = "no account is named \"" + unknown + "\"";

  // Granted: the owner is the account's, the permission bits are what they were.
  const Path temp = FM::createFileInTempFolder(manager_, "t.txt", account_).value_or("");
  EXPECT_EQ(ownerOf(temp), accountUid_);
  const mode_t fresh = modeOf(temp);
  const Path shared =
      FM::createFileInSharedContainer(manager_, "s.txt", account_, "QX7TZ4PD2M.group").value_or("");
  EXPECT_EQ(ownerOf(shared), accountUid_);
  EXPECT_EQ(modeOf(shared), fresh);
  const Path copy = FM::createCopy(manager_, source, dest, account_).value_or("");
  EXPECT_EQ(ownerOf(copy), accountUid_);
  EXPECT_EQ(modeOf(copy), 0604u);
  const Path tempCopy =
      FM::createTempCopy(manager_, source, "QX7TZ4PD2M.group", account_).value_or("");
  EXPECT_EQ(tempCopy, Path("/tmp/source.txt"));
  EXPECT_EQ(ownerOf(tempCopy), accountUid_);
  EXPECT_EQ(FM::createCopy(manager_, source, root_, account_), source);
  EXPECT_EQ(ownerOf(source), accountUid_);
  EXPECT_EQ(modeOf(source), 0604u);
  EXPECT_EQ(log_->takeWithCallSites(),
            (Lines{line("debug", kTempFolder, "try to grant ownership of temp file to " + account_),
                   line("debug", kCopy, "same url"), line("debug", kCopy, "set user attributes")}));

  // Refused: what each operation does when the owner cannot be set.
  EXPECT_EQ(FM::createFileInTempFolder(manager_, "t2.txt", unknown), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists("/tmp/t2.txt"));
  EXPECT_EQ(FM::createFileInSharedContainer(manager_, "s2.txt", unknown, "QX7TZ4PD2M.group"),
            std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(container / "s2.txt"));
  EXPECT_EQ(FM::createCopy(manager_, source, dest, unknown), dest / "source.txt");
  EXPECT_EQ(FM::createCopy(manager_, source, root_, unknown), source);
  EXPECT_EQ(FM::createTempCopy(manager_, source, "QX7TZ4PD2M.group", unknown), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists("/tmp/source.txt"));
  EXPECT_EQ(
      log_->takeWithCallSites(),
      (Lines{line("debug", kTempFolder, "try to grant ownership of temp file to " + unknown),
             line("warning", kTempFolder, "failed to set attributes"),
             line("warning", kSharedContainer, "failed to set attributes"),
             line("warning", kCopy, "failed to set user attributes. Error:" + noAccount),
             line("debug", kCopy, "same url"), line("debug", kCopy, "set user attributes"),
             line("warning", kCopy, "failed to set user attributes. Error:" + noAccount),
             line("warning", kTempCopy, "failed to copy item, try fallback. Error:" + noAccount),
             line("warning", kTempCopy, "failed to copy item: " + noAccount)}));

  // No account name: no owner change and no line about ownership, in all four.
  ::chown(source.c_str(), 0, 0);
  for (const auto& made :
       {FM::createFileInTempFolder(manager_, "t3.txt", std::nullopt),
        FM::createFileInSharedContainer(manager_, "s3.txt", std::nullopt, "QX7TZ4PD2M.group"),
        FM::createCopy(manager_, source, dest, std::nullopt),
        FM::createTempCopy(manager_, source, "QX7TZ4PD2M.group", std::nullopt)}) {
    ASSERT_TRUE(made);
    EXPECT_EQ(ownerOf(*made), 0u) << *made;
  }
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});
}

}  // namespace
}  // namespace sharedutils

// As root, run again in a private mount namespace (see PrivateMounts); if unshare cannot be
// run, the tests that need it skip.
int main(int argc, char** argv) {
  if (::geteuid() == 0 && std::getenv(sharedutils::kReexecMarker) == nullptr) {
    // The marker holds the namespace the process started in, to be told apart from the new one.
    ::setenv(sharedutils::kReexecMarker, sharedutils::mountNamespace().c_str(), 1);
    std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("--mount"),
                               const_cast<char*>("--propagation"), const_cast<char*>("private")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    ::execvp("unshare", args.data());
  }
  ::testing::InitGoogleTest(&argc, argv);
  // Mounted before any test makes its directories.
  (void)sharedutils::privateMounts();
  return RUN_ALL_TESTS();
}
