// What a signed build asks before it records, joins or offers anything: is this the release the
// vendor signed? The download holds one when the program was built with a package key, and none
// otherwise; the code that checks signatures is then not even linked in.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class CPackageIndex;
class IProgressBar;

// A running hash of one part's bytes as they are written.
class IPartHash {
 public:
  virtual ~IPartHash() = default;
  virtual void Update(const char* data, size_t size) = 0;
};

// What a check found: the file is as signed, it is not, or it could not be checked at all (the
// file could not be read, or the computer's cryptography failed). Only a file that does not match
// is removed.
enum class CheckOutcome { kMatches, kDoesNotMatch, kCouldNotCheck };

class IPackageVerifier {
 public:
  virtual ~IPackageVerifier() = default;
  // Start-up, once the index has been read: `fetchedPath` is the release file just fetched from
  // the server into the home folder under a temporary name, or "" when the fetch failed with
  // `fetchError`. Checks the release's signature and that it is no older than one seen before
  // (falling back on the verified copy kept here when the server gave none), and that the index
  // describes the same package. The fetched file is moved over the kept copy only when all of
  // that holds; otherwise it is removed and the kept copy stays as it was.
  // A fetched release and index that are each good but do not fit together (a server whose two
  // files differ in age, say) give way to the copies kept in the home folder, as a server that
  // cannot be reached does: `keptIndex` reads the home folder's index (nullptr when it cannot),
  // and 2 says the kept release serves with it.
  // 1 when all holds; 2 as just said; 0 after the user has been told why.
  virtual int PrepareRelease(const std::string& home, const std::string& fetchedPath, const std::string& fetchError,
                             const CPackageIndex& index,
                             const std::function<const CPackageIndex*()>& keptIndex) = 0;
  // The version folder's resume index must describe the same package; a copy of the verified
  // release is kept beside it. 1 when it does; 0 after the user has been told.
  virtual int AdoptVersionFolder(const std::string& directory, const CPackageIndex& resume) = 0;
  // The signed size of part `position`: no more of its body is taken.
  virtual long long PartSize(int position) const = 0;
  // A hash for one part's bytes; PartMatches says whether they are part `position` as signed.
  virtual std::unique_ptr<IPartHash> StartPart() const = 0;
  virtual CheckOutcome PartMatches(int position, long long size, IPartHash& hash) const = 0;
  // A part just fetched and found to match, now on disk at `path`: the join that follows need not
  // hash it again while the file stays unchanged (size and time of writing). Any other done part
  // is hashed at the join.
  virtual void RememberMatchingPart(int position, const std::string& path) = 0;
  virtual bool PartUnchangedSinceMatched(int position, const std::string& path) const = 0;
  // Start-up, for a version folder whose resume index is gone: whether the file at `path` is part
  // `position` as signed. A file of another size is not read. One that matches is remembered as
  // RememberMatchingPart remembers it. Once `stop` is set, a check under way ends as could-not-check.
  virtual CheckOutcome PartFileMatches(int position, const std::string& path, const std::atomic<int>* stop) = 0;
  // Whether the file at `path` is the signed installer, byte for byte. With `recorded`, a file
  // unchanged (size and time of writing) since it was last found so is taken without hashing it
  // again; Install never passes it. A full check moves `progress` across its range as it reads,
  // and ends as could-not-check once `stop` is set.
  virtual CheckOutcome InstallerMatches(const std::string& path, bool recorded = false, IProgressBar* progress = nullptr,
                                        const std::atomic<int>* stop = nullptr) const = 0;
  // The join has just made the installer at `path` from parts that all matched: it is recorded
  // as found good, so the next start need not hash it (Install still does).
  virtual void RecordJoinedInstaller(const std::string& path) const = 0;
};

// The texts the worker and the join give for a part that is not as signed, and for one that
// could not be checked.
inline std::string PartMismatchText(const std::string& name) {
  return "The part " + name + " does not match the signed release.";
}
inline std::string PartUncheckedText(const std::string& name) {
  return "This computer could not check the part " + name + " against the signed release.";
}
