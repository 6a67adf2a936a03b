#include "daemon/ServiceManager.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/base/FileDescriptor.h"

bool notifyServiceManager(std::string_view state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return false;
  const std::size_t length = std::strlen(name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Only local sockets: a path, or an abstract name. A name that does not fit is not cut short
  // to some other socket's.
  if (length < 2 || length > sizeof addr.sun_path || (name[0] != '/' && name[0] != '@')) {
    return false;
  }
  std::memcpy(addr.sun_path, name, length);
  if (name[0] == '@') addr.sun_path[0] = '\0';
  // An abstract name is exactly as long as written; a path is ended by its terminating zero.
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                           (name[0] == '/' && length < sizeof addr.sun_path));
  platform::base::FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  return ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&addr),
                  size) == static_cast<ssize_t>(state.size());
}
