// The signed release: what the vendor signs for one package, published as pkgrelease.txt beside
// the index. Text, one field a line, in this order:
//
//   brisko-release 1
//   version <product version>
//   release <number that only grows from one release to the next>
//   product <name>                           (which program the release is for)
//   expires <seconds since 1970, UTC>        (after this the release is not used for new downloads)
//   signed <seconds since 1970, UTC>         (when the vendor signed it: the earliest "now" can be)
//   key <key id>                             (which of the vendor's keys signed it: KeyId)
//   part-size <bytes>
//   parts <count>
//   part <name> <bytes> <sha-256 hex>        (one line per part, in join order)
//   installer <bytes> <sha-256 hex>
//   signature <r then s, 64 bytes, hex>
//
// The signature is ECDSA P-256 over the SHA-256 of every line before it, each ended by a line
// feed. A carriage return before a line feed is ignored, so the file may carry either line end.
// The product, expires, signed and key lines came later: a file without them is read as before
// (no expiry, the computer's clock as it is, any of the program's keys).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
  std::string m_strProduct;  // "" when the file names none
  uint64_t m_nExpires = 0;   // 0 when the release does not expire
  uint64_t m_nSigned = 0;    // 0 when the file does not say when it was signed
  std::string m_strKeyId;    // "" when the file names no key
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


// A public key's short name in release files: the first 8 bytes of its SHA-256, in hex.
std::string KeyId(const std::string& publicKey);

// A time in seconds since 1970 as its UTC date, YYYY-MM-DD; and a date back to the time its day
// begins (false for anything but a valid date of that form).
std::string UtcDate(int64_t seconds);
bool ParseUtcDate(const std::string& text, int64_t& seconds);

// Reads the text of a manifest; "" on success, otherwise what is wrong with it.
std::string ParseReleaseManifest(const std::string& text, CReleaseManifest& manifest);

// True when the manifest's signature is good for the public key (X then Y, 64 bytes).
bool IsSignedBy(const CReleaseManifest& manifest, const std::string& publicKey);

// Reads, parses and checks the signature of the release file at `path` against the keys given
// (each X then Y, 64 bytes); `problem` says what is wrong with a malformed one, and `signer`, if
// given, which of the keys signed a good one. kUnknownKey: the file names a key that is none of
// them. A file too large for the memory is malformed.
enum class ReleaseCheck { kGood, kUnreadable, kMalformed, kNotSigned, kUnknownKey };
ReleaseCheck ReadSignedRelease(const std::string& path, const std::vector<std::string>& publicKeys,
                               CReleaseManifest& release, std::string& problem, size_t* signer = nullptr);
// The same for a text already read.
ReleaseCheck CheckSignedRelease(const std::string& text, const std::vector<std::string>& publicKeys,
                                CReleaseManifest& release, std::string& problem, size_t* signer = nullptr);

// "" when the index names the same version, part size and parts in the same order as the
// manifest; otherwise what differs.
std::string CompareWithIndex(const CReleaseManifest& manifest, const CPackageIndex& index);

// Gives the whole file to `hash` (and to `also`, if given), counting its bytes into `size`; false
// when it cannot be read, or when `going` (told the bytes so far after every block) says to stop.
bool HashFile(const std::string& path, CSha256& hash, long long& size, CSha256* also = nullptr,
              const std::function<bool(long long)>& going = nullptr);

// The file's whole content, at most `limit` bytes; false when it cannot be read or is longer.
bool ReadWholeFile(const std::string& path, size_t limit, std::string& content);
