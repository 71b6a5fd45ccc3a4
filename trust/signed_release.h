#pragma once

#include <memory>
#include <string>

#include "trust/package_verifier.h"

// The verifier of a build with a package key: `publicKeyHex` is the vendor's P-256 public key,
// X then Y, as 128 hex digits.
std::unique_ptr<IPackageVerifier> MakeSignedPackageVerifier(const std::string& publicKeyHex);
