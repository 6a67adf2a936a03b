#pragma once
// Where a file's signature lives. The signature travels inside the file it signs, so it survives
// copying, archiving and packaging:
//
//   [content]    the file's bytes as they were before signing
//   [signature]  a detached CMS (PKCS#7) SignedData in DER, over exactly the content bytes
//   [trailer]    16 bytes: the signature's length as an unsigned 64-bit little-endian number,
//                then the magic text "TARVOSIG"
//
// Programs ignore bytes after their last loadable segment, so a signed executable runs as it
// did. Signing a file that already carries a signature replaces it: the old signature is never
// part of the signed content. A trailer whose length does not fit the file, or exceeds
// kMaxSignatureSize, is malformed; a file that does not end in the magic text is unsigned.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/codesign/CodeSigningStatus.h"

namespace platform::codesign {

inline constexpr std::string_view kSignatureMagic = "TARVOSIG";
inline constexpr std::size_t kSignatureTrailerSize = 16;
// Far above any real signature (a few KiB with a chain of three certificates), small enough that
// a hostile trailer cannot make a reader allocate much.
inline constexpr std::uint64_t kMaxSignatureSize = 1 << 20;

struct SignedFileLayout {
  std::uint64_t contentSize = 0;
  std::uint64_t signatureSize = 0;
};

// Reads the trailer of the file open as `fd`, `fileSize` bytes long. kSuccess with the layout,
// kUnsigned, kSignatureMalformed or kFileUnreadable.
Status readSignedFileLayout(int fd, std::uint64_t fileSize, SignedFileLayout& layout);

// Reads the signature bytes the layout locates. kSuccess or kFileUnreadable.
Status readSignature(int fd, const SignedFileLayout& layout, std::vector<unsigned char>& signature);

std::array<unsigned char, kSignatureTrailerSize> makeSignatureTrailer(std::uint64_t signatureSize);

// Reads exactly `size` bytes at `offset` (retrying short reads and interruptions). False on an
// error or when the file ends first.
bool readFullyAt(int fd, std::uint64_t offset, void* buffer, std::size_t size);

}  // namespace platform::codesign
