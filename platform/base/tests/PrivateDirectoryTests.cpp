#include "platform/base/PrivateDirectory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct ScopedTmpdir {
  explicit ScopedTmpdir(const std::string& dir) {
    if (const char* old = std::getenv("TMPDIR")) previous = old;
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~ScopedTmpdir() {
    if (previous.empty()) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", previous.c_str(), 1);
    }
  }
  std::string previous;
};

bool privateToMe(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 0777) == 0700;
}

TEST(PrivateDirectory, MadeOnceForThisUserAndNeverOneSomebodyElsePreparedThere) {
  std::string root = std::filesystem::temp_directory_path() / "private-dir-test-XXXXXX";
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  ::chmod(root.c_str(), 01777);  // shared like /tmp
  const std::string expected = root + "/logs-" + std::to_string(::geteuid());
  {
    ScopedTmpdir tmpdir(root + "/");
    const mode_t oldMask = ::umask(0);  // a lax umask must not open the directory up
    const std::string first = platform::base::privateTemporaryDirectory("logs");
    ::umask(oldMask);
    EXPECT_EQ(first, expected);
    EXPECT_TRUE(privateToMe(first));
    EXPECT_EQ(platform::base::privateTemporaryDirectory("logs"), first);  // the same one again

    // Taken by something this user must not trust: a directory open to others, a link to a
    // private directory, a plain file. Each time a fresh private directory is made instead.
    struct Trap {
      const char* what;
      void (*prepare)(const std::string& path, const std::string& root);
    };
    const Trap traps[] = {
        {"open directory",
         [](const std::string& p, const std::string&) {
           ::mkdir(p.c_str(), 0777), ::chmod(p.c_str(), 0777);
         }},
        {"link",
         [](const std::string& p, const std::string& r) {
           ::mkdir((r + "/elsewhere").c_str(), 0700);
           (void)::symlink((r + "/elsewhere").c_str(), p.c_str());
         }},
        {"file", [](const std::string& p,
                    const std::string&) { ::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0600)); }},
    };
    for (const auto& trap : traps) {
      SCOPED_TRACE(trap.what);
      std::filesystem::remove_all(expected);
      std::filesystem::remove(expected);
      trap.prepare(expected, root);
      const std::string fresh = platform::base::privateTemporaryDirectory("logs");
      EXPECT_TRUE(fresh.starts_with(expected + "-")) << fresh;
      EXPECT_TRUE(privateToMe(fresh));
    }
  }
  std::filesystem::remove_all(root);
}

}  // namespace
