#include "trust/release_manifest.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <new>
#include <set>

#include "common/constants.h"
#include "common/file_system.h"
#include "index/package_index.h"

namespace {

constexpr size_t kMaxLineBytes = 2048;
// The lines around the part lines: the longest file has this many more.
constexpr size_t kOtherLines = 12;

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
  std::string text = "brisko-release 1\nversion " + m_strVersion + "\nrelease " + std::to_string(m_nRelease) + "\n";
  if (!m_strProduct.empty()) text += "product " + m_strProduct + "\n";
  if (m_nExpires != 0) text += "expires " + std::to_string(m_nExpires) + "\n";
  if (m_nSigned != 0) text += "signed " + std::to_string(m_nSigned) + "\n";
  if (!m_strKeyId.empty()) text += "key " + m_strKeyId + "\n";
  text += "part-size " + std::to_string(m_nPartSize) + "\nparts " + std::to_string(m_parts.size()) + "\n";
  for (const CReleasePart& part : m_parts)
    text += "part " + part.m_strName + " " + std::to_string(part.m_nSize) + " " + ToHex(part.m_hash) + "\n";
  text += "installer " + std::to_string(m_nInstallerSize) + " " + ToHex(m_installerHash) + "\n";
  return text;
}

std::string CReleaseManifest::FileText() const { return SignedText() + "signature " + ToHex(m_signature) + "\n"; }

std::string ParseReleaseManifest(const std::string& text, CReleaseManifest& manifest) {
  if (text.size() > kMaxReleaseFileBytes) return "the release file is too long";
  // Counted before it is split: each line costs a string, and a file of line feeds alone would
  // otherwise cost far more memory than its size.
  if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) > kMaxPartCount + kOtherLines)
    return "the release file has too many lines";
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
  auto optional = [&](const char* key) { return at < lines.size() && lines[at].compare(0, strlen(key) + 1, std::string(key) + " ") == 0; };
  if (optional("product")) {
    if (!next("product", 1) || values[0].empty() || values[0].size() > 64) return "the product line is wrong";
    read.m_strProduct = values[0];
  }
  if (optional("expires")) {
    if (!next("expires", 1) || !ParseNumber(values[0], number) || number == 0) return "the expires line is wrong";
    read.m_nExpires = number;
  }
  if (optional("signed")) {
    if (!next("signed", 1) || !ParseNumber(values[0], number) || number == 0) return "the signed line is wrong";
    read.m_nSigned = number;
  }
  if (optional("key")) {
    std::string id;
    if (!next("key", 1) || values[0].size() != 16 || !FromHex(values[0], id) || values[0] != ToHex(id))
      return "the key line is wrong";
    read.m_strKeyId = values[0];
  }
  if (!next("part-size", 1) || !ParseNumber(values[0], number) || number == 0 || number > INT32_MAX)
    return "the part-size line is wrong";
  read.m_nPartSize = static_cast<int>(number);
  if (!next("parts", 1) || !ParseNumber(values[0], number) || number == 0 || number > kMaxPartCount)
    return "the parts line is wrong";
  const size_t count = static_cast<size_t>(number);
  std::set<std::string> names;
  long long total = 0;
  for (size_t i = 0; i < count; ++i) {
    CReleasePart part;
    if (!next("part", 3)) return "part line " + std::to_string(i + 1) + " is missing or wrong";
    part.m_strName = values[0];
    if (lines[at - 1].size() > kMaxReleasePartLineBytes - 2 || !IsPlainFileName(part.m_strName) || IsReservedName(part.m_strName) ||
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

std::string KeyId(const std::string& publicKey) {
  const Sha256Digest digest = Sha256Of(publicKey);
  return ToHex(digest.data(), 8);
}

ReleaseCheck CheckSignedRelease(const std::string& text, const std::vector<std::string>& publicKeys,
                                CReleaseManifest& release, std::string& problem, size_t* signer) {
  try {
    problem = ParseReleaseManifest(text, release);
    if (!problem.empty()) return ReleaseCheck::kMalformed;
  } catch (const std::bad_alloc&) {
    problem = "it is too large for the memory";
    return ReleaseCheck::kMalformed;
  }
  bool known = release.m_strKeyId.empty();
  for (size_t i = 0; i < publicKeys.size(); ++i) {
    if (!release.m_strKeyId.empty() && KeyId(publicKeys[i]) != release.m_strKeyId) continue;
    known = true;
    if (IsSignedBy(release, publicKeys[i])) {
      if (signer != nullptr) *signer = i;
      return ReleaseCheck::kGood;
    }
  }
  return known ? ReleaseCheck::kNotSigned : ReleaseCheck::kUnknownKey;
}

ReleaseCheck ReadSignedRelease(const std::string& path, const std::vector<std::string>& publicKeys,
                               CReleaseManifest& release, std::string& problem, size_t* signer) {
  std::string text;
  try {
    if (!ReadWholeFile(path, kMaxReleaseFileBytes, text)) return ReleaseCheck::kUnreadable;
  } catch (const std::bad_alloc&) {
    problem = "it is too large for the memory";
    return ReleaseCheck::kMalformed;
  }
  return CheckSignedRelease(text, publicKeys, release, problem, signer);
}

namespace {

// Days since 1970-01-01 of a date in the Gregorian calendar, and back.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

}  // namespace

std::string UtcDate(int64_t seconds) {
  int64_t days = seconds / 86400;
  if (seconds % 86400 < 0) --days;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char text[32];
  snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(year), month, day);
  return text;
}

bool ParseUtcDate(const std::string& text, int64_t& seconds) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  const int64_t year = std::stoi(text.substr(0, 4));
  const unsigned month = static_cast<unsigned>(std::stoi(text.substr(5, 2)));
  const unsigned day = static_cast<unsigned>(std::stoi(text.substr(8, 2)));
  if (year < 1970 || month < 1 || month > 12 || day < 1) return false;
  const int64_t days = DaysFromCivil(year, month, day);
  int64_t checkYear = 0;
  unsigned checkMonth = 0, checkDay = 0;
  CivilFromDays(days, checkYear, checkMonth, checkDay);
  if (checkYear != year || checkMonth != month || checkDay != day) return false;  // 2027-02-30
  seconds = days * 86400;
  return true;
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

bool HashFile(const std::string& path, CSha256& hash, long long& size, CSha256* also,
              const std::function<bool(long long)>& going) {
  FilePtr file(OpenFileStream(path, "rb"));
  if (!file) return false;
  std::vector<char> buffer(256 * 1024);
  size = 0;
  for (size_t got; (got = fread(buffer.data(), 1, buffer.size(), file.get())) > 0;) {
    hash.Update(buffer.data(), got);
    if (also != nullptr) also->Update(buffer.data(), got);
    size += static_cast<long long>(got);
    if (going && !going(size)) return false;
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
