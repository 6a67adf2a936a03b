#include "logging/DDLogFileInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "logging/tests/LogTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"

using namespace logtest;
using platform::diagnostics::ScopedCapture;

namespace {

constexpr const char* kMark = "user.quillmark.log.archived";

std::string rawMark(const std::string& path) {
  char buf[8];
  const ssize_t n = ::getxattr(path.c_str(), kMark, buf, sizeof buf);
  return n < 0 ? std::string("<none>") : std::string(buf, static_cast<std::size_t>(n));
}

unsigned permissions(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

}  // namespace

TEST(DDLogFileInfo, ArchivedMarkIsTheSingleByteOneOrWithoutUserXattrsTheReadOnlyMode) {
  TempDir dir;
  const std::string path = dir / "a.log";
  writeFile(path, "x");
  ::chmod(path.c_str(), 0644);
  ScopedCapture capture;
  DDLogFileInfo info(path);
  EXPECT_FALSE(info.isArchived());
  info.setIsArchived(true);
  EXPECT_EQ(rawMark(path), std::string(1, '\1'));
  EXPECT_TRUE(info.isArchived());
  info.setIsArchived(false);
  EXPECT_EQ(rawMark(path), "<none>");
  EXPECT_FALSE(info.isArchived());
  // Present but empty, or another single byte: still a mark, rewritten as the byte 1. Longer
  // than one byte is not a mark.
  for (const std::string value : {"", "7"}) {
    ASSERT_EQ(::setxattr(path.c_str(), kMark, value.data(), value.size(), 0), 0);
    EXPECT_TRUE(info.isArchived()) << value;
    EXPECT_EQ(rawMark(path), std::string(1, '\1')) << value;
  }
  ASSERT_EQ(::setxattr(path.c_str(), kMark, "\1\1", 2, 0), 0);
  EXPECT_FALSE(info.isArchived());
  ::removexattr(path.c_str(), kMark);

  // Without user extended attributes the mark is the read-only mode, and a fresh record (a later
  // run listing the directory) sees it too.
  auto fs = std::make_shared<ScriptedFileSystem>();
  fs->refuseUserXattrs = true;
  DDLogFileInfo(path, fs).setIsArchived(true);
  EXPECT_EQ(permissions(path), 0444u);
  EXPECT_EQ(rawMark(path), "<none>");
  EXPECT_TRUE(DDLogFileInfo(path, fs).isArchived());
  DDLogFileInfo(path, fs).setIsArchived(false);
  EXPECT_EQ(permissions(path), 0644u);
  EXPECT_FALSE(DDLogFileInfo(path, fs).isArchived());

  // Marking a file that is gone, or unmarking one without the mark, fails silently.
  DDLogFileInfo gone(dir / "gone.log");
  gone.setIsArchived(true);
  EXPECT_FALSE(gone.isArchived());
  info.setIsArchived(false);
  EXPECT_EQ(capture.texts(), Texts{});
}

TEST(DDLogFileInfo, AttributesAreReadLazilyAndFailuresAreNotCached) {
  TempDir dir;
  const std::string path = dir / "late.log";
  ScopedCapture capture;
  DDLogFileInfo info(path);
  EXPECT_FALSE(info.fileAttributes().present);
  EXPECT_FALSE(info.creationDate().has_value());
  EXPECT_EQ(info.age(), 0.0);
  ASSERT_FALSE(capture.texts().empty());
  EXPECT_EQ(capture.texts().front().rfind("DDLogFileInfo: Failed to read file attributes: ", 0), 0u)
      << capture.texts().front();

  // The file appears: the next call asks again. A size of 0 is read again on every call (the
  // file may be growing); a non-zero size is kept, even across reset().
  writeFile(path, "");
  EXPECT_TRUE(info.fileAttributes().present);
  EXPECT_EQ(info.fileSize(), 0u);
  writeFile(path, "12345");
  EXPECT_EQ(info.fileSize(), 5u);
  writeFile(path, "1234567890");
  info.reset();
  EXPECT_EQ(info.fileSize(), 5u);
  EXPECT_EQ(DDLogFileInfo(path).fileSize(), 10u);
  const auto created = info.creationDate();
  ASSERT_TRUE(created.has_value());
  EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - *created), std::chrono::minutes(5));

  // A symbolic link is described itself, never what it points to.
  const std::string link = dir / "link.log";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  DDLogFileInfo linkInfo(link);
  EXPECT_TRUE(linkInfo.isSymlink());
  EXPECT_EQ(linkInfo.fileSize(), path.size());
}

TEST(DDLogFileInfo, RenameReplacesTheTargetAndAlwaysFollowsTheNewPath) {
  TempDir dir;
  writeFile(dir / "a.log", "A");
  writeFile(dir / "b.log", "B");
  DDLogFileInfo info(dir / "a.log");
  ScopedCapture capture;
  info.renameFile("a.log");  // same name: nothing happens
  EXPECT_EQ(readFile(dir / "a.log"), "A");
  info.renameFile("b.log");
  EXPECT_EQ(info.filePath(), dir / "b.log");
  EXPECT_EQ(info.fileName(), "b.log");
  EXPECT_EQ(readFile(dir / "b.log"), "A");
  EXPECT_FALSE(std::filesystem::exists(dir / "a.log"));
  EXPECT_EQ(capture.texts(), Texts{});

  // The source vanished: the failure is reported and the record still moves on.
  std::filesystem::remove(dir / "b.log");
  info.renameFile("c.log");
  EXPECT_EQ(info.filePath(), dir / "c.log");
  EXPECT_EQ(capture.texts(), Texts{"DDLogFileInfo: Error renaming file (b.log): rename(" +
                                   (dir / "b.log").string() + "): No such file or directory"});
}

TEST(DDLogFileInfo, ReverseDateComparisonPutsTheLaterDateFirstAndMissingDatesLast) {
  using D = std::optional<DDLogFileInfo::Date>;
  const D early = DDLogFileInfo::Date(std::chrono::seconds(100));
  const D late = DDLogFileInfo::Date(std::chrono::seconds(200));
  const std::vector<std::tuple<D, D, std::weak_ordering>> cases = {
      {late, early, std::weak_ordering::less},
      {early, late, std::weak_ordering::greater},
      {early, early, std::weak_ordering::equivalent},
      {early, std::nullopt, std::weak_ordering::less},
      {std::nullopt, early, std::weak_ordering::greater},
      {std::nullopt, std::nullopt, std::weak_ordering::equivalent}};
  for (const auto& [us, them, expected] : cases) {
    EXPECT_EQ(DDLogFileInfo::reverseCompareDatesUs(us, them), expected);
  }
}

TEST(DDLogFileInfo, DescriptionAndBadParameters) {
  TempDir dir;
  writeFile(dir / "a.log", "abc");
  DDLogFileInfo a(dir / "a.log");
  EXPECT_EQ(DDLogFileInfo::logFileWithPath(""), nullptr);

  a.setIsArchived(true);
  const std::string d = a.description();
  std::size_t last = 0;
  for (const char* key :
       {"{filePath = ", "; fileName = a.log", "; fileAttributes = {type = regular",
        "; creationDate = ", "; modificationDate = ", "; fileSize = 3",
        "; age = ", "; isArchived = 1}"}) {
    const auto at = d.find(key);
    ASSERT_NE(at, std::string::npos) << key << " in " << d;
    EXPECT_GE(at, last) << key;
    last = at;
  }

  ScopedCapture capture;
  DDLogFileInfo empty{std::string()};
  DDLogFileInfo noFs(dir / "a.log", nullptr);
  EXPECT_TRUE(capture.contains("Invalid parameter not satisfying: aFilePath"));
  EXPECT_TRUE(capture.contains("Invalid parameter not satisfying: fileManager"));
  EXPECT_EQ(noFs.fileSize(), 3u);  // falls back to the real file system
}
