// coreservicectl codesign: signs executables and checks their signatures.
//
//   coreservicectl codesign sign --key KEY --cert CERT [--chain FILE] <file>
//   coreservicectl codesign verify [--anchors FILE] <file>
//
// sign replaces any signature the file carries and prints nothing. verify checks the signature
// over the file's bytes and the signer's chain to the anchors (the installed bundle unless
// --anchors names another) and prints "valid, team <OU>"; the team is the one organisational
// unit of the signer's certificate ("valid, team (none)" when it has none or several, which no
// peer check accepts). Any failure prints the failing step, its status code and what it means on
// standard error and exits 1. Usage errors exit 2.

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/codesign/Code.h"
#include "platform/codesign/CodeSigningStatus.h"
#include "platform/codesign/Signer.h"
#include "platform/codesign/Verifier.h"
#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

namespace {

namespace codesign = platform::codesign;

int failure(const char* step, const std::string& file, codesign::Status status) {
  std::fprintf(stderr, "coreservicectl codesign: %s %s: status %d (%s)\n", step, file.c_str(),
               static_cast<int>(status), std::string(codesign::statusDescription(status)).c_str());
  return 1;
}

int sign(const Invocation& invocation, const std::string& file) {
  const auto key = invocation.value("key");
  const auto certificate = invocation.value("cert");
  if (!key || !certificate) return usageError(invocation, "sign needs --key and --cert");
  if (invocation.has("anchors")) return usageError(invocation, "--anchors is for verify");
  std::optional<std::filesystem::path> chain;
  if (auto c = invocation.value("chain")) chain = *c;

  codesign::SigningIdentity identity;
  if (auto s = codesign::loadSigningIdentity(*key, *certificate, chain, identity)) {
    return failure("loading the signing identity for", file, s);
  }
  if (auto s = codesign::signFile(file, identity)) return failure("signing", file, s);
  return 0;
}

int verify(const Invocation& invocation, const std::string& file) {
  if (invocation.has("key") || invocation.has("cert") || invocation.has("chain")) {
    return usageError(invocation, "--key, --cert and --chain are for sign");
  }
  auto [opened, code] = codesign::Code::openFile(file);
  if (opened != codesign::kSuccess) return failure("opening", file, opened);
  const auto anchors = invocation.value("anchors");
  codesign::Verifier verifier(anchors ? std::filesystem::path(*anchors)
                                      : codesign::Verifier::installedAnchorsPath());
  codesign::SigningInformation signer;
  if (auto s = verifier.checkValidity(*code, nullptr, &signer))
    return failure("verifying", file, s);
  const std::string team = signer.teamIdentifier();
  std::printf("valid, team %s\n", team.empty() ? "(none)" : team.c_str());
  return 0;
}

int runCodesign(const Invocation& invocation) {
  const auto& operands = invocation.operands();
  const std::string& action = operands[0];
  if (action == "sign") return sign(invocation, operands[1]);
  if (action == "verify") return verify(invocation, operands[1]);
  return usageError(invocation, "unknown action '%s' (sign, verify)", action.c_str());
}

}  // namespace

Command codesignCommand() {
  return {"codesign",
          {.summary = "Signs executables and checks their signatures.",
           .operands = "sign|verify <file>",
           .options = {{"key", 'k', "KEY", "sign: the signer's private key (PEM, unencrypted)"},
                       {"cert", 'c', "CERT", "sign: the signer's certificate (PEM)"},
                       {"chain", 0, "FILE", "sign: further certificates up to an anchor (PEM)"},
                       {"anchors", 'a', "FILE",
                        "verify: the trust anchor bundle (PEM; default the installed one)"}},
           .minOperands = 2,
           .maxOperands = 2,
           .details = "  sign --key KEY --cert CERT [--chain FILE] <file>\n"
                      "      signs <file> in place, replacing any signature it carries\n"
                      "  verify [--anchors FILE] <file>\n"
                      "      prints \"valid, team <OU>\", or the failing step and its status\n"},
          &runCodesign};
}

}  // namespace coreservicectl
