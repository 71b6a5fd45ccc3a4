// pkgmake verify: the last look at a folder before it is published.

#include "common/constants.h"
#include "common/path.h"
#include "index/package_index.h"
#include "tools/pkgmake/package_maker.h"
#include "trust/release_manifest.h"

int CheckPackage(const std::string& folder, const std::string& publicKeyHex, std::string& message, std::string& report) {
  std::string publicKey;
  if (publicKeyHex.size() != 128 || !FromHex(publicKeyHex, publicKey)) {
    message = "The public key must be 128 hex digits, as pkgmake keygen printed it.";
    return 1;
  }
  const std::string releasePath = JoinPath(folder, kReleaseFileName);
  CReleaseManifest release;
  std::string problem;
  switch (ReadSignedRelease(releasePath, {publicKey}, release, problem)) {
    case ReleaseCheck::kGood:
      break;
    case ReleaseCheck::kUnreadable:
      message = "Cannot read " + releasePath + "; sign the package with --sign.";
      return 1;
    case ReleaseCheck::kMalformed:
      message = releasePath + " is not a release file: " + problem + ".";
      return 1;
    case ReleaseCheck::kNotSigned:
    case ReleaseCheck::kUnknownKey:
      message = releasePath + " is not signed by this key.";
      return 1;
  }
  const std::string indexPath = JoinPath(folder, kIndexFileName);
  CPackageIndex index;
  int reason = 0;
  if (!index.Read(indexPath, reason)) {
    message = "Cannot read the index " + indexPath + ".";
    return 1;
  }
  const std::string difference = CompareWithIndex(release, index);
  if (!difference.empty()) {
    message = "The index does not match the signed release: " + difference + ".";
    return 1;
  }
  CSha256 whole;
  for (const CReleasePart& part : release.m_parts) {
    const std::string path = JoinPath(folder, part.m_strName);
    CSha256 hash;
    long long size = 0;
    if (!HashFile(path, hash, size, &whole)) {
      message = "Cannot read the part " + path + ".";
      return 1;
    }
    if (size != part.m_nSize || hash.Final() != part.m_hash) {
      message = "The part " + path + " is not the one that was signed.";
      return 1;
    }
  }
  if (whole.Final() != release.m_installerHash) {
    message = "The parts joined are not the installer that was signed.";
    return 1;
  }
  report = folder + " holds version " + release.m_strVersion + ", release " + std::to_string(release.m_nRelease) +
           (release.m_strProduct.empty() ? "" : " of " + release.m_strProduct) +
           (release.m_nExpires == 0 ? "" : ", expiring " + UtcDate(static_cast<int64_t>(release.m_nExpires))) + ", " + std::to_string(release.m_parts.size()) + " parts, signed by this key: ready to publish.";
  return 0;
}
