#include "platform/codesign/listener/ListenerRequirement.h"

#include <memory>

#include "platform/codesign/Requirement.h"
#include "platform/diagnostics/Diagnostics.h"

namespace platform::codesign {

CodeResult copyGuestOfConnection(const xpc::Connection& connection) {
  const base::FileDescriptor fresh = connection.peerPidfd();
  if (fresh) return copyGuestWithAttributes({connection.processIdentifier(), fresh.get()});
  const auto& peer = connection.peerCredentials();
  // An identifier alone could name a newcomer by now: refuse rather than guess.
  if (!peer.pidfd) return {kNoSuchGuest, nullptr};
  return copyGuestWithAttributes({peer.pid, peer.pidfd.get()});
}

void setConnectionCodeSigningRequirement(xpc::Listener& listener, const std::string& requirement,
                                         Verifier& verifier) {
  // Named members, not structured bindings: clang 14 cannot capture those in a lambda.
  RequirementResult parsed = createRequirementWithString(requirement);
  const Status syntax = parsed.status;
  std::shared_ptr<const Requirement> shared = std::move(parsed.requirement);
  listener.setConnectionRequirement([shared, syntax, &verifier](xpc::Connection& connection) {
    Status status = syntax;
    if (shared) {
      auto [lookup, code] = copyGuestOfConnection(connection);
      status = lookup != kSuccess ? lookup : verifier.checkValidity(*code, shared.get());
    }
    if (status == kSuccess) return true;
    diagnostics::reportf("Listener %s: refused pid %d: code signing status %d (%s)",
                         connection.serviceName().c_str(),
                         static_cast<int>(connection.processIdentifier()), static_cast<int>(status),
                         std::string(statusDescription(status)).c_str());
    return false;
  });
}

}  // namespace platform::codesign
