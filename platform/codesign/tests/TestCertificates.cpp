#include "platform/codesign/tests/TestCertificates.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "platform/codesign/OpenSslHandles.h"

namespace codesign_test {

using platform::codesign::BioPtr;
using platform::codesign::EvpPkeyPtr;
using platform::codesign::X509Ptr;

struct TestAuthority::Keys {
  EvpPkeyPtr key;
  X509Ptr certificate;
};

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    ERR_clear_error();
    throw std::runtime_error(std::string("test certificates: ") + what);
  }
}

EvpPkeyPtr makeKey() {
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  check(key != nullptr, "EC key generation failed");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr, "extension");
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  check(added, "adding an extension");
}

// An unsigned certificate for `key`, with the subject given as (field, value) pairs, issued
// by `issuer` (itself when null).
X509Ptr makeCertificate(EVP_PKEY* key,
                        const std::vector<std::pair<const char*, std::string>>& subject,
                        X509* issuer, std::chrono::seconds from, std::chrono::seconds until) {
  X509Ptr certificate(X509_new());
  check(certificate != nullptr, "X509_new");
  X509* c = certificate.get();
  X509_set_version(c, X509_VERSION_3);
  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial) == 1, "serial");
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  check(bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(c)) != nullptr, "serial");
  BN_free(bn);
  check(X509_gmtime_adj(X509_getm_notBefore(c), static_cast<long>(from.count())) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(c), static_cast<long>(until.count())) != nullptr,
        "validity");
  X509_NAME* name = X509_get_subject_name(c);
  for (const auto& [field, value] : subject) {
    check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                     0) == 1,
          "subject");
  }
  check(X509_set_issuer_name(c, issuer ? X509_get_subject_name(issuer) : name) == 1, "issuer");
  check(X509_set_pubkey(c, key) == 1, "public key");
  return certificate;
}

void sign(X509* certificate, EVP_PKEY* issuerKey) {
  check(X509_sign(certificate, issuerKey, EVP_sha256()) > 0, "signing the certificate");
}

void writeCertificate(const std::filesystem::path& path, X509* certificate) {
  BioPtr out(BIO_new_file(path.c_str(), "w"));
  check(out && PEM_write_bio_X509(out.get(), certificate) == 1, "writing a certificate");
}

void writeKey(const std::filesystem::path& path, EVP_PKEY* key) {
  BioPtr out(BIO_new_file(path.c_str(), "w"));
  check(out && PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "writing a key");
}

}  // namespace

TestAuthority::TestAuthority(std::filesystem::path dir, std::string name)
    : dir_(std::move(dir)), keys_(std::make_unique<Keys>()) {
  keys_->key = makeKey();
  keys_->certificate =
      makeCertificate(keys_->key.get(), {{"CN", name}, {"O", "Test Authority"}}, nullptr,
                      -std::chrono::hours(2), std::chrono::hours(24 * 30));
  X509* c = keys_->certificate.get();
  addExtension(c, c, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(c, c, NID_subject_key_identifier, "hash");
  sign(c, keys_->key.get());
  certificatePath_ = dir_ / (name + ".pem");
  writeCertificate(certificatePath_, c);
}

TestAuthority::~TestAuthority() = default;
TestAuthority::TestAuthority(TestAuthority&&) noexcept = default;
TestAuthority& TestAuthority::operator=(TestAuthority&&) noexcept = default;

TestIdentity TestAuthority::issue(const std::string& name, const LeafOptions& options) const {
  EvpPkeyPtr key = makeKey();
  std::vector<std::pair<const char*, std::string>> subject = {{"CN", options.commonName},
                                                              {"O", "Test Developers"}};
  for (const auto& unit : options.organizationalUnits)
    subject.emplace_back("OU", unit);
  X509Ptr certificate = makeCertificate(key.get(), subject, keys_->certificate.get(),
                                        options.validFrom, options.validUntil);
  X509* c = certificate.get();
  X509* issuer = keys_->certificate.get();
  addExtension(c, issuer, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(c, issuer, NID_key_usage, "critical,digitalSignature");
  switch (options.usage) {
    case LeafOptions::Usage::CodeSigning:
      addExtension(c, issuer, NID_ext_key_usage, "codeSigning");
      break;
    case LeafOptions::Usage::ServerOnly:
      addExtension(c, issuer, NID_ext_key_usage, "serverAuth");
      break;
    case LeafOptions::Usage::Unrestricted:
      break;
  }
  addExtension(c, issuer, NID_authority_key_identifier, "keyid");
  sign(c, keys_->key.get());
  TestIdentity identity{dir_ / (name + "-key.pem"), dir_ / (name + ".pem")};
  writeKey(identity.key, key.get());
  writeCertificate(identity.certificate, c);
  return identity;
}

TestAuthority TestAuthority::issueAuthority(const std::string& name) const {
  TestAuthority authority;
  authority.dir_ = dir_;
  authority.keys_ = std::make_unique<Keys>();
  authority.keys_->key = makeKey();
  authority.keys_->certificate = makeCertificate(
      authority.keys_->key.get(), {{"CN", name}, {"O", "Test Authority"}}, keys_->certificate.get(),
      -std::chrono::hours(2), std::chrono::hours(24 * 30));
  X509* c = authority.keys_->certificate.get();
  X509* issuer = keys_->certificate.get();
  addExtension(c, issuer, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(c, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(c, issuer, NID_subject_key_identifier, "hash");
  addExtension(c, issuer, NID_authority_key_identifier, "keyid");
  sign(c, keys_->key.get());
  authority.certificatePath_ = dir_ / (name + ".pem");
  writeCertificate(authority.certificatePath_, c);
  return authority;
}

}  // namespace codesign_test
