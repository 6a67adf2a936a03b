#pragma once
// Telling the service manager how the daemon is doing (readiness for a Type=notify service,
// stopping): one datagram with the state text, such as "READY=1", to the local socket named by
// NOTIFY_SOCKET (a path, or an abstract name written with a leading '@'). Without NOTIFY_SOCKET,
// as when the daemon is run by hand, nothing is sent.

#include <string_view>

// True when the state was sent; false when there is no service manager to tell or the send
// failed (the daemon serves on regardless: it has nobody to report that to).
bool notifyServiceManager(std::string_view state);
