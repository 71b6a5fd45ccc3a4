#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "index/package_verifier.h"
#include "trust/crypto.h"

// A part's running hash as the verifier keeps it (small blocks gathered into larger pieces), and
// its digest once all bytes are in.
std::unique_ptr<IPartHash> StartPartHash();
Sha256Digest PartHashDigest(IPartHash& hash);

// What a signed build is built with.
struct CTrustSettings {
  // The vendor's P-256 public keys, X then Y, as 128 hex digits: the key in use, then (if any)
  // the offline backup key that takes over when the first is retired.
  std::vector<std::string> publicKeysHex;
  // The lowest release number accepted: the release current when the program was built.
  uint64_t minRelease = 0;
  // The product a release must name, if it names one.
  std::string product;
  // Seconds since 1970, UTC; the system's clock when empty.
  std::function<int64_t()> now;
};

// The verifier of a build with a package key.
std::unique_ptr<IPackageVerifier> MakeSignedPackageVerifier(const CTrustSettings& settings);
// With one key and the defaults: no built-in floor, the default product, the system's clock.
std::unique_ptr<IPackageVerifier> MakeSignedPackageVerifier(const std::string& publicKeyHex);
