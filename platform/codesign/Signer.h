#pragma once
// Signing: gives a file a signature by a developer's certificate, in the format of
// SignedFileFormat.h. Used by packaging (the codesign tool) and by tests; a running system only
// verifies.
//
// The signature is a detached CMS SignedData over the file's content, made with the key's
// default digest (SHA-256 for RSA and EC keys), carrying the signer's certificate and the chain
// so that a verifier needs only the anchors. The signed file replaces the original atomically (a
// new file in the same directory, renamed over it), keeping its permission bits and, where
// allowed, its owner; a symbolic link is followed and its target signed.

#include <filesystem>
#include <optional>

#include "platform/codesign/CodeSigningStatus.h"
#include "platform/codesign/OpenSslHandles.h"

namespace platform::codesign {

struct SigningIdentity {
  EvpPkeyPtr key;
  X509Ptr certificate;
  X509StackPtr chain;  // may be empty
};

// Reads an unencrypted PEM private key, the signer's PEM certificate and, optionally, a PEM file
// of further certificates up to (not necessarily including) an anchor. Statuses: kSuccess,
// kSigningKeyUnreadable, kSigningCertificateUnreadable, kSigningChainUnreadable,
// kSigningKeyMismatch.
Status loadSigningIdentity(const std::filesystem::path& keyPath,
                           const std::filesystem::path& certificatePath,
                           const std::optional<std::filesystem::path>& chainPath,
                           SigningIdentity& identity);

// Signs `file` in place, replacing any signature it carries. Statuses: kSuccess,
// kFileUnreadable, kSignatureMalformed (a damaged trailer: the file is left alone rather than
// signed with the damage inside), kSigningFailed, kFileUnwritable.
Status signFile(const std::filesystem::path& file, const SigningIdentity& identity);

}  // namespace platform::codesign
