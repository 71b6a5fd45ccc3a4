// The signed release: what the vendor signs for one package, published as pkgrelease.txt beside
// the index. Text, one field a line, in this order:
//
//   brisko-release 1
//   version <product version>
//   release <number that only grows from one release to the next>
//   part-size <bytes>
//   parts <count>
//   part <name> <bytes> <sha-256 hex>        (one line per part, in join order)
//   installer <bytes> <sha-256 hex>
//   signature <r then s, 64 bytes, hex>
//
// The signature is ECDSA P-256 over the SHA-256 of every line before it, each ended by a line
// feed. A carriage return before a line feed is ignored, so the file may carry either line end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trust/crypto.h"

class CPackageIndex;

struct CReleasePart {
  std::string m_strName;
  long long m_nSize = 0;
  Sha256Digest m_hash{};
};

struct CReleaseManifest {
  std::string m_strVersion;
  uint64_t m_nRelease = 0;
  int m_nPartSize = 0;
  std::vector<CReleasePart> m_parts;
  long long m_nInstallerSize = 0;
  Sha256Digest m_installerHash{};
  std::string m_signature;  // 64 bytes: r then s

  // Every line the signature covers.
  std::string SignedText() const;
  // The whole file: the signed text and the signature line.
  std::string FileText() const;
};

// Beside the installer, the record of its last full check (see IPackageVerifier).
constexpr const char* kVerifiedSuffix = ".verified";


// Reads the text of a manifest; "" on success, otherwise what is wrong with it.
std::string ParseReleaseManifest(const std::string& text, CReleaseManifest& manifest);

// True when the manifest's signature is good for the public key (X then Y, 64 bytes).
bool IsSignedBy(const CReleaseManifest& manifest, const std::string& publicKey);

// Reads, parses and checks the signature of the release file at `path`; `problem` says what is
// wrong with a malformed one.
enum class ReleaseCheck { kGood, kUnreadable, kMalformed, kNotSigned };
ReleaseCheck ReadSignedRelease(const std::string& path, const std::string& publicKey, CReleaseManifest& release,
                               std::string& problem);

// "" when the index names the same version, part size and parts in the same order as the
// manifest; otherwise what differs.
std::string CompareWithIndex(const CReleaseManifest& manifest, const CPackageIndex& index);

// Gives the whole file to `hash` (and to `also`, if given), counting its bytes into `size`; false
// when it cannot be read.
bool HashFile(const std::string& path, CSha256& hash, long long& size, CSha256* also = nullptr);

// The file's whole content, at most `limit` bytes; false when it cannot be read or is longer.
bool ReadWholeFile(const std::string& path, size_t limit, std::string& content);
