#include "logging/DDLogFileInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>

#include "logging/tests/DDLogFileManagerTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"

using logfiletest::readFile;
using logfiletest::ScriptedFileSystem;
using logfiletest::TempDir;
using logfiletest::writeFile;
using platform::diagnostics::ScopedCapture;

namespace {

constexpr const char* kMark = "user.quillmark.log.archived";

std::string rawMark(const std::string& path) {
  char buf[8];
  const ssize_t n = ::getxattr(path.c_str(), kMark, buf, sizeof buf);
  return n < 0 ? std::string("<none>") : std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

TEST(DDLogFileInfo, ArchivedMarkIsTheSingleByteOneAndOddValuesAreNormalised) {
  TempDir dir;
  const std::string path = dir / "a.log";
  writeFile(path, "x");
  DDLogFileInfo info(path);
  EXPECT_FALSE(info.isArchived());

  info.setIsArchived(true);
  EXPECT_EQ(rawMark(path), std::string(1, '\1'));
  EXPECT_TRUE(info.isArchived());
  info.setIsArchived(false);
  EXPECT_EQ(rawMark(path), "<none>");
  EXPECT_FALSE(info.isArchived());

  // Present but empty, or another single byte: still a mark, and rewritten as the byte 1.
  ASSERT_EQ(::setxattr(path.c_str(), kMark, "", 0, 0), 0);
  EXPECT_TRUE(info.isArchived());
  EXPECT_EQ(rawMark(path), std::string(1, '\1'));
  ASSERT_EQ(::setxattr(path.c_str(), kMark, "7", 1, 0), 0);
  EXPECT_TRUE(info.isArchived());
  EXPECT_EQ(rawMark(path), std::string(1, '\1'));
  // Longer than one byte is not a mark.
  ASSERT_EQ(::setxattr(path.c_str(), kMark, "\1\1", 2, 0), 0);
  EXPECT_FALSE(info.isArchived());

  // Marking a file that is gone fails silently; unmarking a file without the mark too.
  ScopedCapture capture;
  DDLogFileInfo gone(dir / "gone.log");
  gone.setIsArchived(true);
  EXPECT_FALSE(gone.isArchived());
  DDLogFileInfo plain(dir / "plain.log");
  writeFile(plain.filePath(), "");
  plain.setIsArchived(false);
  EXPECT_TRUE(capture.texts().empty()) << capture.texts().front();
}

TEST(DDLogFileInfo, WithoutUserXattrsTheMarkLivesInTheModeAndIsSeenByNewRecords) {
  TempDir dir;
  const std::string path = dir / "a.log";
  writeFile(path, "x");
  ::chmod(path.c_str(), 0644);
  auto fs = std::make_shared<ScriptedFileSystem>();
  fs->refuseUserXattrs = true;

  ScopedCapture capture;
  DDLogFileInfo info(path, fs);
  EXPECT_FALSE(info.isArchived());
  info.setIsArchived(true);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(rawMark(path), "<none>");
  // A fresh record (a later run listing the directory) sees the mark too.
  EXPECT_TRUE(DDLogFileInfo(path, fs).isArchived());

  info.setIsArchived(false);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_FALSE(DDLogFileInfo(path, fs).isArchived());
  EXPECT_TRUE(capture.texts().empty());
}

TEST(DDLogFileInfo, AttributesAreReadLazilyAndFailuresAreNotCached) {
  TempDir dir;
  const std::string path = dir / "late.log";
  ScopedCapture capture;
  DDLogFileInfo info(path);
  EXPECT_FALSE(info.fileAttributes().present);
  EXPECT_EQ(info.fileSize(), 0u);
  EXPECT_FALSE(info.creationDate().has_value());
  EXPECT_EQ(info.age(), 0.0);
  EXPECT_FALSE(info.isSymlink());
  ASSERT_FALSE(capture.texts().empty());
  EXPECT_EQ(capture.texts().front().rfind("DDLogFileInfo: Failed to read file attributes: ", 0), 0u)
      << capture.texts().front();

  // The file appears: the next call asks again. A size of 0 is read again on every call; a
  // non-zero size is kept.
  writeFile(path, "");
  EXPECT_TRUE(info.fileAttributes().present);
  EXPECT_EQ(info.fileSize(), 0u);
  writeFile(path, "12345");
  EXPECT_EQ(info.fileSize(), 5u);
  writeFile(path, "1234567890");
  EXPECT_EQ(info.fileSize(), 5u);
  info.reset();  // drops names, attributes and dates, not the size
  EXPECT_EQ(info.fileSize(), 5u);
  EXPECT_EQ(DDLogFileInfo(path).fileSize(), 10u);

  const auto created = info.creationDate();
  ASSERT_TRUE(created.has_value());
  EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - *created), std::chrono::minutes(5));
  EXPECT_GE(info.age(), 0.0);

  // A symbolic link is described itself, never what it points to.
  const std::string link = dir / "link.log";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  DDLogFileInfo linkInfo(link);
  EXPECT_TRUE(linkInfo.isSymlink());
  EXPECT_NE(linkInfo.fileSize(), 10u);
}

TEST(DDLogFileInfo, RenameReplacesTheTargetAndAlwaysFollowsTheNewPath) {
  TempDir dir;
  writeFile(dir / "a.log", "A");
  writeFile(dir / "b.log", "B");
  DDLogFileInfo info(dir / "a.log");
  EXPECT_EQ(info.fileName(), "a.log");

  ScopedCapture capture;
  info.renameFile("a.log");  // same name: nothing happens
  EXPECT_EQ(info.filePath(), dir / "a.log");
  info.renameFile("b.log");
  EXPECT_EQ(info.filePath(), dir / "b.log");
  EXPECT_EQ(info.fileName(), "b.log");
  EXPECT_EQ(readFile(dir / "b.log"), "A");
  EXPECT_FALSE(std::filesystem::exists(dir / "a.log"));
  EXPECT_TRUE(capture.texts().empty());

  // The source vanished: the failure is reported and the record still moves on.
  std::filesystem::remove(dir / "b.log");
  info.renameFile("c.log");
  EXPECT_EQ(info.filePath(), dir / "c.log");
  ASSERT_EQ(capture.texts().size(), 1u);
  EXPECT_EQ(capture.texts()[0].rfind("DDLogFileInfo: Error renaming file (b.log): ", 0), 0u)
      << capture.texts()[0];
}

TEST(DDLogFileInfo, ReverseDateComparisonPutsTheLaterDateFirst) {
  using D = DDLogFileInfo::Date;
  const D early = D(std::chrono::seconds(100));
  const D late = D(std::chrono::seconds(200));
  EXPECT_EQ(DDLogFileInfo::reverseCompareDatesUs(late, early), std::weak_ordering::less);
  EXPECT_EQ(DDLogFileInfo::reverseCompareDatesUs(early, late), std::weak_ordering::greater);
  EXPECT_EQ(DDLogFileInfo::reverseCompareDatesUs(early, early), std::weak_ordering::equivalent);
  EXPECT_EQ(DDLogFileInfo::reverseCompareDatesUs(early, std::nullopt), std::weak_ordering::less);
  EXPECT_EQ(DDLogFileInfo::reverseCompareDatesUs(std::nullopt, early), std::weak_ordering::greater);
  EXPECT_EQ(DDLogFileInfo::reverseCompareDatesUs(std::nullopt, std::nullopt),
            std::weak_ordering::equivalent);

  TempDir dir;
  writeFile(dir / "old.log", "");
  std::filesystem::last_write_time(
      dir / "old.log", std::filesystem::file_time_type::clock::now() - std::chrono::hours(2));
  writeFile(dir / "new.log", "");
  DDLogFileInfo oldInfo(dir / "old.log"), newInfo(dir / "new.log");
  EXPECT_EQ(newInfo.reverseCompareByModificationDate(oldInfo), std::weak_ordering::less);
  EXPECT_EQ(oldInfo.reverseCompareByModificationDate(newInfo), std::weak_ordering::greater);
}

TEST(DDLogFileInfo, EqualityDescriptionAndContract) {
  TempDir dir;
  writeFile(dir / "a.log", "abc");
  DDLogFileInfo a(dir / "a.log"), same(dir / "a.log"), other(dir / "b.log");
  EXPECT_TRUE(a == same);
  EXPECT_EQ(a.hash(), same.hash());
  EXPECT_FALSE(a == other);
  EXPECT_EQ(DDLogFileInfo::logFileWithPath(""), nullptr);
  ASSERT_NE(DDLogFileInfo::logFileWithPath(dir / "a.log"), nullptr);

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
  EXPECT_EQ(noFs.fileSize(), 3u);
}
