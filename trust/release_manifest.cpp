#include "trust/release_manifest.h"

#include <cctype>
#include <cstdio>
#include <set>

#include "common/constants.h"
#include "common/file_system.h"
#include "index/package_index.h"

namespace {

constexpr size_t kMaxLineBytes = 2048;
constexpr int kMaxParts = 65534;

// Splits on line feeds, dropping a carriage return before each; a last line without its line
// feed counts, an empty text after the last line feed does not.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// Plain decimal digits only: no sign, no blanks, at most 18 digits.
bool ParseNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool ParseDigest(const std::string& hex, Sha256Digest& digest) {
  std::string bytes;
  if (hex.size() != 64 || !FromHex(hex, bytes)) return false;
  std::copy(bytes.begin(), bytes.end(), digest.begin());
  return true;
}

// The program's own file names, and in a signed build also the release file and the record of
// the installer's last check.
bool IsReservedName(const std::string& name) {
  const std::string lower = LowercaseName(name);
  return IsProgramFileName(name) || lower == kReleaseFileName || lower == std::string(kReleaseFileName) + kTempSuffix ||
         lower == std::string(kInstallerFileName) + kVerifiedSuffix;
}

// One "key value..." line with exactly `count` values after the key.
bool Field(const std::string& line, const char* key, size_t count, std::vector<std::string>& values) {
  std::vector<std::string> words = Words(line);
  if (words.size() != count + 1 || words[0] != key) return false;
  values.assign(words.begin() + 1, words.end());
  return true;
}

}  // namespace

std::string CReleaseManifest::SignedText() const {
  std::string text = "brisko-release 1\nversion " + m_strVersion + "\nrelease " + std::to_string(m_nRelease) +
                     "\npart-size " + std::to_string(m_nPartSize) + "\nparts " + std::to_string(m_parts.size()) + "\n";
  for (const CReleasePart& part : m_parts)
    text += "part " + part.m_strName + " " + std::to_string(part.m_nSize) + " " + ToHex(part.m_hash) + "\n";
  text += "installer " + std::to_string(m_nInstallerSize) + " " + ToHex(m_installerHash) + "\n";
  return text;
}

std::string CReleaseManifest::FileText() const { return SignedText() + "signature " + ToHex(m_signature) + "\n"; }

std::string ParseReleaseManifest(const std::string& text, CReleaseManifest& manifest) {
  if (text.size() > kMaxReleaseFileBytes) return "the release file is too long";
  const std::vector<std::string> lines = SplitLines(text);
  for (const std::string& line : lines)
    if (line.size() > kMaxLineBytes) return "a line of the release file is too long";
  std::vector<std::string> values;
  size_t at = 0;
  auto next = [&](const char* key, size_t count) {
    return at < lines.size() && Field(lines[at++], key, count, values);
  };
  if (!next("brisko-release", 1)) return "it is not a release file";
  if (values[0] != "1") return "its format " + values[0] + " is not known";
  CReleaseManifest read;
  if (!next("version", 1) || !IsPlainFileName(values[0])) return "the version line is wrong";
  read.m_strVersion = values[0];
  uint64_t number = 0;
  if (!next("release", 1) || !ParseNumber(values[0], number)) return "the release line is wrong";
  read.m_nRelease = number;
  if (!next("part-size", 1) || !ParseNumber(values[0], number) || number == 0 || number > INT32_MAX)
    return "the part-size line is wrong";
  read.m_nPartSize = static_cast<int>(number);
  if (!next("parts", 1) || !ParseNumber(values[0], number) || number == 0 || number > kMaxParts)
    return "the parts line is wrong";
  const size_t count = static_cast<size_t>(number);
  std::set<std::string> names;
  long long total = 0;
  for (size_t i = 0; i < count; ++i) {
    CReleasePart part;
    if (!next("part", 3)) return "part line " + std::to_string(i + 1) + " is missing or wrong";
    part.m_strName = values[0];
    if (!IsPlainFileName(part.m_strName) || IsReservedName(part.m_strName) ||
        !names.insert(LowercaseName(part.m_strName)).second)
      return "the part name " + part.m_strName + " cannot be used";
    if (!ParseNumber(values[1], number) || !ParseDigest(values[2], part.m_hash))
      return "part line " + std::to_string(i + 1) + " is wrong";
    part.m_nSize = static_cast<long long>(number);
    // Every part but the last is exactly the part size; the last is not longer.
    if ((i + 1 < count && part.m_nSize != read.m_nPartSize) || part.m_nSize > read.m_nPartSize)
      return "the size of part " + part.m_strName + " is wrong";
    total += part.m_nSize;
    read.m_parts.push_back(std::move(part));
  }
  if (!next("installer", 2) || !ParseNumber(values[0], number) || !ParseDigest(values[1], read.m_installerHash))
    return "the installer line is missing or wrong";
  read.m_nInstallerSize = static_cast<long long>(number);
  if (read.m_nInstallerSize != total) return "the installer's size is not the sum of the parts";
  std::string signature;
  if (!next("signature", 1) || values[0].size() != 128 || !FromHex(values[0], signature))
    return "the signature line is missing or wrong";
  read.m_signature = signature;
  if (at != lines.size()) return "there are lines after the signature";
  manifest = std::move(read);
  return "";
}

bool IsSignedBy(const CReleaseManifest& manifest, const std::string& publicKey) {
  return VerifyP256Signature(publicKey, Sha256Of(manifest.SignedText()), manifest.m_signature);
}

ReleaseCheck ReadSignedRelease(const std::string& path, const std::string& publicKey, CReleaseManifest& release,
                               std::string& problem) {
  std::string text;
  if (!ReadWholeFile(path, kMaxReleaseFileBytes, text)) return ReleaseCheck::kUnreadable;
  problem = ParseReleaseManifest(text, release);
  if (!problem.empty()) return ReleaseCheck::kMalformed;
  return IsSignedBy(release, publicKey) ? ReleaseCheck::kGood : ReleaseCheck::kNotSigned;
}

std::string CompareWithIndex(const CReleaseManifest& manifest, const CPackageIndex& index) {
  if (index.m_strProductVersion != manifest.m_strVersion) return "the version differs";
  if (index.m_nPartSize != manifest.m_nPartSize) return "the part size differs";
  if (index.m_parts.size() != manifest.m_parts.size()) return "the number of parts differs";
  for (size_t i = 0; i < manifest.m_parts.size(); ++i)
    if (index.m_parts[i].m_strName != manifest.m_parts[i].m_strName)
      return "part " + std::to_string(i + 1) + " has another name";
  return "";
}

bool HashFile(const std::string& path, CSha256& hash, long long& size, CSha256* also) {
  FilePtr file(OpenFileStream(path, "rb"));
  if (!file) return false;
  std::vector<char> buffer(256 * 1024);
  size = 0;
  for (size_t got; (got = fread(buffer.data(), 1, buffer.size(), file.get())) > 0;) {
    hash.Update(buffer.data(), got);
    if (also != nullptr) also->Update(buffer.data(), got);
    size += static_cast<long long>(got);
  }
  return !ferror(file.get());
}

bool ReadWholeFile(const std::string& path, size_t limit, std::string& content) {
  FilePtr file(OpenFileStream(path, "rb"));
  if (!file) return false;
  std::string data;
  char buffer[64 * 1024];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
    data.append(buffer, got);
    if (data.size() > limit) return false;
  }
  if (ferror(file.get())) return false;
  content = std::move(data);
  return true;
}
