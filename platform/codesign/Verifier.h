#pragma once
// Checks code: its signature, the signer's certificate chain up to the trust anchors, and a
// requirement on the signer.
//
// A check, in order (the first failing step gives the status):
//  1. reads the signature the file carries (see SignedFileFormat.h);
//  2. verifies it over the file's content bytes: a file changed after signing fails here;
//  3. verifies the signer's chain to one of the anchors at the current time; a signer
//     certificate that restricts its extended key usage must allow code signing;
//  4. evaluates the requirement, if one is given, on the signer's certificate.
//
// Anchors: a PEM bundle of certificates, loaded on first use and again whenever the file
// changes. The product's bundle is installed at a path fixed when the system is built
// (installedAnchorsPath()); a Verifier may be made for any other bundle.
//
// Cost: hashing dominates (several milliseconds for a 10 MiB executable) and a listener checks
// every connection, so the outcome of steps 1 to 3 is cached per file version, keyed by the
// file's device, inode, size, modification and change times and by the anchors loaded. Writing
// to a file moves its change time, which no unprivileged process can set back, so a changed file
// is never answered from the cache. A file changed less than two seconds ago is not cached: file
// systems keep coarse times, and a change within the same tick could leave the time as it was.
// A cached success counts only inside the validity span of its chain; expiry and read failures
// are never cached. The cache keeps the kCacheCapacity files used last.
//
// Thread safety: any thread may check at any time; checks run in parallel (the cache is locked
// only to look up and to store).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/codesign/Code.h"
#include "platform/codesign/CodeSigningStatus.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/SigningInformation.h"

namespace platform::codesign {

class Verifier {
 public:
  static constexpr std::size_t kCacheCapacity = 64;

  // Where the product's anchor bundle is installed (a build setting).
  static const std::filesystem::path& installedAnchorsPath();
  // The process's verifier for the installed bundle: one per process, so that every check
  // shares its cache.
  static Verifier& installed();

  // The time the cache goes by (the system's clock; a test may run it ahead). Certificates are
  // always checked at the system's time.
  using Clock = std::time_t (*)();

  explicit Verifier(std::filesystem::path anchorsPath, Clock clock = &systemTime);
  ~Verifier();
  Verifier(const Verifier&) = delete;
  Verifier& operator=(const Verifier&) = delete;

  const std::filesystem::path& anchorsPath() const { return anchorsPath_; }

  // Checks `code`, against `requirement` when it is not null. On success, `signer` (when not
  // null) receives what was learnt about the signer. Statuses: kSuccess, kFileUnreadable,
  // kUnsigned, kSignatureMalformed, kSignatureMismatch, kAnchorsUnavailable,
  // kCertificateExpired, kUntrustedChain, kNotForCodeSigning, kRequirementNotSatisfied.
  Status checkValidity(const Code& code, const Requirement* requirement,
                       SigningInformation* signer = nullptr);

 private:
  struct Anchors;
  static std::time_t systemTime();
  struct FileVersion {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
    bool operator==(const FileVersion& other) const;
  };
  struct Outcome {
    Status status = kSuccess;
    SigningInformation signer;
  };
  struct CacheEntry {
    FileVersion version;
    std::uint64_t anchorsGeneration;
    Outcome outcome;
    std::uint64_t lastUse;
  };

  static FileVersion versionOf(const struct stat& st);
  Status currentAnchors(std::shared_ptr<const Anchors>& anchors);
  static Outcome verify(int fd, const FileVersion& version, const Anchors& anchors);
  bool lookup(const FileVersion& version, std::uint64_t generation, std::time_t now,
              Outcome& outcome);
  void store(const FileVersion& version, std::uint64_t generation, const Outcome& outcome);

  const std::filesystem::path anchorsPath_;
  const Clock clock_;
  std::mutex mutex_;
  std::shared_ptr<const Anchors> anchors_;
  std::uint64_t nextGeneration_ = 1;
  std::vector<CacheEntry> cache_;
  std::uint64_t useClock_ = 0;
};

// The platform's check: `code` against `requirement`, with the installed anchors.
Status checkValidity(const Code& code, const Requirement& requirement);

}  // namespace platform::codesign
