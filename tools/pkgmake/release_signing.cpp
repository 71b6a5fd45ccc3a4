#include "tools/pkgmake/release_signing.h"
#include "trust/openssl_ptr.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

bool MakeSigningKey(const std::string& privateKeyFile, std::string& publicKeyHex, std::string& message) {
  KeyPtr key(EVP_EC_gen("P-256"));
  unsigned char point[65];
  size_t length = 0;
  if (!key || EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length) != 1 ||
      length != 65 || point[0] != 0x04) {
    message = "Cannot make a P-256 key pair.";
    return false;
  }
  // A new file, owner-only from the first byte, never through a link.
  const int fd = open(privateKeyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd < 0) {
    message = "Cannot create " + privateKeyFile + " (it must not exist yet).";
    return false;
  }
  FILE* file = fdopen(fd, "w");
  bool written = file != nullptr && PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  written = (file != nullptr ? fflush(file) == 0 && fsync(fd) == 0 && fclose(file) == 0 : close(fd) == 0) && written;
  if (!written) {
    unlink(privateKeyFile.c_str());
    message = "Cannot write " + privateKeyFile + ".";
    return false;
  }
  publicKeyHex = ToHex(point + 1, 64);
  return true;
}

namespace {

KeyPtr LoadPrivateKey(const std::string& privateKeyFile, std::string& message) {
  FILE* file = fopen(privateKeyFile.c_str(), "r");
  if (file == nullptr) {
    message = "Cannot read the private key " + privateKeyFile + ".";
    return nullptr;
  }
  KeyPtr key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  fclose(file);
  char group[32] = "";
  if (!key || EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) != 1 ||
      std::string(group) != "prime256v1") {
    message = privateKeyFile + " is not a P-256 private key made by pkgmake keygen.";
    return nullptr;
  }
  return key;
}

}  // namespace

bool ReadSigningKey(const std::string& privateKeyFile, std::string& publicKeyHex, std::string& message) {
  KeyPtr key = LoadPrivateKey(privateKeyFile, message);
  unsigned char point[65];
  size_t length = 0;
  if (!key) return false;
  if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length) != 1 ||
      length != 65 || point[0] != 0x04) {
    message = privateKeyFile + " is not a P-256 private key made by pkgmake keygen.";
    return false;
  }
  publicKeyHex = ToHex(point + 1, 64);
  return true;
}

bool SignDigest(const std::string& privateKeyFile, const Sha256Digest& digest, std::string& signature,
                std::string& message) {
  KeyPtr key = LoadPrivateKey(privateKeyFile, message);
  if (!key) return false;
  KeyContextPtr context(EVP_PKEY_CTX_new(key.get(), nullptr));
  size_t derLength = 0;
  if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_sign(context.get(), nullptr, &derLength, digest.data(), digest.size()) != 1) {
    message = "Cannot sign with " + privateKeyFile + ".";
    return false;
  }
  std::string der(derLength, '\0');
  auto* derBytes = reinterpret_cast<unsigned char*>(&der[0]);
  if (EVP_PKEY_sign(context.get(), derBytes, &derLength, digest.data(), digest.size()) != 1) {
    message = "Cannot sign with " + privateKeyFile + ".";
    return false;
  }
  // OpenSSL writes DER; the release file carries r and s at their fixed width of 32 bytes, so a
  // number with leading zero bytes is padded back to it.
  const unsigned char* cursor = derBytes;
  SignaturePtr parsed(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  unsigned char rs[64];
  const bool ok = parsed && BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), rs, 32) == 32 &&
                  BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), rs + 32, 32) == 32;
  if (!ok) {
    message = "Cannot sign with " + privateKeyFile + ".";
    return false;
  }
  signature.assign(reinterpret_cast<const char*>(rs), sizeof rs);
  return true;
}
