#pragma once

#include <memory>
#include <string>

#include "trust/crypto.h"
#include "index/package_verifier.h"

// A part's running hash as the verifier keeps it (small blocks gathered into larger pieces), and
// its digest once all bytes are in.
std::unique_ptr<IPartHash> StartPartHash();
Sha256Digest PartHashDigest(IPartHash& hash);

// The verifier of a build with a package key: `publicKeyHex` is the vendor's P-256 public key,
// X then Y, as 128 hex digits.
std::unique_ptr<IPackageVerifier> MakeSignedPackageVerifier(const std::string& publicKeyHex);
