#include "logging/DDLogFileManagerFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/base/ErrnoText.h"
#include "platform/base/FileDescriptor.h"
#include "platform/base/NoDestructor.h"

namespace {

using Clock = std::chrono::system_clock;

Clock::time_point toTimePoint(const struct statx_timestamp& ts) {
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
}

std::string utcText(Clock::time_point tp) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch());
  const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03lld +0000",
                static_cast<long long>(((ms.count() % 1000) + 1000) % 1000));
  return buf;
}

const char* typeName(DDLogFileAttributes::Type t) {
  switch (t) {
    case DDLogFileAttributes::Type::Regular:
      return "regular";
    case DDLogFileAttributes::Type::Directory:
      return "directory";
    case DDLogFileAttributes::Type::SymbolicLink:
      return "symbolicLink";
    case DDLogFileAttributes::Type::Other:
      return "other";
    case DDLogFileAttributes::Type::Unknown:
      break;
  }
  return "unknown";
}

bool fail(DDLogFileError* error, int err, std::string_view op, std::string_view path) {
  if (error) *error = DDLogFileError::fromErrno(err, op, path);
  return false;
}

}  // namespace

DDLogFileError DDLogFileError::fromErrno(int err, std::string_view operation,
                                         std::string_view path) {
  DDLogFileError e;
  e.code = err;
  const std::string text = platform::base::errnoText(err);
  e.description.reserve(operation.size() + path.size() + 64);
  e.description.append(operation).append("(").append(path).append("): ").append(text);
  return e;
}

std::string DDLogFileAttributes::dateText(std::chrono::system_clock::time_point date) {
  return utcText(date);
}

std::string DDLogFileAttributes::description() const {
  if (!present) return "{}";
  char perm[16];
  std::snprintf(perm, sizeof perm, "%04o", static_cast<unsigned>(permissions & 07777));
  std::string out = "{type = ";
  out.append(typeName(type));
  out.append("; size = ").append(std::to_string(size));
  out.append("; permissions = ").append(perm);
  out.append("; creationDate = ").append(creationDate ? utcText(*creationDate) : "");
  out.append("; modificationDate = ").append(modificationDate ? utcText(*modificationDate) : "");
  out.append("}");
  return out;
}

const std::shared_ptr<DDLogFileManagerFileSystem>& DDLogFileManagerFileSystem::defaultManager() {
  // Never destroyed: file records made during the exit flush still use it.
  static platform::base::NoDestructor<std::shared_ptr<DDLogFileManagerFileSystem>> instance(
      std::make_shared<DDLogFileManagerFileSystem>());
  return *instance;
}

std::optional<DDLogFileAttributes> DDLogFileManagerFileSystem::attributesOfItem(
    const std::string& path, DDLogFileError* error) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) !=
      0) {
    fail(error, errno, "statx", path);
    return std::nullopt;
  }
  DDLogFileAttributes a;
  a.present = true;
  switch (stx.stx_mode & S_IFMT) {
    case S_IFREG:
      a.type = DDLogFileAttributes::Type::Regular;
      break;
    case S_IFDIR:
      a.type = DDLogFileAttributes::Type::Directory;
      break;
    case S_IFLNK:
      a.type = DDLogFileAttributes::Type::SymbolicLink;
      break;
    default:
      a.type = DDLogFileAttributes::Type::Other;
      break;
  }
  a.size = stx.stx_size;
  a.permissions = stx.stx_mode & 07777;
  if (stx.stx_mask & STATX_BTIME) a.creationDate = toTimePoint(stx.stx_btime);
  if (stx.stx_mask & STATX_MTIME) a.modificationDate = toTimePoint(stx.stx_mtime);
  return a;
}

std::optional<std::vector<DDLogFileManagerFileSystem::DirectoryEntry>>
DDLogFileManagerFileSystem::contentsOfDirectory(const std::string& path, DDLogFileError* error) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) {
    fail(error, errno, "opendir", path);
    return std::nullopt;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, &::closedir);
  std::vector<DirectoryEntry> out;
  for (;;) {
    errno = 0;
    const dirent* ent = ::readdir(dir);
    if (!ent) {
      if (errno != 0) {
        fail(error, errno, "readdir", path);
        return std::nullopt;
      }
      break;
    }
    std::string_view name = ent->d_name;
    if (name == "." || name == "..") continue;
    bool isDir = ent->d_type == DT_DIR;
    if (ent->d_type == DT_UNKNOWN) {
      struct stat st {};
      const std::string full = path + "/" + std::string(name);
      isDir = ::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    out.push_back({std::string(name), isDir});
  }
  return out;
}

bool DDLogFileManagerFileSystem::createDirectory(const std::string& path, DDLogFileError* error) {
  if (path.empty()) return fail(error, ENOENT, "mkdir", path);
  // Walk the path from the root, creating each missing component.
  std::size_t pos = 0;
  for (;;) {
    pos = path.find('/', pos + 1);
    const std::string part = path.substr(0, pos);
    if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return fail(error, errno, "mkdir", part);
    }
    if (pos == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(error, errno, "stat", path);
  if (!S_ISDIR(st.st_mode)) return fail(error, ENOTDIR, "mkdir", path);
  return true;
}

bool DDLogFileManagerFileSystem::createFile(const std::string& path, std::string_view contents,
                                            DDLogFileError* error) {
  platform::base::FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd) return fail(error, errno, "open", path);
  std::size_t off = 0;
  while (off < contents.size()) {
    const ssize_t n = ::write(fd.get(), contents.data() + off, contents.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : ENOSPC;
      fd.reset();
      ::unlink(path.c_str());
      return fail(error, err, "write", path);
    }
    off += static_cast<std::size_t>(n);
  }
  // An interrupted close has still closed the file on Linux: not a failure.
  if (const int err = fd.close(); err != 0 && err != EINTR) {
    ::unlink(path.c_str());
    return fail(error, err, "close", path);
  }
  return true;
}

bool DDLogFileManagerFileSystem::removeItem(const std::string& path, DDLogFileError* error) {
  if (::unlink(path.c_str()) != 0) return fail(error, errno, "unlink", path);
  return true;
}

bool DDLogFileManagerFileSystem::moveItem(const std::string& from, const std::string& to,
                                          DDLogFileError* error) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(error, errno, "rename", from);
  return true;
}

ssize_t DDLogFileManagerFileSystem::getExtendedAttribute(const std::string& path,
                                                         const std::string& name, void* buffer,
                                                         std::size_t size) {
  const ssize_t n = ::lgetxattr(path.c_str(), name.c_str(), buffer, size);
  return n < 0 ? -errno : n;
}

int DDLogFileManagerFileSystem::setExtendedAttribute(const std::string& path,
                                                     const std::string& name, const void* value,
                                                     std::size_t size) {
  return ::lsetxattr(path.c_str(), name.c_str(), value, size, 0) == 0 ? 0 : -errno;
}

int DDLogFileManagerFileSystem::removeExtendedAttribute(const std::string& path,
                                                        const std::string& name) {
  return ::lremovexattr(path.c_str(), name.c_str()) == 0 ? 0 : -errno;
}

int DDLogFileManagerFileSystem::setPermissions(const std::string& path, mode_t mode) {
  return ::chmod(path.c_str(), mode) == 0 ? 0 : -errno;
}
