// OpenSSL's objects, released by their own free functions when they go out of scope. For the
// builds that use libcrypto: native tests and the vendor's pkgmake.
#pragma once

#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

template <typename T, void (*Free)(T*)>
struct COpenSslFree {
  void operator()(T* pointer) const { Free(pointer); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, COpenSslFree<EVP_PKEY, EVP_PKEY_free>>;
using KeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, COpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using SignaturePtr = std::unique_ptr<ECDSA_SIG, COpenSslFree<ECDSA_SIG, ECDSA_SIG_free>>;
