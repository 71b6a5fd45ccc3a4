// The vendor's signing key: made once, kept offline, used by pkgmake to sign each release.
#pragma once

#include <string>

#include "trust/crypto.h"

// Makes a new P-256 key pair. The private key goes to a new file that only its owner can read
// (an existing file is never overwritten); the public key comes back as 128 hex digits, X then
// Y, the form the program's build takes. False with `message` on failure.
bool MakeSigningKey(const std::string& privateKeyFile, std::string& publicKeyHex, std::string& message);

// Signs `digest` with the private key in the file: r then s, 32 bytes each, into `signature`.
bool SignDigest(const std::string& privateKeyFile, const Sha256Digest& digest, std::string& signature,
                std::string& message);

// The public key (128 hex digits) of the private key in the file; false with `message` when the
// file holds no P-256 private key.
bool ReadSigningKey(const std::string& privateKeyFile, std::string& publicKeyHex, std::string& message);
