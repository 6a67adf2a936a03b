#pragma once
// Code signing applied to local connections.
//
// The peer of a connection is the process that made it, found through a pidfd the socket hands
// out at the moment of the call (the kernel keeps the connecting process with the socket), so a
// peer that has exited is never confused with a newcomer that got its process identifier. On a
// kernel that cannot hand out that pidfd, the pidfd taken when the connection was accepted is
// used while the listener still holds it; after that the peer cannot be told from a newcomer
// with its identifier, and the lookup fails with kNoSuchGuest.
//
// Limits a host must plan for:
// - The code is read through /proc/<pid>/exe, which the kernel shows only to the peer's own user
//   or to a process allowed to trace it. A listener running as another, unprivileged user (the
//   daemon's unit runs as a dynamic user without capabilities and with ProtectProc=invisible)
//   cannot read it: the lookup fails with kGuestNotAccessible (with the peer's pidfd a hidden
//   /proc directory is told apart from a peer that has gone; without one, on an older kernel
//   once the listener has dropped the accept-time pidfd, it reads kNoSuchGuest). Such a listener
//   refuses every peer of another user; the requirement fits listeners that run as their peers'
//   user, or as root without a hidden /proc.
// - A check speaks for the moment it runs. A peer admitted at accept time that later exec()s
//   another program, or hands its descriptor to another process, keeps its connection; checking
//   again (validate) sees the program the process runs then, and a descriptor passed to another
//   process still names the process that connected.

#include <string>

#include "platform/codesign/Code.h"
#include "platform/codesign/Verifier.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Listener.h"

namespace platform::codesign {

// The code the peer of `connection` runs now. Statuses as copyGuestWithAttributes.
CodeResult copyGuestOfConnection(const xpc::Connection& connection);

// A listener that admits only peers whose code satisfies `requirement`: every new connection is
// checked before the listener's delegate sees it, and one that fails is closed without being
// offered. Each refusal is one line on the diagnostic channel with the peer's pid and the
// status. Call before the listener is resumed. A requirement text that cannot be read refuses
// every connection. `verifier` (the installed anchors by default) must outlive the listener.
void setConnectionCodeSigningRequirement(xpc::Listener& listener, const std::string& requirement,
                                         Verifier& verifier = Verifier::installed());

}  // namespace platform::codesign
