#include "platform/codesign/CodeSigningStatus.h"

namespace platform::codesign {

std::string_view statusDescription(Status status) {
  switch (status) {
    case kSuccess:
      return "success";
    case kInvalidGuestAttributes:
      return "the process identification is not valid";
    case kNoSuchGuest:
      return "the process is gone";
    case kGuestNotAccessible:
      return "not allowed to read the process's executable";
    case kGuestExecutableUnavailable:
      return "the process has no executable";
    case kRequirementSyntax:
      return "the requirement cannot be read";
    case kFileUnreadable:
      return "the file cannot be read";
    case kUnsigned:
      return "the file carries no signature";
    case kSignatureMalformed:
      return "the signature is malformed";
    case kSignatureMismatch:
      return "the file does not match its signature";
    case kAnchorsUnavailable:
      return "the trust anchors cannot be read";
    case kCertificateExpired:
      return "a certificate is expired or not yet valid";
    case kUntrustedChain:
      return "the signer is not trusted";
    case kNotForCodeSigning:
      return "the signer's certificate is not for code signing";
    case kRequirementNotSatisfied:
      return "the signer does not satisfy the requirement";
    case kSigningKeyUnreadable:
      return "the private key cannot be read";
    case kSigningCertificateUnreadable:
      return "the certificate cannot be read";
    case kSigningChainUnreadable:
      return "the certificate chain cannot be read";
    case kSigningKeyMismatch:
      return "the private key does not belong to the certificate";
    case kSigningFailed:
      return "the signature could not be made";
    case kFileUnwritable:
      return "the signed file could not be written";
    default:
      return "unknown status";
  }
}

}  // namespace platform::codesign
