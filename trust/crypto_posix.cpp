#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "trust/crypto.h"
#include "trust/openssl_ptr.h"

struct CSha256::Impl {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~Impl() { EVP_MD_CTX_free(context); }
};

CSha256::CSha256() : m_pImpl(std::make_unique<Impl>()) {
  if (m_pImpl->context == nullptr || EVP_DigestInit_ex(m_pImpl->context, EVP_sha256(), nullptr) != 1)
    throw CCryptoUnavailable("SHA-256 is not available.");
}

CSha256::~CSha256() = default;

void CSha256::Update(const void* data, size_t size) {
  if (EVP_DigestUpdate(m_pImpl->context, data, size) != 1) throw CCryptoUnavailable("SHA-256 failed.");
}

Sha256Digest CSha256::Final() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(m_pImpl->context, digest.data(), &length) != 1 || length != digest.size())
    throw CCryptoUnavailable("SHA-256 failed.");
  return digest;
}

namespace {

KeyPtr ImportPublicKey(const std::string& publicKey) {
  std::string point = "\x04" + publicKey;  // uncompressed: 04, X, Y
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("prime256v1"), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, &point[0], point.size()), OSSL_PARAM_construct_end()};
  KeyContextPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
    return nullptr;
  return KeyPtr(key);
}

}  // namespace

bool VerifyP256Signature(const std::string& publicKey, const Sha256Digest& digest, const std::string& signature) {
  if (publicKey.size() != 64 || signature.size() != 64) return false;
  KeyPtr key = ImportPublicKey(publicKey);
  if (!key) return false;
  // OpenSSL takes the signature in DER; the program's form is r and s at a fixed width.
  SignaturePtr parsed(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()), 32, nullptr);
  BIGNUM* s = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()) + 32, 32, nullptr);
  if (!parsed || !r || !s || ECDSA_SIG_set0(parsed.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(parsed.get(), &der);
  if (derLength <= 0 || der == nullptr) return false;
  KeyContextPtr context(EVP_PKEY_CTX_new(key.get(), nullptr));
  const bool good = context && EVP_PKEY_verify_init(context.get()) == 1 &&
                    EVP_PKEY_verify(context.get(), der, static_cast<size_t>(derLength), digest.data(), digest.size()) == 1;
  OPENSSL_free(der);
  return good;
}
