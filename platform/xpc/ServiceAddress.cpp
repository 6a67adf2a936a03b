#include "platform/xpc/ServiceAddress.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/base/PrivateDirectory.h"

namespace platform::xpc {

namespace {

std::string envOr(const char* name, std::string fallback) {
  const char* v = std::getenv(name);
  if (v && *v) return v;
  return fallback;
}

std::string joinPath(std::string dir, std::string_view name) {
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  if (dir != "/") dir += '/';
  dir += name;
  return dir;
}

bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

std::string pathIn(const std::string& dir, std::string_view serviceName) {
  if (dir.empty() || !isPlainName(serviceName)) return {};
  std::string path = joinPath(dir, serviceName);
  return fitsSocketAddress(path) ? path : std::string();
}

bool isSocket(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The user's runtime directory as a client sees it: $XDG_RUNTIME_DIR, else the private directory
// only when it exists and is this user's alone (a client never creates it).
std::string clientUserRuntimeDirectory() {
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) return xdg;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      joinPath(tmp && *tmp == '/' ? tmp : "/tmp",
               std::string(kPrivateRuntimePrefix) + "-" + std::to_string(::geteuid()));
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0) {
    return {};
  }
  return dir;
}

}  // namespace

bool fitsSocketAddress(std::string_view path) {
  return !path.empty() && path.size() < sizeof(sockaddr_un{}.sun_path);
}

std::string runtimeDirectory() {
  if (::geteuid() == 0) {
    std::string dir = envOr("RUNTIME_DIRECTORY", "/run");
    // The service manager separates several runtime directories with colons.
    if (auto colon = dir.find(':'); colon != std::string::npos) dir.resize(colon);
    return dir.empty() ? std::string("/run") : dir;
  }
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) return xdg;
  return base::privateTemporaryDirectory(kPrivateRuntimePrefix);
}

std::string socketPathForService(std::string_view serviceName) {
  if (!isPlainName(serviceName)) return {};
  return pathIn(runtimeDirectory(), serviceName);
}

std::string clientSocketPathForService(std::string_view serviceName) {
  if (::geteuid() == 0) return socketPathForService(serviceName);
  std::string own = pathIn(clientUserRuntimeDirectory(), serviceName);
  if (isSocket(own)) return own;
  std::string system = pathIn("/run", serviceName);
  if (isSocket(system)) return system;
  // Neither is there: name the user's own, so that the error says where a service was expected.
  return own.empty() ? pathIn(envOr("XDG_RUNTIME_DIR", "/run"), serviceName) : own;
}

}  // namespace platform::xpc
