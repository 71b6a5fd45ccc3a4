#include "trust/signed_release.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <map>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "common/file_system.h"
#include "common/path.h"
#include "common/progress_bar.h"
#include "common/show_message.h"
#include "common/system_clock.h"
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
  CPartHash() {
    try {
      m_pHash = std::make_unique<CSha256>();
    } catch (const CCryptoUnavailable&) {
      // Could not check: the part is neither taken nor called changed.
    }
  }
  void Update(const char* data, size_t size) override {
    m_nBytes += static_cast<long long>(size);
    if (!m_pHash) return;
    try {
      if (m_pending.size() + size > kGather) Flush();
      if (size >= kGather) {
        m_pHash->Update(data, size);
        return;
      }
      m_pending.insert(m_pending.end(), data, data + size);
    } catch (const CCryptoUnavailable&) {
      m_pHash.reset();
    }
  }
  // The digest of every byte given; false when the platform could not hash them.
  bool Final(Sha256Digest& digest) {
    if (!m_pHash) return false;
    try {
      Flush();
      digest = m_pHash->Final();
      return true;
    } catch (const CCryptoUnavailable&) {
      m_pHash.reset();
      return false;
    }
  }
  long long m_nBytes = 0;

 private:
  static constexpr size_t kGather = 64 * 1024;
  void Flush() {
    if (!m_pending.empty()) m_pHash->Update(m_pending.data(), m_pending.size());
    m_pending.clear();
  }
  std::unique_ptr<CSha256> m_pHash;
  std::vector<char> m_pending;
};

std::string ReleaseNumber(uint64_t number) { return std::to_string(number); }

class CSignedPackageVerifier : public IPackageVerifier {
 public:
  explicit CSignedPackageVerifier(const CTrustSettings& settings) : m_settings(settings) {
    for (const std::string& hex : settings.publicKeysHex) {
      std::string key;
      if (!hex.empty() && FromHex(hex, key)) m_publicKeys.push_back(key);
    }
    if (m_settings.product.empty()) m_settings.product = kDefaultReleaseProduct;
    if (!m_settings.now) m_settings.now = SecondsSince1970Now;
  }

  int PrepareRelease(const std::string& home, const std::string& fetchedPath, const std::string& fetchError,
                     const CPackageIndex& index, const std::function<const CPackageIndex*()>& keptIndex) override {
    try {
      return Prepare(home, fetchedPath, fetchError, index, keptIndex);
    } catch (const CCryptoUnavailable& failure) {
      if (!fetchedPath.empty()) RemoveFile(fetchedPath);
      ShowMessage(failure.what());
      return 0;
    } catch (const std::bad_alloc&) {
      if (!fetchedPath.empty()) RemoveFile(fetchedPath);
      ShowMessage(kNotSignedText);
      return 0;
    }
  }

  int AdoptVersionFolder(const std::string& directory, const CPackageIndex& resume) override {
    if (!CompareWithIndex(m_release, resume).empty()) {
      ShowMessage("The download folder " + directory +
                  " holds another package than the signed release. Remove the folder and try again.");
      return 0;
    }
    // Kept for the user and for support, and as one more floor against an older release; a
    // folder that cannot take it loses nothing.
    ReplaceFileContent(JoinPath(directory, kReleaseFileName), m_release.FileText(), true);
    return 1;
  }

  long long PartSize(int position) const override {
    if (position < 0 || position >= static_cast<int>(m_release.m_parts.size())) return 0;
    return m_release.m_parts[position].m_nSize;
  }

  std::unique_ptr<IPartHash> StartPart() const override { return std::make_unique<CPartHash>(); }

  CheckOutcome PartMatches(int position, long long size, IPartHash& hash) const override {
    auto& part = static_cast<CPartHash&>(hash);
    if (position < 0 || position >= static_cast<int>(m_release.m_parts.size())) return CheckOutcome::kDoesNotMatch;
    const CReleasePart& signedPart = m_release.m_parts[position];
    if (size != signedPart.m_nSize || part.m_nBytes != size) return CheckOutcome::kDoesNotMatch;
    Sha256Digest digest{};
    if (!part.Final(digest)) return CheckOutcome::kCouldNotCheck;
    return digest == signedPart.m_hash ? CheckOutcome::kMatches : CheckOutcome::kDoesNotMatch;
  }

  void RememberMatchingPart(int position, const std::string& path) override {
    m_matched[position] = {FindFileSize(path), FindFileWriteTime(path)};
  }

  bool PartUnchangedSinceMatched(int position, const std::string& path) const override {
    const auto found = m_matched.find(position);
    return found != m_matched.end() && found->second.first >= 0 &&
           found->second == std::make_pair(FindFileSize(path), FindFileWriteTime(path));
  }

  CheckOutcome PartFileMatches(int position, const std::string& path, const std::atomic<int>* stop) override {
    if (position < 0 || position >= static_cast<int>(m_release.m_parts.size())) return CheckOutcome::kDoesNotMatch;
    const CReleasePart& signedPart = m_release.m_parts[position];
    // Taken before reading: a file written while it is read has another time of writing, and the
    // join hashes it again.
    const std::pair<int64_t, int64_t> stamp{FindFileSize(path), FindFileWriteTime(path)};
    if (stamp.first != signedPart.m_nSize) return CheckOutcome::kDoesNotMatch;
    try {
      CSha256 hash;
      long long size = 0;
      if (!HashFile(path, hash, size, nullptr, [stop](long long) { return stop == nullptr || stop->load() == 0; }))
        return CheckOutcome::kCouldNotCheck;
      if (size != signedPart.m_nSize || hash.Final() != signedPart.m_hash) return CheckOutcome::kDoesNotMatch;
    } catch (const CCryptoUnavailable&) {
      return CheckOutcome::kCouldNotCheck;
    }
    m_matched[position] = stamp;
    return CheckOutcome::kMatches;
  }

  CheckOutcome InstallerMatches(const std::string& path, bool recorded, IProgressBar* progress,
                                const std::atomic<int>* stop) const override {
    const int64_t size = FindFileSize(path);
    if (size < 0) return CheckOutcome::kCouldNotCheck;
    if (size != m_release.m_nInstallerSize) return CheckOutcome::kDoesNotMatch;
    const std::string record = path + kVerifiedSuffix;
    std::string earlier;
    if (recorded && ReadWholeFile(record, 1024, earlier) && earlier == Stamp(path)) return CheckOutcome::kMatches;
    const CheckOutcome outcome = Hash(path, progress, stop);
    if (outcome == CheckOutcome::kMatches) RecordJoinedInstaller(path);
    return outcome;
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

  CheckOutcome Hash(const std::string& path, IProgressBar* progress, const std::atomic<int>* stop) const {
    int lower = 0, upper = 0;
    if (progress != nullptr) progress->GetRange(lower, upper);
    const long long total = std::max<long long>(1, m_release.m_nInstallerSize);
    auto going = [&](long long bytes) {
      if (progress != nullptr)
        progress->SetPos(lower + static_cast<int>(static_cast<long long>(upper - lower) * std::min(bytes, total) / total));
      return stop == nullptr || stop->load() == 0;
    };
    try {
      CSha256 hash;
      long long size = 0;
      if (!HashFile(path, hash, size, nullptr, going)) return CheckOutcome::kCouldNotCheck;  // held elsewhere, say
      return size == m_release.m_nInstallerSize && hash.Final() == m_release.m_installerHash ? CheckOutcome::kMatches
                                                                                           : CheckOutcome::kDoesNotMatch;
    } catch (const CCryptoUnavailable&) {
      return CheckOutcome::kCouldNotCheck;
    }
  }

  // A verified release kept on this computer, and which of the program's keys signed it: 0 the key
  // in use, 1 the backup key that takes over when the first is retired.
  struct CKeptRelease {
    CReleaseManifest release;
    size_t signer = 0;
  };

  // A release file that parses, carries one of the vendor's signatures and is for this product.
  ReleaseCheck Load(const std::string& path, CReleaseManifest& release, size_t* signer = nullptr) const {
    std::string problem;
    const ReleaseCheck check = ReadSignedRelease(path, m_publicKeys, release, problem, signer);
    return check == ReleaseCheck::kGood && !IsForThisProduct(release) ? ReleaseCheck::kNotSigned : check;
  }
  bool IsForThisProduct(const CReleaseManifest& release) const {
    return release.m_strProduct.empty() || release.m_strProduct == m_settings.product;
  }

  // Now, by the computer's clock, but never earlier than the latest time this computer has seen a
  // release of that key signed: a clock set back (by hand, or by a forged answer from a
  // time server) brings no expired release back. A clock that runs ahead is told of in the
  // messages about expiry.
  // `signer` is the key of the release judged: a retired key's signing times (a thief's, far
  // ahead, say) move nothing for the backup key's releases.
  int64_t Now(const std::vector<CKeptRelease>& kept, size_t signer, const CReleaseManifest* fresh) const {
    int64_t now = m_settings.now();
    for (const CKeptRelease& each : kept)
      if (each.signer == signer) now = std::max(now, static_cast<int64_t>(each.release.m_nSigned));
    if (fresh != nullptr) now = std::max(now, static_cast<int64_t>(fresh->m_nSigned));
    return now;
  }
  static bool HasExpired(const CReleaseManifest& release, int64_t now) {
    return release.m_nExpires != 0 && now >= 0 && static_cast<uint64_t>(now) >= release.m_nExpires;
  }
  std::string ExpiredText(const std::string& lead, const CReleaseManifest& release, int64_t now) const {
    return lead + " expired on " + UtcDate(static_cast<int64_t>(release.m_nExpires)) +
           ", so it was not used. If this computer's date (" + UtcDate(now) +
           ") is wrong, set it right and try again; otherwise please try again later.";
  }
  // True while a download of this very release that began before it expired is unfinished: the
  // version folder holds the release, its resume index records a part done (parts are fetched only
  // under a release that was good then), and not every part is done or it was never joined.
  // Merely starting the program once, or a finished download, exempts nothing.
  bool UnfinishedDownloadOf(const std::string& home, const CReleaseManifest& release) const {
    const std::string folder = JoinPath(home, release.m_strVersion);
    CReleaseManifest kept;
    if (Load(JoinPath(folder, kReleaseFileName), kept) != ReleaseCheck::kGood ||
        kept.SignedText() != release.SignedText())
      return false;
    CPackageIndex resume;
    int reason = 0;
    if (!resume.Read(JoinPath(folder, kIndexFileName), reason)) return false;
    const auto done = std::count_if(resume.m_parts.begin(), resume.m_parts.end(),
                                    [](const CPackagePart& part) { return part.m_bDone != 0; });
    // Joined once means finished, whatever became of the installer since (removed by the user, a
    // virus scanner, or the check at start-up): the record of its check stays beside it.
    const std::string installer = JoinPath(folder, kInstallerFileName);
    return done > 0 && (static_cast<size_t>(done) < resume.m_parts.size() ||
                        (!FileExists(installer) && !FileExists(installer + kVerifiedSuffix)));
  }

  // Every verified release kept here: the home folder's copy first, then each version folder's.
  // A damaged or unsigned copy counts for nothing; it never lowers what the others say. Only the
  // version folders the program made count: a folder named for the version its release names
  // (an old copy of the program unpacked into a folder here counts for nothing).
  std::vector<CKeptRelease> KeptReleases(const std::string& home) const {
    std::vector<CKeptRelease> kept;
    CKeptRelease each;
    if (Load(JoinPath(home, kReleaseFileName), each.release, &each.signer) == ReleaseCheck::kGood)
      kept.push_back(each);
    for (const std::string& folder : ListFolders(home))
      if (Load(JoinPath(JoinPath(home, folder), kReleaseFileName), each.release, &each.signer) == ReleaseCheck::kGood &&
          each.release.m_strVersion == folder)
        kept.push_back(each);
    return kept;
  }
  // The latest key this computer has seen a release of. Once a release signed with the backup
  // key has been verified here, the first key is retired: its releases, and the release numbers
  // they raised the floor to, count for nothing (a thief of the first key cannot lock users out
  // with a huge number once the vendor has moved on).
  static size_t NewestSigner(const std::vector<CKeptRelease>& kept) {
    size_t signer = 0;
    for (const CKeptRelease& each : kept) signer = std::max(signer, each.signer);
    return signer;
  }
  // The lowest release number a release of `signer` may have: the program's own floor and every
  // release kept here of that key or a later one.
  uint64_t Floor(const std::vector<CKeptRelease>& kept, size_t signer) const {
    uint64_t floor = m_settings.minRelease;
    for (const CKeptRelease& each : kept)
      if (each.signer >= signer) floor = std::max(floor, each.release.m_nRelease);
    return floor;
  }

  int Prepare(const std::string& home, const std::string& temp, const std::string& error, const CPackageIndex& index,
              const std::function<const CPackageIndex*()>& keptIndex) {
    // The release fetched is checked against everything this computer knows: the release the
    // program was built after, and every release verified here before (the home folder's copy and
    // each version folder's). An older one (last year's installer, say) is refused, so the
    // home folder's copy being lost or damaged lets no rollback through.
    const std::string path = JoinPath(home, kReleaseFileName);
    const std::vector<CKeptRelease> kept = KeptReleases(home);
    if (!temp.empty()) {
      CReleaseManifest fresh;
      const std::string refusal = CheckFresh(home, temp, kept, fresh);
      if (!refusal.empty()) {
        RemoveFile(temp);
        ShowMessage(refusal);
        return 0;
      }
      // The kept copy is replaced only by a release the index matches: one that came with a
      // stale or changed index would leave the home folder's index and release at odds, and
      // every later start without the server would fail. The kept pair serves instead.
      if (!CompareWithIndex(fresh, index).empty()) {
        RemoveFile(temp);
        const CPackageIndex* earlier = keptIndex ? keptIndex() : nullptr;
        if (earlier != nullptr && ServeKept(home, kept, *earlier).empty()) return 2;
        ShowMessage(kMismatchText);
        return 0;
      }
      if (!MoveFileOver(temp, path)) {
        RemoveFile(temp);
        ShowMessage("Cannot create file: " + path);
        return 0;
      }
      m_release = std::move(fresh);
      return 1;
    }
    // The server gave none: the newest release verified here serves, if it is still good.
    if (kept.empty()) {
      ShowMessage(FileExists(path) ? "The download server cannot be reached (" + error +
                                         "), and the copy of the signed release kept in " + path +
                                         " is damaged. Please try again when the server can be reached."
                                   : error);
      return 0;
    }
    const std::string refusal = ServeKept(home, kept, index);
    if (refusal == kMismatchText) {
      ShowMessage(refusal);
      return 0;
    }
    if (!refusal.empty()) {
      ShowMessage("The download server cannot be reached (" + error + "), and " + refusal);
      return 0;
    }
    return 1;
  }

  // Takes the newest release kept here of the latest key for `index`; "" when it serves,
  // otherwise why not (after "and ", or the mismatch text).
  std::string ServeKept(const std::string& home, const std::vector<CKeptRelease>& kept, const CPackageIndex& index) {
    const size_t signer = NewestSigner(kept);
    const CReleaseManifest* newest = nullptr;
    for (const CKeptRelease& each : kept)
      if (each.signer == signer && (newest == nullptr || each.release.m_nRelease > newest->m_nRelease))
        newest = &each.release;
    if (newest == nullptr) return kMismatchText;
    if (newest->m_nRelease < m_settings.minRelease)
      return "the signed release kept here (release " + ReleaseNumber(newest->m_nRelease) + ") is older than release " +
             ReleaseNumber(m_settings.minRelease) + ", which this program needs. Please try again later.";
    const int64_t now = Now(kept, signer, nullptr);
    if (HasExpired(*newest, now) && !UnfinishedDownloadOf(home, *newest))
      return ExpiredText("the signed release kept here", *newest, now);
    if (!CompareWithIndex(*newest, index).empty()) return kMismatchText;
    m_release = *newest;
    return "";
  }

  // "" when the release file just fetched can be used; otherwise what to tell the user.
  std::string CheckFresh(const std::string& home, const std::string& temp, const std::vector<CKeptRelease>& kept,
                         CReleaseManifest& fresh) const {
    size_t signer = 0;
    // A key this program does not know proves nothing: the vendor's next key and anyone's
    // made-up key id look the same, so such a release is simply not signed as far as this
    // program can tell.
    switch (Load(temp, fresh, &signer)) {
      case ReleaseCheck::kGood:
        break;
      case ReleaseCheck::kUnknownKey:
        return std::string(kNotSignedText) + " If this keeps happening, download the newest Brisko Download from " +
               kVendorWebSite + ".";
      default:
        return kNotSignedText;
    }
    if (signer < NewestSigner(kept))
      return "The package on the download server is signed with a key that Corvane Software has retired, so it was "
             "not used.";
    const uint64_t floor = Floor(kept, signer);
    if (fresh.m_nRelease < floor)
      return "The download server offered release " + ReleaseNumber(fresh.m_nRelease) +
             " of the package, older than release " + ReleaseNumber(floor) + " already used here, so it was not used.";
    for (const CKeptRelease& each : kept)
      if (each.signer >= signer && each.release.m_nRelease == fresh.m_nRelease &&
          each.release.SignedText() != fresh.SignedText())
        return "The download server offered release " + ReleaseNumber(fresh.m_nRelease) +
               " of the package with other content than the release of that number already used here, so it was not "
               "used.";
    const int64_t now = Now(kept, signer, &fresh);
    if (HasExpired(fresh, now) && !UnfinishedDownloadOf(home, fresh))
      return ExpiredText("The signed release on the download server", fresh, now);
    return "";
  }

  CTrustSettings m_settings;
  std::vector<std::string> m_publicKeys;  // each X then Y
  CReleaseManifest m_release;
  std::map<int, std::pair<int64_t, int64_t>> m_matched;  // position: size and time of writing
};

}  // namespace

std::unique_ptr<IPartHash> StartPartHash() { return std::make_unique<CPartHash>(); }

Sha256Digest PartHashDigest(IPartHash& hash) {
  Sha256Digest digest{};
  static_cast<CPartHash&>(hash).Final(digest);
  return digest;
}

std::unique_ptr<IPackageVerifier> MakeSignedPackageVerifier(const CTrustSettings& settings) {
  return std::make_unique<CSignedPackageVerifier>(settings);
}

std::unique_ptr<IPackageVerifier> MakeSignedPackageVerifier(const std::string& publicKeyHex) {
  CTrustSettings settings;
  settings.publicKeysHex = {publicKeyHex};
  return std::make_unique<CSignedPackageVerifier>(settings);
}
