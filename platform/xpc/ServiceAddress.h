#pragma once
// Where the socket of a named service lives. A service name maps to a Unix-domain
// SOCK_SEQPACKET socket whose file name is the service name:
// - for uid 0 (the system daemon): $RUNTIME_DIRECTORY (set by the service manager; the first
//   entry when it lists several), else /run;
// - for other users: $XDG_RUNTIME_DIR, else a directory under the temporary directory that
//   belongs to the user alone (kPrivateRuntimePrefix + "-" + uid, mode 0700). The temporary
//   directory itself is never used: anyone may put a socket there.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::xpc {

inline constexpr std::string_view kPrivateRuntimePrefix = "xpc-runtime";

// The directory the calling process puts a service socket in; a user without $XDG_RUNTIME_DIR
// gets the private directory, created when missing. Empty when there is none to be had.
std::string runtimeDirectory();

// The socket path for `serviceName` under runtimeDirectory(). Empty when the path would not fit
// in a socket address or the name is not a plain file name.
std::string socketPathForService(std::string_view serviceName);

// The path a client connects to: for root, socketPathForService(); for other users the first
// socket that exists of their own runtime directory's (never created by a client) and the system
// daemon's /run/<name>, so that a user's tools reach the system-wide service without any setting.
// A client still checks who serves the socket it reaches (see Connection).
std::string clientSocketPathForService(std::string_view serviceName);

// True when `path` fits in sockaddr_un::sun_path with its terminating zero.
bool fitsSocketAddress(std::string_view path);

}  // namespace platform::xpc
