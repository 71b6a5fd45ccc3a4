#include <windows.h>
#include <bcrypt.h>

#include "common/system_library_win.h"
#include "trust/crypto.h"

namespace {

// CNG's entry points, taken from the system's bcrypt.dll on first use.
struct CCng {
  decltype(&BCryptOpenAlgorithmProvider) OpenAlgorithmProvider;
  decltype(&BCryptCreateHash) CreateHash;
  decltype(&BCryptHashData) HashData;
  decltype(&BCryptFinishHash) FinishHash;
  decltype(&BCryptDestroyHash) DestroyHash;
  decltype(&BCryptImportKeyPair) ImportKeyPair;
  decltype(&BCryptVerifySignature) VerifySignature;
  decltype(&BCryptDestroyKey) DestroyKey;
  BCRYPT_ALG_HANDLE sha256 = nullptr;
  BCRYPT_ALG_HANDLE ecdsa = nullptr;

  CCng() {
    HMODULE module = LoadSystemLibrary("bcrypt.dll");
    OpenAlgorithmProvider = SystemFunction<decltype(OpenAlgorithmProvider)>(module, "BCryptOpenAlgorithmProvider");
    CreateHash = SystemFunction<decltype(CreateHash)>(module, "BCryptCreateHash");
    HashData = SystemFunction<decltype(HashData)>(module, "BCryptHashData");
    FinishHash = SystemFunction<decltype(FinishHash)>(module, "BCryptFinishHash");
    DestroyHash = SystemFunction<decltype(DestroyHash)>(module, "BCryptDestroyHash");
    ImportKeyPair = SystemFunction<decltype(ImportKeyPair)>(module, "BCryptImportKeyPair");
    VerifySignature = SystemFunction<decltype(VerifySignature)>(module, "BCryptVerifySignature");
    DestroyKey = SystemFunction<decltype(DestroyKey)>(module, "BCryptDestroyKey");
    if (!OpenAlgorithmProvider || !CreateHash || !HashData || !FinishHash || !DestroyHash || !ImportKeyPair ||
        !VerifySignature || !DestroyKey)
      return;
    if (!BCRYPT_SUCCESS(OpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) sha256 = nullptr;
    if (!BCRYPT_SUCCESS(OpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) ecdsa = nullptr;
  }
};

// Opened once and kept for the life of the process.
const CCng& Cng() {
  static const CCng cng;
  return cng;
}

}  // namespace

struct CSha256::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Impl() {
    if (hash != nullptr) Cng().DestroyHash(hash);
  }
};

CSha256::CSha256() : m_pImpl(std::make_unique<Impl>()) {
  const CCng& cng = Cng();
  if (cng.sha256 == nullptr || !BCRYPT_SUCCESS(cng.CreateHash(cng.sha256, &m_pImpl->hash, nullptr, 0, nullptr, 0, 0)))
    throw CCryptoUnavailable("This computer's cryptography (bcrypt.dll) cannot compute SHA-256.");
}

CSha256::~CSha256() = default;

void CSha256::Update(const void* data, size_t size) {
  // CNG takes at most 4 GiB a call; the program's blocks are far smaller, but the type says so.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size > 0) {
    const ULONG piece = static_cast<ULONG>(size > 0x40000000u ? 0x40000000u : size);
    if (!BCRYPT_SUCCESS(Cng().HashData(m_pImpl->hash, bytes, piece, 0)))
      throw CCryptoUnavailable("This computer's cryptography (bcrypt.dll) failed to compute SHA-256.");
    bytes += piece;
    size -= piece;
  }
}

Sha256Digest CSha256::Final() {
  Sha256Digest digest{};
  if (!BCRYPT_SUCCESS(Cng().FinishHash(m_pImpl->hash, digest.data(), static_cast<ULONG>(digest.size()), 0)))
    throw CCryptoUnavailable("This computer's cryptography (bcrypt.dll) failed to compute SHA-256.");
  return digest;
}

bool VerifyP256Signature(const std::string& publicKey, const Sha256Digest& digest, const std::string& signature) {
  if (publicKey.size() != 64 || signature.size() != 64) return false;
  const CCng& cng = Cng();
  if (cng.ecdsa == nullptr)
    throw CCryptoUnavailable("This computer's cryptography (bcrypt.dll) cannot check signatures.");
  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
  std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  memcpy(&blob[0], &header, sizeof header);
  blob += publicKey;
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!BCRYPT_SUCCESS(cng.ImportKeyPair(cng.ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                        reinterpret_cast<PUCHAR>(&blob[0]), static_cast<ULONG>(blob.size()), 0)))
    return false;
  std::string rs = signature;
  Sha256Digest hashed = digest;
  const NTSTATUS status = cng.VerifySignature(key, nullptr, hashed.data(), static_cast<ULONG>(hashed.size()),
                                              reinterpret_cast<PUCHAR>(&rs[0]), static_cast<ULONG>(rs.size()), 0);
  cng.DestroyKey(key);
  return BCRYPT_SUCCESS(status);
}
