#pragma once
// Admitting only peers signed by the product's developer team, in either of two ways:
//
// - configureTarvoCodeSigningRequirement: hands the team requirement to a listener, which then
//   refuses every connection whose peer does not satisfy it before the host's delegate sees it.
//   Nothing is logged here (the listener reports refusals on the diagnostic channel), and the
//   listener is not otherwise changed (not resumed, not invalidated).
// - validate: checks one connection's peer now. On success the connection is untouched and
//   nothing is logged. On failure one error line names the failing step and its status ("Failed
//   to create SecCode: %li", "Failed to create requirement: %li" or "Failed validation: %li"),
//   the connection is invalidated (whether or not the line passes the log gate) and the result
//   is false. The lines are delivered synchronously, under the file name
//   "NSXPCListener+Validation" and the function "validate(_:)".
//
// The peer is the process that made the connection, as it is at the moment of the check: it is
// found through a pidfd the socket gives now, so a peer that has exited, and whose process
// identifier may already belong to another process, fails with "Failed to create SecCode"; and
// the code checked is the executable the process runs now, so a signed peer that has since
// exec()ed another program is checked as that program. The status values are those of
// platform/codesign/CodeSigningStatus.h.
//
// No state; any queue, several connections at once, including the connection's own queue
// inside the listener's requirement or delegate.

#include <string_view>

#include "platform/codesign/Verifier.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Listener.h"

namespace sharedutils::NSXPCListener {

// The one requirement this service uses: the platform's anchor and the developer team as the
// organisational unit of the signer's certificate.
inline constexpr std::string_view tarvoCodeSigningRequirement =
    "anchor apple generic and certificate leaf[subject.OU] = \"QX7TZ4PD2M\"";

void configureTarvoCodeSigningRequirement(platform::xpc::Listener& listener);
bool validate(platform::xpc::Connection& connection);

// The same against another anchor bundle than the installed one (the verifier must outlive the
// listener).
void configureTarvoCodeSigningRequirement(platform::xpc::Listener& listener,
                                          platform::codesign::Verifier& verifier);
bool validate(platform::xpc::Connection& connection, platform::codesign::Verifier& verifier);

}  // namespace sharedutils::NSXPCListener
