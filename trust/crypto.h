// The two cryptographic operations the program needs, from the platform: SHA-256, and the check
// of an ECDSA P-256 signature over a SHA-256 digest. Windows answers through CNG (bcrypt.dll,
// loaded from the system folder only); other builds through OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

using Sha256Digest = std::array<unsigned char, 32>;

// A running SHA-256. Throws CCryptoUnavailable when the platform cannot hash.
class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;
  void Update(const void* data, size_t size);
  // The digest of everything given so far; the hash is not used after this.
  Sha256Digest Final();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};

class CCryptoUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True when `signature` (r then s, 32 bytes each) is a valid signature of `digest` by the P-256
// public key `publicKey` (the point's X then Y, 32 bytes each). False for anything malformed.
// Throws CCryptoUnavailable when the platform cannot verify at all.
bool VerifyP256Signature(const std::string& publicKey, const Sha256Digest& digest, const std::string& signature);

Sha256Digest Sha256Of(const std::string& data);

// Lower-case hex of bytes, and back; FromHex is false for an odd length or a non-hex character.
std::string ToHex(const unsigned char* data, size_t size);
inline std::string ToHex(const std::string& bytes) {
  return ToHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
inline std::string ToHex(const Sha256Digest& digest) { return ToHex(digest.data(), digest.size()); }
bool FromHex(const std::string& hex, std::string& bytes);
