#include "tools/pkgmake/package_maker.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/constants.h"
#include "common/file_system.h"
#include "common/path.h"
#include "common/system_clock.h"
#include "index/package_index.h"
#include "tools/pkgmake/release_signing.h"
#include "trust/release_manifest.h"

namespace {

constexpr int64_t kMaxInstallerBytes = INT64_C(2) * 1024 * 1024 * 1024;  // sizes are signed 32-bit
constexpr int kMaxProgressUnits = 65535;                               // a 16-bit progress range

std::string PartName(int number, int count) {
  const int width = std::max(3, static_cast<int>(std::to_string(count).size()));
  std::string digits = std::to_string(number);
  return "corvane.part" + std::string(width - digits.size(), '0') + digits;
}

// Reads up to `size` bytes at `offset` of the open installer.
std::string ReadSlice(FILE* file, int64_t offset, int size) {
  std::string data(static_cast<size_t>(size), '\0');
  fseek(file, static_cast<long>(offset), SEEK_SET);
  data.resize(fread(&data[0], 1, data.size(), file));
  return data;
}

bool SameContent(const std::string& path, const std::string& expected) {
  FilePtr file(OpenFileStream(path, "rb"));
  if (!file) return false;
  std::string content(expected.size() + 1, '\0');
  content.resize(fread(&content[0], 1, content.size(), file.get()));
  return content == expected;
}

// Part `number` (from 0) of the installer, checked to be as long as the installer's size says;
// false when it is not, because the file changed while it was read.
bool ReadPart(FILE* file, int number, int64_t partSize, int64_t size, std::string& data) {
  const int64_t offset = number * partSize;
  data = ReadSlice(file, offset, static_cast<int>(partSize));
  return static_cast<int64_t>(data.size()) == std::min(partSize, size - offset);
}

const char kInstallerChanged[] = "The installer changed while it was being read; nothing was published.";

// Creates a new file with the data: never over an existing file, never through a link.
bool WriteNewFile(const std::string& path, const std::string& data) {
  FilePtr output(CreateNewFile(path));
  bool written = output && fwrite(data.data(), 1, data.size(), output.get()) == data.size();
  return output && fclose(output.release()) == 0 && written;
}

// True when `inner` lies inside the folder `outer` (both canonical).
bool LiesInside(const std::string& inner, const std::string& outer) {
  return !outer.empty() && inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         (inner[outer.size()] == '/' || inner[outer.size()] == '\\');
}

constexpr int64_t kSecondsPerDay = 86400;
// A release number is by default the time in seconds; one more than a year ahead of now is a
// typo (or milliseconds), and would lock every later release out of every home folder.
constexpr int64_t kMostReleaseAhead = 365 * kSecondsPerDay;

// The signed release's lines before the parts, from the request; false with `message` when the
// request is wrong. Nothing is cut or written before this holds.
bool StartRelease(const PackageRequest& request, const CPackageIndex& index, int64_t size, CReleaseManifest& release,
                  std::string& message, std::string* warning) {
  std::string publicKeyHex, publicKey;
  if (!ReadSigningKey(request.signingKey, publicKeyHex, message)) return false;
  FromHex(publicKeyHex, publicKey);
  const int64_t now = SecondsSince1970Now();
  release.m_nSigned = static_cast<uint64_t>(now);
  release.m_strVersion = index.m_strProductVersion;
  release.m_strProduct = request.product.empty() ? kDefaultReleaseProduct : request.product;
  if (release.m_strProduct.size() > 64 || release.m_strProduct.find_first_of(" \t\r\n") != std::string::npos) {
    message = "The product must be one word of at most 64 characters, not \"" + release.m_strProduct + "\".";
    return false;
  }
  release.m_strKeyId = KeyId(publicKey);
  if (request.release.empty()) {
    release.m_nRelease = static_cast<uint64_t>(now);
  } else if (request.release.size() > 18 || request.release.find_first_not_of("0123456789") != std::string::npos) {
    message = "The release must be a whole number of at most 18 digits, not \"" + request.release + "\".";
    return false;
  } else {
    release.m_nRelease = strtoull(request.release.c_str(), nullptr, 10);
  }
  if (release.m_nRelease > static_cast<uint64_t>(now + kMostReleaseAhead) && !request.force) {
    message = "The release " + std::to_string(release.m_nRelease) +
              " is more than a year ahead of now (in seconds); a program that sees it refuses every lower number for "
              "good. Give --force if you mean it.";
    return false;
  }
  if (!request.expires.empty()) {
    int64_t expires = 0;
    if (request.expires.size() <= 5 && request.expires.find_first_not_of("0123456789") == std::string::npos) {
      expires = now + std::stoll(request.expires) * kSecondsPerDay;
    } else if (!ParseUtcDate(request.expires, expires)) {
      message = "--expires takes a number of days or a date YYYY-MM-DD, not \"" + request.expires + "\".";
      return false;
    }
    if (expires <= now && warning != nullptr)
      *warning = "The release expires " + UtcDate(expires) +
                 ", which has passed: the program will refuse it (useful only to test that it does).";
    release.m_nExpires = static_cast<uint64_t>(std::max<int64_t>(expires, 1));
  } else if (warning != nullptr) {
    *warning = "The release never expires (no --expires): anyone who keeps a copy can replay it to a user for ever, "
               "keeping them on this release when later ones exist. Give --expires 90 and sign again before then.";
  }
  release.m_nPartSize = index.m_nPartSize;
  release.m_nInstallerSize = size;
  return true;
}

}  // namespace

int MakePackage(const PackageRequest& request, std::string& message, std::string& report, std::string* warning) {
  if (request.version.empty() || !IsPlainFileName(request.version)) {
    message = "The version \"" + request.version + "\" cannot be a folder name; use letters, digits and dots.";
    return 1;
  }
  char* end = nullptr;
  const long long partSize = strtoll(request.partSize.c_str(), &end, 10);
  if (request.partSize.empty() || *end != '\0' || partSize <= 0) {
    message = "The part size must be a whole number of bytes above 0, not \"" + request.partSize + "\".";
    return 1;
  }
  if (partSize / kProgressUnitBytes > kMaxProgressUnits) {
    message = "The part size is too large: the program's part bar counts at most 65535 KiB.";
    return 1;
  }
  const int64_t size = FindFileSize(request.installer);
  FilePtr input(OpenFileStream(request.installer, "rb"));
  if (size < 0 || !input) {
    message = "Cannot read the installer " + request.installer + ".";
    return 1;
  }
  if (size >= kMaxInstallerBytes) {
    message = "The installer is 2 GiB or larger; the program handles smaller installers only.";
    return 1;
  }
  if (size == 0) {
    message = "The installer " + request.installer + " is empty.";
    return 1;
  }
  const int64_t count = (size + partSize - 1) / partSize;
  if (count + 1 > kMaxProgressUnits) {
    message = "The installer would make " + std::to_string(count) +
              " parts; the program's overall bar counts at most 65534. Choose a larger part size.";
    return 1;
  }

  CPackageIndex index;
  index.m_strProductVersion = request.version;
  index.m_nPartSize = static_cast<int>(partSize);
  for (int i = 0; i < count; ++i) index.m_parts.push_back({PartName(i + 1, static_cast<int>(count)), 0});

  // The key and the release's lines are checked before anything is written, so that a bad key
  // writes nothing.
  const bool signing = !request.signingKey.empty();
  CReleaseManifest release;
  if (signing && !StartRelease(request, index, size, release, message, warning)) return 1;
  const std::string releasePath = JoinPath(request.outFolder, kReleaseFileName);

  const std::string indexPath = JoinPath(request.outFolder, kIndexFileName);
  const bool folderExists = FileExists(request.outFolder);
  if (LiesInside(CanonicalPath(request.installer), CanonicalPath(request.outFolder))) {
    message = "The installer lies inside " + request.outFolder + "; cut it into a folder of its own.";
    return 1;
  }
  if (folderExists && FileExists(indexPath)) {
    // Publishing the same package twice is harmless; overwriting another one is not.
    CPackageIndex existing;
    int reason = 0;
    bool same = existing.Read(indexPath, reason) && existing.m_strProductVersion == index.m_strProductVersion &&
                existing.m_nPartSize == index.m_nPartSize && existing.PartCount() == index.PartCount();
    for (int i = 0; same && i < index.PartCount(); ++i)
      same = existing.m_parts[i].m_strName == index.m_parts[i].m_strName &&
             SameContent(JoinPath(request.outFolder, index.m_parts[i].m_strName),
                         ReadSlice(input.get(), i * partSize, static_cast<int>(partSize)));
    if (!same) {
      message = request.outFolder + " already holds a different package; choose an empty folder.";
      return 1;
    }
    report = request.outFolder + " already holds this package; nothing was written." +
             (signing ? " To sign it anew, cut it into a new folder." : "");
    return 0;
  }
  // Only a new or empty folder: nothing in it can be a link or a file of someone else's.
  if (folderExists && !IsEmptyFolder(request.outFolder)) {
    message = request.outFolder + " is not empty; choose a new or empty folder.";
    return 1;
  }
  if (!folderExists && !CreateFolder(request.outFolder)) {
    message = "Cannot create the folder " + request.outFolder + ".";
    return 1;
  }
  // A failure takes back everything written, so nothing half-published is left.
  std::vector<std::string> written;
  auto fail = [&](const std::string& why) {
    for (const std::string& path : written) RemoveFile(path);
    if (!folderExists) RemoveFolder(request.outFolder);
    message = why;
    return 1;
  };
  auto write = [&](const std::string& path, const std::string& data) {
    if (!WriteNewFile(path, data)) return false;
    written.push_back(path);
    return true;
  };
  // Each part is read once: the bytes hashed for the signature are the bytes written, so a file
  // that changes meanwhile cannot publish parts that differ from what was signed.
  CSha256 whole;
  for (int i = 0; i < count; ++i) {
    const std::string path = JoinPath(request.outFolder, index.m_parts[i].m_strName);
    std::string data;
    if (!ReadPart(input.get(), i, partSize, size, data)) return fail(kInstallerChanged);
    if (signing) {
      whole.Update(data.data(), data.size());
      release.m_parts.push_back({index.m_parts[i].m_strName, static_cast<long long>(data.size()), Sha256Of(data)});
    }
    if (!write(path, data)) return fail("Cannot write " + path + ".");
  }
  if (fgetc(input.get()) != EOF) return fail(kInstallerChanged);  // it grew meanwhile
  if (signing) {
    release.m_installerHash = whole.Final();
    std::string why;
    if (!SignDigest(request.signingKey, Sha256Of(release.SignedText()), release.m_signature, why)) return fail(why);
    if (!write(releasePath, release.FileText())) return fail("Cannot write " + releasePath + ".");
  }
  // The index goes last: a folder is complete once its index stands.
  if (!write(indexPath, index.Text())) return fail("Cannot write " + indexPath + ".");
  report = "Wrote " + std::to_string(count) + " parts of " + std::to_string(partSize) + " bytes and " + indexPath +
           " for version " + request.version + "." +
           (signing ? " Signed release " + std::to_string(release.m_nRelease) + " in " + releasePath + "." : "");
  return 0;
}
