#include "trust/signed_release.h"

#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "common/file_system.h"
#include "common/path.h"
#include "common/show_message.h"
#include "index/package_index.h"
#include "trust/release_manifest.h"

namespace {

const char kNotSignedText[] = "The package on the download server is not signed by Corvane Software, so it was not used.";
const char kMismatchText[] = "The package index does not match the signed release, so it was not used.";

// Gathers the small blocks of the fetch (4 KiB) and the join (1 KiB) into larger ones: each call
// into the system's hash has a cost of its own, and a part's hash is on the download's path.
// (Hashing on a thread of its own beside the transfer was measured too: on two cores it competes
// with the transfer and the download took longer.)
class CPartHash : public IPartHash {
 public:
  void Update(const char* data, size_t size) override {
    m_nBytes += static_cast<long long>(size);
    if (m_pending.size() + size > kGather) Flush();
    if (size >= kGather) {
      m_hash.Update(data, size);
      return;
    }
    m_pending.insert(m_pending.end(), data, data + size);
  }
  Sha256Digest Final() {
    Flush();
    return m_hash.Final();
  }
  long long m_nBytes = 0;

 private:
  static constexpr size_t kGather = 64 * 1024;
  void Flush() {
    if (!m_pending.empty()) m_hash.Update(m_pending.data(), m_pending.size());
    m_pending.clear();
  }
  CSha256 m_hash;
  std::vector<char> m_pending;
};

class CSignedPackageVerifier : public IPackageVerifier {
 public:
  explicit CSignedPackageVerifier(const std::string& publicKeyHex) { FromHex(publicKeyHex, m_publicKey); }

  int PrepareRelease(const std::string& home, const std::string& fetchedPath, const std::string& fetchError,
                     const CPackageIndex& index) override {
    try {
      return Prepare(home, fetchedPath, fetchError, index);
    } catch (const CCryptoUnavailable& failure) {
      ShowMessage(failure.what());
      return 0;
    }
  }

  int AdoptVersionFolder(const std::string& directory, const CPackageIndex& resume) override {
    if (!CompareWithIndex(m_release, resume).empty()) {
      ShowMessage("The download folder " + directory +
                  " holds another package than the signed release. Remove the folder and try again.");
      return 0;
    }
    // Kept for the user and for support; a folder that cannot take it loses nothing.
    ReplaceFileContent(JoinPath(directory, kReleaseFileName), m_release.FileText(), true);
    return 1;
  }

  std::unique_ptr<IPartHash> StartPart() const override { return std::make_unique<CPartHash>(); }

  bool PartMatches(int position, long long size, IPartHash& hash) const override {
    auto& part = static_cast<CPartHash&>(hash);
    if (position < 0 || position >= static_cast<int>(m_release.m_parts.size())) return false;
    const CReleasePart& signedPart = m_release.m_parts[position];
    return size == signedPart.m_nSize && part.m_nBytes == size && part.Final() == signedPart.m_hash;
  }

  void RememberMatchingPart(int position, const std::string& path) override {
    m_matched[position] = {FindFileSize(path), FindFileWriteTime(path)};
  }

  bool PartUnchangedSinceMatched(int position, const std::string& path) const override {
    const auto found = m_matched.find(position);
    return found != m_matched.end() && found->second.first >= 0 &&
           found->second == std::make_pair(FindFileSize(path), FindFileWriteTime(path));
  }

  bool InstallerMatches(const std::string& path, bool recorded) const override {
    if (FindFileSize(path) != m_release.m_nInstallerSize) return false;
    const std::string record = path + kVerifiedSuffix;
    std::string earlier;
    if (recorded && ReadWholeFile(record, 1024, earlier) && earlier == Stamp(path)) return true;
    if (!HashMatches(path)) return false;
    RecordJoinedInstaller(path);
    return true;
  }

  void RecordJoinedInstaller(const std::string& path) const override {
    ReplaceFileContent(path + kVerifiedSuffix, Stamp(path), true);  // a folder that cannot take it costs the next start a hash
  }

 private:
  // The record of a full check: the installer's hash, size and time of writing.
  std::string Stamp(const std::string& path) const {
    return ToHex(m_release.m_installerHash) + " " + std::to_string(m_release.m_nInstallerSize) + " " +
           std::to_string(FindFileWriteTime(path)) + "\n";
  }

  bool HashMatches(const std::string& path) const {
    try {
      CSha256 hash;
      long long size = 0;
      return HashFile(path, hash, size) && size == m_release.m_nInstallerSize && hash.Final() == m_release.m_installerHash;
    } catch (const CCryptoUnavailable&) {
      return false;
    }
  }

  // A release file that parses and carries the vendor's signature.
  bool LoadVerified(const std::string& path, CReleaseManifest& release) const {
    std::string problem;
    return ReadSignedRelease(path, m_publicKey, release, problem) == ReleaseCheck::kGood;
  }

  int Prepare(const std::string& home, const std::string& temp, const std::string& error, const CPackageIndex& index) {
    // Same discipline as the index: fetched beside the earlier copy, which it replaces only once
    // it has arrived whole and proved good. The earlier copy is the highest release this home
    // folder has verified, so an older one (last year's installer, say) is refused.
    const std::string path = JoinPath(home, kReleaseFileName);
    CReleaseManifest earlier;
    const bool haveEarlier = LoadVerified(path, earlier);
    if (!temp.empty()) {
      CReleaseManifest fresh;
      if (!LoadVerified(temp, fresh)) {
        RemoveFile(temp);
        ShowMessage(kNotSignedText);
        return 0;
      }
      if (haveEarlier && fresh.m_nRelease < earlier.m_nRelease) {
        RemoveFile(temp);
        ShowMessage("The download server offered release " + std::to_string(fresh.m_nRelease) +
                    " of the package, older than release " + std::to_string(earlier.m_nRelease) +
                    " already used here, so it was not used.");
        return 0;
      }
      if (!MoveFileOver(temp, path)) {
        RemoveFile(temp);
        ShowMessage("Cannot create file: " + path);
        return 0;
      }
      m_release = std::move(fresh);
    } else {
      if (!haveEarlier) {
        ShowMessage(FileExists(path) ? kNotSignedText : error);
        return 0;
      }
      m_release = std::move(earlier);
    }
    if (!CompareWithIndex(m_release, index).empty()) {
      ShowMessage(kMismatchText);
      return 0;
    }
    return 1;
  }

  std::string m_publicKey;  // X then Y
  CReleaseManifest m_release;
  std::map<int, std::pair<int64_t, int64_t>> m_matched;  // position: size and time of writing
};

}  // namespace

std::unique_ptr<IPartHash> StartPartHash() { return std::make_unique<CPartHash>(); }

Sha256Digest PartHashDigest(IPartHash& hash) { return static_cast<CPartHash&>(hash).Final(); }

std::unique_ptr<IPackageVerifier> MakeSignedPackageVerifier(const std::string& publicKeyHex) {
  return std::make_unique<CSignedPackageVerifier>(publicKeyHex);
}
