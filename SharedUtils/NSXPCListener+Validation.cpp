#include "SharedUtils/NSXPCListener+Validation.h"

#include <string>

#include "logging/DDLogFrontEnd.h"
#include "platform/codesign/Code.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/listener/ListenerRequirement.h"

// Error lines of this unit: synchronous, under this unit's file name and validate(_:).
#define VALIDATION_LOG_ERROR(...)                                                \
  _DDLogMessageAt("NSXPCListener+Validation", "validate(_:)", ::DDLogLevel::all, \
                  ::DDLogFlag::error, 0, nullptr, false, ::DDLog::sharedInstance(), __VA_ARGS__)

namespace sharedutils::NSXPCListener {

namespace codesign = platform::codesign;

void configureTarvoCodeSigningRequirement(platform::xpc::Listener& listener) {
  configureTarvoCodeSigningRequirement(listener, codesign::Verifier::installed());
}

void configureTarvoCodeSigningRequirement(platform::xpc::Listener& listener,
                                          codesign::Verifier& verifier) {
  codesign::setConnectionCodeSigningRequirement(listener, std::string(tarvoCodeSigningRequirement),
                                                verifier);
}

bool validate(platform::xpc::Connection& connection) {
  return validate(connection, codesign::Verifier::installed());
}

bool validate(platform::xpc::Connection& connection, codesign::Verifier& verifier) {
  auto [lookup, code] = codesign::copyGuestOfConnection(connection);
  if (lookup != codesign::kSuccess || !code) {
    VALIDATION_LOG_ERROR("Failed to create SecCode: %li", static_cast<long>(lookup));
    connection.invalidate();
    return false;
  }
  auto [syntax, requirement] = codesign::createRequirementWithString(tarvoCodeSigningRequirement);
  if (syntax != codesign::kSuccess || !requirement) {
    VALIDATION_LOG_ERROR("Failed to create requirement: %li", static_cast<long>(syntax));
    connection.invalidate();
    return false;
  }
  const codesign::Status status = verifier.checkValidity(*code, requirement.get());
  if (status == codesign::kSuccess) return true;
  VALIDATION_LOG_ERROR("Failed validation: %li", static_cast<long>(status));
  connection.invalidate();
  return false;
}

}  // namespace sharedutils::NSXPCListener
