#include "platform/files/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/base/NoDestructor.h"

namespace platform::files {

namespace {

using base::Error;
using base::FileDescriptor;

struct DirectoryStreamClose {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

std::string copySubject(const std::filesystem::path& from, const std::filesystem::path& to) {
  return "copying " + from.string() + " to " + to.string();
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies what `in` holds from its current offset to its end.
bool copyData(int in, int out) {
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
    return false;
  }
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !writeAll(out, buffer, static_cast<std::size_t>(n))) return false;
  }
}

std::optional<Error> copyRegularFile(const std::filesystem::path& from,
                                     const std::filesystem::path& to, const struct stat& st) {
  FileDescriptor in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in) return base::posixError(errno, copySubject(from, to));
  FileDescriptor out(
      ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return base::posixError(errno, copySubject(from, to));
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (!copyData(in.get(), out.get()) || ::fchmod(out.get(), st.st_mode & 07777) != 0 ||
      ::futimens(out.get(), times) != 0 || out.close() != 0) {
    const int err = errno;
    ::unlink(to.c_str());
    return base::posixError(err, copySubject(from, to));
  }
  return std::nullopt;
}

std::optional<uid_t> accountUid(const std::string& name) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return std::nullopt;
  return found->pw_uid;
}

}  // namespace

FileManager::Locations FileManager::defaultLocations() {
  Locations locations;
  if (::geteuid() == 0) {
    locations.containersDirectory = "/var/lib";
  } else if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
    locations.containersDirectory = data;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    locations.containersDirectory = std::filesystem::path(home) / ".local/share";
  }
  const char* tmp = std::getenv("TMPDIR");
  locations.temporaryDirectory = tmp && tmp[0] == '/' ? tmp : "/tmp";
  return locations;
}

FileManager& FileManager::defaultManager() {
  static base::NoDestructor<FileManager> manager(defaultLocations());
  return *manager;
}

std::optional<std::filesystem::path> FileManager::containerURLForSecurityApplicationGroupIdentifier(
    std::string_view groupIdentifier) const {
  if (locations_.containersDirectory.empty() || groupIdentifier.empty() || groupIdentifier == "." ||
      groupIdentifier == ".." || groupIdentifier.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  auto container = locations_.containersDirectory / groupIdentifier;
  struct stat st {};
  if (::stat(container.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return container;
}

std::optional<Error> FileManager::removeItem(const std::filesystem::path& path) const {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return base::posixError(errno, path.string());
  if (S_ISDIR(st.st_mode)) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) return base::posixError(ec.value(), path.string());
    return std::nullopt;
  }
  if (::unlink(path.c_str()) != 0) return base::posixError(errno, path.string());
  return std::nullopt;
}

bool FileManager::createFile(const std::filesystem::path& path) const {
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  return fd.valid() && fd.close() == 0;
}

std::optional<Error> FileManager::copyItem(const std::filesystem::path& from,
                                           const std::filesystem::path& to) const {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) return base::posixError(errno, copySubject(from, to));
  if (fileExists(to)) return base::posixError(EEXIST, copySubject(from, to));
  if (S_ISREG(st.st_mode)) return copyRegularFile(from, to, st);
  std::error_code ec;
  if (S_ISLNK(st.st_mode)) {
    std::filesystem::copy_symlink(from, to, ec);
  } else if (S_ISDIR(st.st_mode)) {
    std::filesystem::copy(
        from, to,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
        ec);
  } else {
    ec = std::make_error_code(std::errc::operation_not_supported);
  }
  if (ec) return base::posixError(ec.value(), copySubject(from, to));
  return std::nullopt;
}

bool FileManager::fileExists(const std::filesystem::path& path) const {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::optional<Error> FileManager::setOwnerAccountName(const std::filesystem::path& path,
                                                      const std::string& accountName) const {
  const auto uid = accountUid(accountName);
  if (!uid) {
    return Error{std::string(base::kPosixErrorDomain), EINVAL,
                 "no account is named \"" + accountName + "\""};
  }
  if (::fchownat(AT_FDCWD, path.c_str(), *uid, static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW) != 0) {
    return base::posixError(errno, path.string());
  }
  return std::nullopt;
}

std::optional<std::vector<DirectoryEntry>> FileManager::contentsOfDirectory(
    const std::filesystem::path& directory, bool skipsHiddenFiles, Error& error) const {
  FileDescriptor dirFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DIR, DirectoryStreamClose> stream(dirFd ? ::fdopendir(dirFd.get()) : nullptr);
  if (!stream) {
    error = base::posixError(errno, directory.string());
    return std::nullopt;
  }
  // The stream owns the descriptor from here on.
  (void)dirFd.release();
  DIR* dir = stream.get();
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (skipsHiddenFiles && name.front() == '.') continue;
    names.emplace_back(name);
  }
  const int readError = errno;
  const int fd = ::dirfd(dir);
  std::sort(names.begin(), names.end());
  std::vector<DirectoryEntry> entries;
  entries.reserve(names.size());
  for (auto& name : names) {
    DirectoryEntry entry{directory / name, std::nullopt};
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.values =
          ResourceValues{std::move(name), S_ISREG(st.st_mode),
                         std::chrono::system_clock::time_point(
                             std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                 std::chrono::seconds(st.st_mtim.tv_sec) +
                                 std::chrono::nanoseconds(st.st_mtim.tv_nsec)))};
    }
    entries.push_back(std::move(entry));
  }
  if (readError != 0) {
    error = base::posixError(readError, directory.string());
    return std::nullopt;
  }
  return entries;
}

}  // namespace platform::files
