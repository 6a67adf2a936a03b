#pragma once
// Throw-away certificate authorities and signing identities for tests: EC P-256 keys and X.509
// certificates made with OpenSSL, written as PEM files into a directory the test owns. Failures
// throw std::runtime_error (the test then fails with its message).

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace codesign_test {

// The developer team every production requirement names.
inline constexpr const char* kTeam = "QX7TZ4PD2M";

struct LeafOptions {
  std::string commonName = "Test Developer";
  std::vector<std::string> organizationalUnits = {kTeam};
  // Validity, relative to now.
  std::chrono::seconds validFrom = -std::chrono::hours(1);
  std::chrono::seconds validUntil = std::chrono::hours(24);
  // The extended key usage: code signing, TLS server only, or none listed.
  enum class Usage { CodeSigning, ServerOnly, Unrestricted } usage = Usage::CodeSigning;
};

struct TestIdentity {
  std::filesystem::path key;
  std::filesystem::path certificate;
};

class TestAuthority {
 public:
  // A self-signed root "<name>", written to <dir>/<name>.pem.
  TestAuthority(std::filesystem::path dir, std::string name);
  ~TestAuthority();
  TestAuthority(TestAuthority&&) noexcept;
  TestAuthority& operator=(TestAuthority&&) noexcept;

  const std::filesystem::path& certificatePath() const { return certificatePath_; }
  // A leaf certificate and its key, signed by this authority: <dir>/<name>.pem and
  // <dir>/<name>-key.pem.
  TestIdentity issue(const std::string& name, const LeafOptions& options = {}) const;
  // An intermediate authority signed by this one (written like a root).
  TestAuthority issueAuthority(const std::string& name) const;

 private:
  struct Keys;
  TestAuthority() = default;
  std::filesystem::path dir_;
  std::filesystem::path certificatePath_;
  std::unique_ptr<Keys> keys_;
};

}  // namespace codesign_test
