#include "platform/codesign/SignedFileFormat.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::codesign {

bool readFullyAt(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

Status readSignedFileLayout(int fd, std::uint64_t fileSize, SignedFileLayout& layout) {
  if (fileSize < kSignatureTrailerSize) return kUnsigned;
  std::array<unsigned char, kSignatureTrailerSize> trailer{};
  if (!readFullyAt(fd, fileSize - kSignatureTrailerSize, trailer.data(), trailer.size())) {
    return kFileUnreadable;
  }
  if (std::memcmp(trailer.data() + 8, kSignatureMagic.data(), kSignatureMagic.size()) != 0) {
    return kUnsigned;
  }
  std::uint64_t size = 0;
  for (int i = 7; i >= 0; --i)
    size = (size << 8) | trailer[static_cast<std::size_t>(i)];
  if (size == 0 || size > kMaxSignatureSize || size > fileSize - kSignatureTrailerSize) {
    return kSignatureMalformed;
  }
  layout.signatureSize = size;
  layout.contentSize = fileSize - kSignatureTrailerSize - size;
  return kSuccess;
}

Status readSignature(int fd, const SignedFileLayout& layout,
                     std::vector<unsigned char>& signature) {
  signature.resize(layout.signatureSize);
  if (!readFullyAt(fd, layout.contentSize, signature.data(), signature.size())) {
    return kFileUnreadable;
  }
  return kSuccess;
}

std::array<unsigned char, kSignatureTrailerSize> makeSignatureTrailer(std::uint64_t signatureSize) {
  std::array<unsigned char, kSignatureTrailerSize> trailer{};
  for (std::size_t i = 0; i < 8; ++i)
    trailer[i] = static_cast<unsigned char>(signatureSize >> (8 * i));
  std::memcpy(trailer.data() + 8, kSignatureMagic.data(), kSignatureMagic.size());
  return trailer;
}

}  // namespace platform::codesign
