#pragma once
// Status codes of code signing. Every operation of this facility reports a signed 32-bit status:
// 0 for success, and for each step that can fail its own negative code, so that a log line which
// carries only the number still tells which check refused the code. The values are part of this
// system's interface (log lines and the codesign tool print them) and never change meaning.
//
//   code     name                         the step that failed
//   0        kSuccess                     -
//   Looking up a running process's code (copyGuestWithAttributes):
//   -71001   kInvalidGuestAttributes      no positive process identifier, or a pidfd that names
//                                         another process than the identifier
//   -71002   kNoSuchGuest                 no process has the identifier, or the process the
//                                         pidfd names has exited (its identifier may already
//                                         belong to another process); without a pidfd, also a
//                                         process hidden from the caller (/proc with hidepid)
//   -71003   kGuestNotAccessible          not allowed to read the process's executable (a
//                                         process of another user, without privilege), or,
//                                         given its pidfd, a live process hidden from the caller
//   -71004   kGuestExecutableUnavailable  the process has no executable to read (a zombie or a
//                                         kernel thread)
//   Reading a requirement (createRequirementWithString):
//   -71101   kRequirementSyntax           the text is not a requirement this system understands
//   Checking code against the anchors and a requirement (checkValidity):
//   -71201   kFileUnreadable              the file cannot be opened or read
//   -71202   kUnsigned                    the file carries no signature
//   -71203   kSignatureMalformed          the signature or its trailer cannot be decoded, or it
//                                         is not one detached signature by one signer
//   -71204   kSignatureMismatch           the signature does not match the file's bytes (the
//                                         file was changed after it was signed)
//   -71205   kAnchorsUnavailable          the trust anchor bundle is missing, unreadable or holds
//                                         no certificate
//   -71206   kCertificateExpired          a certificate of the signer's chain is expired or not
//                                         yet valid
//   -71207   kUntrustedChain              the signer's chain does not lead to a trust anchor
//   -71208   kNotForCodeSigning           the signer's certificate is restricted to other uses
//   -71209   kRequirementNotSatisfied     the signature is valid but the signer is not the one
//                                         the requirement names
//   Signing a file (signFile):
//   -71301   kSigningKeyUnreadable        the private key cannot be read
//   -71302   kSigningCertificateUnreadable the signer's certificate cannot be read
//   -71303   kSigningChainUnreadable      the chain file cannot be read or holds no certificate
//   -71304   kSigningKeyMismatch          the key does not belong to the certificate
//   -71305   kSigningFailed               the signature could not be made
//   -71306   kFileUnwritable              the signed file could not be written in place

#include <cstdint>
#include <string_view>

namespace platform::codesign {

using Status = std::int32_t;

inline constexpr Status kSuccess = 0;

inline constexpr Status kInvalidGuestAttributes = -71001;
inline constexpr Status kNoSuchGuest = -71002;
inline constexpr Status kGuestNotAccessible = -71003;
inline constexpr Status kGuestExecutableUnavailable = -71004;

inline constexpr Status kRequirementSyntax = -71101;

inline constexpr Status kFileUnreadable = -71201;
inline constexpr Status kUnsigned = -71202;
inline constexpr Status kSignatureMalformed = -71203;
inline constexpr Status kSignatureMismatch = -71204;
inline constexpr Status kAnchorsUnavailable = -71205;
inline constexpr Status kCertificateExpired = -71206;
inline constexpr Status kUntrustedChain = -71207;
inline constexpr Status kNotForCodeSigning = -71208;
inline constexpr Status kRequirementNotSatisfied = -71209;

inline constexpr Status kSigningKeyUnreadable = -71301;
inline constexpr Status kSigningCertificateUnreadable = -71302;
inline constexpr Status kSigningChainUnreadable = -71303;
inline constexpr Status kSigningKeyMismatch = -71304;
inline constexpr Status kSigningFailed = -71305;
inline constexpr Status kFileUnwritable = -71306;

// A short English text for `status` ("the file carries no signature"); "unknown status" for a
// value this system does not define.
std::string_view statusDescription(Status status);

}  // namespace platform::codesign
