#include "platform/xpc/ServiceAddress.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

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
  return envOr("XDG_RUNTIME_DIR", envOr("TMPDIR", "/tmp"));
}

std::string socketPathForService(std::string_view serviceName) {
  if (!isPlainName(serviceName)) return {};
  std::string path = joinPath(runtimeDirectory(), serviceName);
  return fitsSocketAddress(path) ? path : std::string();
}

std::string clientSocketPathForService(std::string_view serviceName) {
  std::string path = socketPathForService(serviceName);
  if (::geteuid() == 0 || !isPlainName(serviceName)) return path;
  struct stat st {};
  if (!path.empty() && ::stat(path.c_str(), &st) == 0) return path;
  std::string system = joinPath("/run", serviceName);
  if (::stat(system.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return system;
  return path;
}

}  // namespace platform::xpc
