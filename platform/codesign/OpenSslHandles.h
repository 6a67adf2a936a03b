#pragma once
// Owning handles for the OpenSSL objects this facility uses: each is freed by its own function
// when the handle goes out of scope, so no error path needs a hand-written free.

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace platform::codesign {

template <class T, void (*Free)(T*)>
struct OpenSslFree {
  void operator()(T* p) const noexcept { Free(p); }
};

// BIO_free returns an int; adapt it to the deleter's shape.
inline void bioFree(BIO* b) {
  BIO_free(b);
}
inline void x509StackFree(STACK_OF(X509) * s) {
  sk_X509_pop_free(s, X509_free);
}

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO, bioFree>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OpenSslFree<CMS_ContentInfo, CMS_ContentInfo_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509, X509_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslFree<STACK_OF(X509), x509StackFree>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE, X509_STORE_free>>;
using X509StoreCtxPtr =
    std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX, X509_STORE_CTX_free>>;

}  // namespace platform::codesign
