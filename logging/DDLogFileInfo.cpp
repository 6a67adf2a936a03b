#include "logging/DDLogFileInfo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "logging/DDLogFileManagerDefault.h"
#include "platform/base/ErrnoText.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

std::string lastPathComponent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::shared_ptr<DDLogFileInfo> DDLogFileInfo::logFileWithPath(std::string_view path) {
  if (path.empty()) return nullptr;
  return std::make_shared<DDLogFileInfo>(std::string(path));
}

DDLogFileInfo::DDLogFileInfo(std::string filePath)
    : DDLogFileInfo(std::move(filePath), DDLogFileManagerFileSystem::defaultManager()) {}

DDLogFileInfo::DDLogFileInfo(std::string filePath,
                             std::shared_ptr<DDLogFileManagerFileSystem> fileManager)
    : fileManager_(fileManager ? fileManager : DDLogFileManagerFileSystem::defaultManager()),
      filePath_(std::move(filePath)) {
  // Both violations are refused by working on: an empty path reads as a file with no
  // attributes, and a missing file-system object is replaced by the default one.
  if (filePath_.empty()) {
    platform::diagnostics::contractViolation("Invalid parameter not satisfying: aFilePath");
  }
  if (!fileManager) {
    platform::diagnostics::contractViolation("Invalid parameter not satisfying: fileManager");
  }
}

std::string DDLogFileInfo::filePath() const {
  std::lock_guard lock(mutex_);
  return filePath_;
}

std::string DDLogFileInfo::fileName() const {
  std::lock_guard lock(mutex_);
  if (!fileName_) fileName_ = lastPathComponent(filePath_);
  return *fileName_;
}

const DDLogFileAttributes* DDLogFileInfo::lockedAttributes() const {
  if (fileAttributes_) return &*fileAttributes_;
  if (filePath_.empty()) return nullptr;
  DDLogFileError error;
  auto attrs = fileManager_->attributesOfItem(filePath_, &error);
  if (!attrs) {
    platform::diagnostics::reportf("DDLogFileInfo: Failed to read file attributes: %s",
                                   error.description.c_str());
    return nullptr;
  }
  fileAttributes_ = std::move(*attrs);
  return &*fileAttributes_;
}

DDLogFileAttributes DDLogFileInfo::fileAttributes() const {
  std::lock_guard lock(mutex_);
  const auto* attrs = lockedAttributes();
  return attrs ? *attrs : DDLogFileAttributes{};
}

std::optional<DDLogFileInfo::Date> DDLogFileInfo::creationDate() const {
  std::lock_guard lock(mutex_);
  if (creationDate_) return creationDate_;
  const auto* attrs = lockedAttributes();
  if (!attrs) return std::nullopt;
  if (attrs->creationDate) {
    creationDate_ = attrs->creationDate;
  } else {
    if (!fileName_) fileName_ = lastPathComponent(filePath_);
    creationDate_ = DDLogFileManagerDefault::dateFromLogFileName(*fileName_);
    if (!creationDate_) creationDate_ = attrs->modificationDate;
  }
  return creationDate_;
}

std::optional<DDLogFileInfo::Date> DDLogFileInfo::modificationDate() const {
  std::lock_guard lock(mutex_);
  if (modificationDate_) return modificationDate_;
  const auto* attrs = lockedAttributes();
  if (attrs) modificationDate_ = attrs->modificationDate;
  return modificationDate_;
}

std::uint64_t DDLogFileInfo::fileSize() const {
  std::lock_guard lock(mutex_);
  if (fileSize_ != 0) return fileSize_;
  // A size of 0 is not trusted (the file may just have been created and be growing), so it is
  // read afresh until it is not 0.
  fileAttributes_.reset();
  if (const auto* attrs = lockedAttributes()) fileSize_ = attrs->size;
  return fileSize_;
}

double DDLogFileInfo::age() const {
  const auto created = creationDate();
  if (!created) return 0.0;
  return std::chrono::duration<double>(std::chrono::system_clock::now() - *created).count();
}

bool DDLogFileInfo::isSymlink() const {
  std::lock_guard lock(mutex_);
  const auto* attrs = lockedAttributes();
  return attrs && attrs->type == DDLogFileAttributes::Type::SymbolicLink;
}

bool DDLogFileInfo::isArchived() const {
  return hasExtendedAttributeWithName(kArchivedAttributeName);
}

void DDLogFileInfo::setIsArchived(bool archived) {
  if (archived) {
    addExtendedAttributeWithName(kArchivedAttributeName);
  } else {
    removeExtendedAttributeWithName(kArchivedAttributeName);
  }
}

void DDLogFileInfo::reset() {
  std::lock_guard lock(mutex_);
  fileName_.reset();
  fileAttributes_.reset();
  creationDate_.reset();
  modificationDate_.reset();
}

void DDLogFileInfo::renameFile(std::string_view newFileName) {
  const std::string oldName = fileName();
  if (newFileName == oldName) return;
  std::string oldPath = filePath();
  const auto slash = oldPath.find_last_of('/');
  const std::string directory =
      slash == std::string::npos ? std::string() : oldPath.substr(0, slash);
  const std::string newPath = directory.empty() && slash == std::string::npos
                                  ? std::string(newFileName)
                                  : directory + "/" + std::string(newFileName);

  DDLogFileError error;
  if (!fileManager_->removeItem(newPath, &error) && error.code != ENOENT) {
    platform::diagnostics::reportf("DDLogFileInfo: Error deleting archive (%s): %s",
                                   oldName.c_str(), error.description.c_str());
  }
  if (!fileManager_->moveItem(oldPath, newPath, &error)) {
    platform::diagnostics::reportf("DDLogFileInfo: Error renaming file (%s): %s", oldName.c_str(),
                                   error.description.c_str());
  }
  {
    std::lock_guard lock(mutex_);
    filePath_ = newPath;
  }
  reset();
}

std::string DDLogFileInfo::platformAttributeName(std::string_view name) {
  for (std::string_view ns : {"user.", "trusted.", "security.", "system."}) {
    if (name.substr(0, ns.size()) == ns) return std::string(name);
  }
  std::string out = "user.";
  out.append(name);
  return out;
}

bool DDLogFileInfo::markInModeLocked(const std::string& path) const {
  // Read afresh: the mode is the mark, and a cached copy may predate a change.
  auto attrs = fileManager_->attributesOfItem(path, nullptr);
  return attrs && attrs->type == DDLogFileAttributes::Type::Regular &&
         (attrs->permissions & 0200) == 0;
}

bool DDLogFileInfo::hasExtendedAttributeWithName(std::string_view name) const {
  const std::string path = filePath();
  const std::string attr = platformAttributeName(name);
  unsigned char byte = 0;
  const ssize_t n = fileManager_->getExtendedAttribute(path, attr, &byte, 1);
  if (n == 1 && byte == 1) return true;
  if (n == 0 || n == 1) {
    // Present but not the expected byte: the mark was set by someone else; normalise it.
    const unsigned char one = 1;
    fileManager_->setExtendedAttribute(path, attr, &one, 1);
    return true;
  }
  if (n == -ENOTSUP) return markInModeLocked(path);
  return false;
}

void DDLogFileInfo::addExtendedAttributeWithName(std::string_view name) {
  const std::string path = filePath();
  const std::string attr = platformAttributeName(name);
  const unsigned char one = 1;
  int r = fileManager_->setExtendedAttribute(path, attr, &one, 1);
  if (r == -ENOTSUP) {
    auto attrs = fileManager_->attributesOfItem(path, nullptr);
    r = attrs ? fileManager_->setPermissions(path, attrs->permissions & ~mode_t{0222}) : -ENOENT;
  }
  if (r != 0 && r != -ENOENT) {
    platform::diagnostics::reportf("DDLogFileInfo: setxattr(%s, %s): error = %s", attr.c_str(),
                                   path.c_str(), platform::base::errnoText(-r).c_str());
  }
}

void DDLogFileInfo::removeExtendedAttributeWithName(std::string_view name) {
  const std::string path = filePath();
  const std::string attr = platformAttributeName(name);
  int r = fileManager_->removeExtendedAttribute(path, attr);
  if (r == -ENOTSUP) {
    auto attrs = fileManager_->attributesOfItem(path, nullptr);
    r = attrs ? fileManager_->setPermissions(path, attrs->permissions | mode_t{0200}) : -ENOENT;
  }
  if (r != 0 && r != -ENODATA) {
    platform::diagnostics::reportf("DDLogFileInfo: removexattr(%s, %s): error = %s", attr.c_str(),
                                   fileName().c_str(), platform::base::errnoText(-r).c_str());
  }
}

std::string DDLogFileInfo::description() const {
  const auto created = creationDate();
  const auto modified = modificationDate();
  const auto dateOrEmpty = [](const std::optional<Date>& d) {
    return d ? DDLogFileAttributes::dateText(*d) : std::string();
  };
  char ageText[64];
  std::snprintf(ageText, sizeof ageText, "%.3f", age());
  std::string out = "{filePath = ";
  out.append(filePath());
  out.append("; fileName = ").append(fileName());
  out.append("; fileAttributes = ").append(fileAttributes().description());
  out.append("; creationDate = ").append(dateOrEmpty(created));
  out.append("; modificationDate = ").append(dateOrEmpty(modified));
  out.append("; fileSize = ").append(std::to_string(fileSize()));
  out.append("; age = ").append(ageText);
  out.append("; isArchived = ").append(isArchived() ? "1" : "0");
  out.append("}");
  return out;
}

std::weak_ordering DDLogFileInfo::reverseCompareDatesUs(const std::optional<Date>& us,
                                                        const std::optional<Date>& them) {
  if (us && them) return *them <=> *us;
  if (us) return std::weak_ordering::less;
  if (them) return std::weak_ordering::greater;
  return std::weak_ordering::equivalent;
}

std::weak_ordering DDLogFileInfo::reverseCompareByCreationDate(const DDLogFileInfo& other) const {
  return reverseCompareDatesUs(creationDate(), other.creationDate());
}

std::weak_ordering DDLogFileInfo::reverseCompareByModificationDate(
    const DDLogFileInfo& other) const {
  return reverseCompareDatesUs(modificationDate(), other.modificationDate());
}
