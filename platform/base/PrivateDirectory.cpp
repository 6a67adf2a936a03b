#include "platform/base/PrivateDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform::base {
namespace {

// A directory (not a link to one) owned by this user, which no one else may enter.
bool isPrivateDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

}  // namespace

std::string privateTemporaryDirectory(std::string_view prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/')
    base.pop_back();
  std::string path = base + "/" + std::string(prefix) + "-" + std::to_string(::geteuid());
  // Created with 0700 before the umask, which can only take rights away.
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
  if (isPrivateDirectory(path)) return path;
  std::string fresh = path + "-XXXXXX";
  if (::mkdtemp(fresh.data()) == nullptr) return {};
  return fresh;
}

}  // namespace platform::base
