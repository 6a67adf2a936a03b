#include "platform/codesign/Signer.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/codesign/FileRangeBio.h"
#include "platform/codesign/SignedFileFormat.h"

namespace platform::codesign {

namespace {

struct OpenSslMemoryFree {
  void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};

// Refuses to ask for a passphrase: the tool runs unattended in packaging jobs.
int noPassphrase(char*, int, int, void*) {
  return 0;
}

bool writeAll(int fd, const void* data, std::size_t size) {
  auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool copyContent(int from, int to, std::uint64_t size) {
  off_t in = 0;
  while (size > 0) {
    ssize_t n = ::copy_file_range(from, &in, to, nullptr, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      break;  // not offered between these files: copy through a buffer below
    }
    if (n <= 0) return false;
    size -= static_cast<std::uint64_t>(n);
  }
  std::vector<unsigned char> buffer(1 << 16);
  while (size > 0) {
    std::size_t chunk = size < buffer.size() ? static_cast<std::size_t>(size) : buffer.size();
    if (!readFullyAt(from, static_cast<std::uint64_t>(in), buffer.data(), chunk)) return false;
    if (!writeAll(to, buffer.data(), chunk)) return false;
    in += static_cast<off_t>(chunk);
    size -= chunk;
  }
  return true;
}

}  // namespace

Status loadSigningIdentity(const std::filesystem::path& keyPath,
                           const std::filesystem::path& certificatePath,
                           const std::optional<std::filesystem::path>& chainPath,
                           SigningIdentity& identity) {
  struct ClearErrors {
    ~ClearErrors() { ERR_clear_error(); }
  } clearErrors;

  BioPtr keyIn(BIO_new_file(keyPath.c_str(), "r"));
  if (!keyIn) return kSigningKeyUnreadable;
  EvpPkeyPtr key(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, &noPassphrase, nullptr));
  if (!key) return kSigningKeyUnreadable;

  BioPtr certificateIn(BIO_new_file(certificatePath.c_str(), "r"));
  if (!certificateIn) return kSigningCertificateUnreadable;
  X509Ptr certificate(PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr));
  if (!certificate) return kSigningCertificateUnreadable;

  X509StackPtr chain(sk_X509_new_null());
  if (!chain) return kSigningChainUnreadable;
  if (chainPath) {
    BioPtr chainIn(BIO_new_file(chainPath->c_str(), "r"));
    if (!chainIn) return kSigningChainUnreadable;
    while (X509* c = PEM_read_bio_X509(chainIn.get(), nullptr, nullptr, nullptr)) {
      if (sk_X509_push(chain.get(), c) <= 0) {
        X509_free(c);
        return kSigningChainUnreadable;
      }
    }
    if (sk_X509_num(chain.get()) == 0) return kSigningChainUnreadable;
  }
  if (X509_check_private_key(certificate.get(), key.get()) != 1) return kSigningKeyMismatch;

  identity.key = std::move(key);
  identity.certificate = std::move(certificate);
  identity.chain = std::move(chain);
  return kSuccess;
}

Status signFile(const std::filesystem::path& file, const SigningIdentity& identity) {
  struct ClearErrors {
    ~ClearErrors() { ERR_clear_error(); }
  } clearErrors;

  std::error_code ec;
  const std::filesystem::path target = std::filesystem::canonical(file, ec);
  if (ec) return kFileUnreadable;
  // Not blocking: a FIFO is refused below instead of waiting for a writer.
  base::FileDescriptor in(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kFileUnreadable;

  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t contentSize = fileSize;
  SignedFileLayout layout;
  switch (Status s = readSignedFileLayout(in.get(), fileSize, layout)) {
    case kSuccess:
      contentSize = layout.contentSize;
      break;
    case kUnsigned:
      break;
    default:
      return s;
  }

  FileRangeBio content(in.get(), contentSize);
  if (content.get() == nullptr) return kSigningFailed;
  CmsPtr cms(CMS_sign(identity.certificate.get(), identity.key.get(), identity.chain.get(),
                      content.get(), CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
  if (!cms) return content.readFailed() ? kFileUnreadable : kSigningFailed;
  unsigned char* der = nullptr;
  const int derSize = i2d_CMS_ContentInfo(cms.get(), &der);
  if (derSize <= 0) return kSigningFailed;
  std::unique_ptr<unsigned char, OpenSslMemoryFree> derOwner(der);
  if (static_cast<std::uint64_t>(derSize) > kMaxSignatureSize) return kSigningFailed;

  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "literal" + string.
  std::string name = ".";
  name += target.filename().string();
  name += ".XXXXXX";
  std::string temporary = target.parent_path() / name;
  base::FileDescriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!out) return kFileUnwritable;
  const auto trailer = makeSignatureTrailer(static_cast<std::uint64_t>(derSize));
  bool written = copyContent(in.get(), out.get(), contentSize) &&
                 writeAll(out.get(), der, static_cast<std::size_t>(derSize)) &&
                 writeAll(out.get(), trailer.data(), trailer.size());
  if (written) {
    // Keeping the owner needs privilege; a file signed by its own owner keeps it anyway. The
    // owner goes first: changing it clears set-user-ID bits that the mode then restores.
    (void)::fchown(out.get(), st.st_uid, st.st_gid);
    written = ::fchmod(out.get(), st.st_mode & 07777) == 0 && ::fsync(out.get()) == 0 &&
              out.close() == 0 && ::rename(temporary.c_str(), target.c_str()) == 0;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return kFileUnwritable;
  }
  return kSuccess;
}

}  // namespace platform::codesign
