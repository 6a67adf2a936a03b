#include "platform/codesign/Verifier.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>

#include "platform/base/NoDestructor.h"
#include "platform/codesign/FileRangeBio.h"
#include "platform/codesign/OpenSslHandles.h"
#include "platform/codesign/SignedFileFormat.h"

#ifndef CS_CODESIGN_ANCHORS
#error "CS_CODESIGN_ANCHORS (the installed anchor bundle) is set by the build"
#endif

namespace platform::codesign {

struct Verifier::Anchors {
  FileVersion version;
  std::uint64_t generation;
  X509StorePtr store;
};

namespace {

// How long after a change a file's version is too fresh to cache (see the header).
constexpr std::time_t kSettleSeconds = 2;

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::time_t timeOf(const ASN1_TIME* t, std::time_t fallback) {
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return fallback;
  return ::timegm(&tm);
}

void readSubject(X509* certificate, SigningInformation& signer) {
  X509_NAME* name = X509_get_subject_name(certificate);
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    SubjectField field;
    switch (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry))) {
      case NID_commonName:
        field = SubjectField::CommonName;
        break;
      case NID_organizationName:
        field = SubjectField::Organization;
        break;
      case NID_organizationalUnitName:
        field = SubjectField::OrganizationalUnit;
        break;
      default:
        continue;
    }
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length < 0) continue;
    signer.subject.emplace_back(
        field, std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length)));
    OPENSSL_free(utf8);
  }
}

}  // namespace

bool Verifier::FileVersion::operator==(const FileVersion& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

Verifier::FileVersion Verifier::versionOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

const std::filesystem::path& Verifier::installedAnchorsPath() {
  static const base::NoDestructor<std::filesystem::path> path(CS_CODESIGN_ANCHORS);
  return *path;
}

Verifier& Verifier::installed() {
  static base::NoDestructor<Verifier> verifier(installedAnchorsPath());
  return *verifier;
}

std::time_t Verifier::systemTime() {
  return std::time(nullptr);
}

Verifier::Verifier(std::filesystem::path anchorsPath, Clock clock)
    : anchorsPath_(std::move(anchorsPath)), clock_(clock) {}

Verifier::~Verifier() = default;

Status Verifier::currentAnchors(std::shared_ptr<const Anchors>& anchors) {
  struct stat st {};
  if (::stat(anchorsPath_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return kAnchorsUnavailable;
  const FileVersion version = versionOf(st);
  {
    std::lock_guard lock(mutex_);
    if (anchors_ && anchors_->version == version) {
      anchors = anchors_;
      return kSuccess;
    }
  }
  BioPtr in(BIO_new_file(anchorsPath_.c_str(), "r"));
  X509StorePtr store(X509_STORE_new());
  if (!in || !store) {
    ERR_clear_error();
    return kAnchorsUnavailable;
  }
  int count = 0;
  while (X509Ptr certificate{PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)}) {
    if (X509_STORE_add_cert(store.get(), certificate.get()) == 1) ++count;
  }
  // Reading stops at the end of the bundle with an error on the queue; it is not a failure.
  ERR_clear_error();
  if (count == 0) return kAnchorsUnavailable;

  std::lock_guard lock(mutex_);
  if (!anchors_ || !(anchors_->version == version)) {
    anchors_ =
        std::make_shared<const Anchors>(Anchors{version, nextGeneration_++, std::move(store)});
  }
  anchors = anchors_;
  return kSuccess;
}

Verifier::Outcome Verifier::verify(int fd, const FileVersion& version, const Anchors& anchors) {
  Outcome outcome;
  auto fail = [&](Status status) {
    ERR_clear_error();
    outcome.status = status;
    outcome.signer = {};
    return outcome;
  };

  SignedFileLayout layout;
  if (Status s = readSignedFileLayout(fd, static_cast<std::uint64_t>(version.size), layout)) {
    return fail(s);
  }
  std::vector<unsigned char> der;
  if (Status s = readSignature(fd, layout, der)) return fail(s);
  const unsigned char* cursor = der.data();
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cms || cursor != der.data() + der.size() ||
      OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
      CMS_is_detached(cms.get()) != 1) {
    return fail(kSignatureMalformed);
  }
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
  if (signerInfos == nullptr || sk_CMS_SignerInfo_num(signerInfos) != 1) {
    return fail(kSignatureMalformed);
  }

  // Step 2: the signature and the content digest, not yet the chain.
  FileRangeBio content(fd, layout.contentSize);
  if (content.get() == nullptr) return fail(kFileUnreadable);
  if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    if (content.readFailed()) return fail(kFileUnreadable);
    const int reason = ERR_GET_REASON(ERR_peek_error());
    if (reason == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND || reason == CMS_R_NO_SIGNERS) {
      return fail(kSignatureMalformed);
    }
    return fail(kSignatureMismatch);
  }
  X509* signerCertificate = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, 0), nullptr, &signerCertificate,
                           nullptr, nullptr);
  if (signerCertificate == nullptr) return fail(kSignatureMalformed);

  // Step 3: the chain, with the certificates the signature carries as intermediates.
  X509StackPtr carried(CMS_get1_certs(cms.get()));
  X509StoreCtxPtr context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), anchors.store.get(), signerCertificate,
                                      carried.get()) != 1) {
    return fail(kUntrustedChain);
  }
  if (X509_verify_cert(context.get()) != 1) {
    const int error = X509_STORE_CTX_get_error(context.get());
    return fail(error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID
                    ? kCertificateExpired
                    : kUntrustedChain);
  }
  if ((X509_get_extension_flags(signerCertificate) & EXFLAG_XKUSAGE) != 0 &&
      (X509_get_extended_key_usage(signerCertificate) & XKU_CODE_SIGN) == 0) {
    return fail(kNotForCodeSigning);
  }

  outcome.signer.validFrom = std::numeric_limits<std::time_t>::min();
  outcome.signer.validUntil = std::numeric_limits<std::time_t>::max();
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* c = sk_X509_value(chain, i);
    // An unreadable time narrows the span to nothing, so the outcome is never reused.
    outcome.signer.validFrom =
        std::max(outcome.signer.validFrom,
                 timeOf(X509_get0_notBefore(c), std::numeric_limits<std::time_t>::max()));
    outcome.signer.validUntil =
        std::min(outcome.signer.validUntil,
                 timeOf(X509_get0_notAfter(c), std::numeric_limits<std::time_t>::min()));
  }
  readSubject(signerCertificate, outcome.signer);
  ERR_clear_error();
  return outcome;
}

bool Verifier::lookup(const FileVersion& version, std::uint64_t generation, std::time_t now,
                      Outcome& outcome) {
  std::lock_guard lock(mutex_);
  for (auto& entry : cache_) {
    if (entry.anchorsGeneration != generation || !(entry.version == version)) continue;
    if (entry.outcome.status == kSuccess &&
        (now < entry.outcome.signer.validFrom || now > entry.outcome.signer.validUntil)) {
      return false;
    }
    entry.lastUse = ++useClock_;
    outcome = entry.outcome;
    return true;
  }
  return false;
}

void Verifier::store(const FileVersion& version, std::uint64_t generation, const Outcome& outcome) {
  std::lock_guard lock(mutex_);
  auto same = std::find_if(cache_.begin(), cache_.end(), [&](const CacheEntry& e) {
    return e.anchorsGeneration == generation && e.version == version;
  });
  if (same != cache_.end()) {
    same->outcome = outcome;
    same->lastUse = ++useClock_;
    return;
  }
  CacheEntry entry{version, generation, outcome, ++useClock_};
  if (cache_.size() < kCacheCapacity) {
    cache_.push_back(std::move(entry));
    return;
  }
  auto oldest = std::min_element(cache_.begin(), cache_.end(), [](const auto& a, const auto& b) {
    return a.lastUse < b.lastUse;
  });
  *oldest = std::move(entry);
}

Status Verifier::checkValidity(const Code& code, const Requirement* requirement,
                               SigningInformation* signer) {
  struct stat before {};
  if (::fstat(code.fd(), &before) != 0 || !S_ISREG(before.st_mode)) return kFileUnreadable;
  const FileVersion version = versionOf(before);
  std::shared_ptr<const Anchors> anchors;
  if (Status s = currentAnchors(anchors)) return s;

  const std::time_t now = clock_();
  Outcome outcome;
  if (!lookup(version, anchors->generation, now, outcome)) {
    outcome = verify(code.fd(), version, *anchors);
    struct stat after {};
    const bool cacheable = outcome.status != kFileUnreadable &&
                           outcome.status != kCertificateExpired &&
                           before.st_ctim.tv_sec + kSettleSeconds < now &&
                           ::fstat(code.fd(), &after) == 0 && versionOf(after) == version;
    if (cacheable) store(version, anchors->generation, outcome);
  }
  if (outcome.status != kSuccess) return outcome.status;
  if (requirement != nullptr && !requirement->isSatisfiedBy(outcome.signer)) {
    return kRequirementNotSatisfied;
  }
  if (signer != nullptr) *signer = std::move(outcome.signer);
  return kSuccess;
}

Status checkValidity(const Code& code, const Requirement& requirement) {
  return Verifier::installed().checkValidity(code, &requirement);
}

}  // namespace platform::codesign
