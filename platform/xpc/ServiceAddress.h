#pragma once
// Where the socket of a named service lives. A service name maps to a Unix-domain
// SOCK_SEQPACKET socket whose file name is the service name:
// - for uid 0 (the system daemon): $RUNTIME_DIRECTORY (set by the service manager; the first
//   entry when it lists several), else /run;
// - for other users: $XDG_RUNTIME_DIR, else the temporary directory ($TMPDIR, else /tmp).

#include <optional>
#include <string>
#include <string_view>

namespace platform::xpc {

// The directory the calling process would put a service socket in.
std::string runtimeDirectory();

// The socket path for `serviceName` under runtimeDirectory(). Empty when the path would not fit
// in a socket address or the name is not a plain file name.
std::string socketPathForService(std::string_view serviceName);

// The path a client should connect to: socketPathForService(); a client that is not root and finds
// no socket there falls back to the system daemon's /run/<name>, so that a user's tools reach the
// system-wide service without any setting.
std::string clientSocketPathForService(std::string_view serviceName);

// True when `path` fits in sockaddr_un::sun_path with its terminating zero.
bool fitsSocketAddress(std::string_view path);

}  // namespace platform::xpc
