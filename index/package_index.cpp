#include "index/package_index.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "common/constants.h"
#include "common/file_system.h"

int ReadLineText(FILE* file, std::string& out) {
  char buffer[kIndexLineBytes];
  if (fgets(buffer, sizeof buffer, file) == nullptr) return 0;
  size_t length = strlen(buffer);
  while (length > 0 && isspace(static_cast<unsigned char>(buffer[length - 1]))) --length;
  out.assign(buffer, length);
  return 1;
}

int ReadLineInt(FILE* file, int& out) {
  std::string line;
  if (!ReadLineText(file, line)) return 0;
  return sscanf(line.c_str(), "%d", &out) == 1 ? 1 : 0;
}

int ReadLineFlag(FILE* file, int& out) {
  int value = 0;
  if (!ReadLineInt(file, value)) return 0;
  out = value != 0 ? 1 : 0;
  return 1;
}

int CPackageIndex::Read(const std::string& path, int& reason) {
  FilePtr file(OpenFileStream(path, "r"));
  if (!file) {
    reason = kReasonCannotOpen;
    return 0;
  }
  reason = kReasonMalformed;
  int format = 0;
  if (!ReadLineInt(file.get(), format)) return 0;
  if (format > 1) {
    reason = kReasonNewerFormat;
    return 0;
  }
  if (!ReadLineText(file.get(), m_strProductVersion)) return 0;
  // An empty version is reported by the caller in its own words.
  // The version names a folder beside the program's own files, so it may not take their names
  // either: a folder called pkgindex.txt.tmp would block every later index fetch.
  if (!m_strProductVersion.empty() && (!IsPlainFileName(m_strProductVersion) || IsProgramFileName(m_strProductVersion)))
    return 0;
  int count = 0;
  if (!ReadLineInt(file.get(), count) || !ReadLineInt(file.get(), m_nPartSize)) return 0;
  // What the server sends may not lie about itself: no more parts than the dialog's bars count
  // (refused before a single part is read, not after millions), and a part size that bounds
  // every part, the last one included.
  if (count > kMaxPartCount || (count > 0 && m_nPartSize <= 0)) return 0;
  // Parts are appended as their lines arrive, never allocated by the count line, so an absurd
  // count fails at the first missing line; an index too large for the memory is malformed too.
  try {
    if (!ReadParts(file.get(), count)) return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  m_strPath = path;
  return 1;
}

bool CPackageIndex::ReadParts(FILE* file, int count) {
  // Names seen so far, lower-cased once each: a duplicate is found in constant time, so a
  // package of 65,534 parts reads as fast as its lines arrive.
  std::unordered_set<std::string> seen;
  for (const CPackagePart& earlier : m_parts)
    if (!earlier.m_strName.empty()) seen.insert(LowercaseName(earlier.m_strName));
  for (int i = 0; i < count; ++i) {
    CPackagePart part;
    if (!ReadLineText(file, part.m_strName) || !ReadLineFlag(file, part.m_bDone)) return false;
    if (!part.m_strName.empty()) {
      if (!IsPlainFileName(part.m_strName) || IsProgramFileName(part.m_strName)) return false;
      if (!seen.insert(LowercaseName(part.m_strName)).second) return false;
    }
    m_parts.push_back(std::move(part));
  }
  return true;
}

int CPackageIndex::Write() {
  // A crash or a full disk must never leave a half-written resume index: write beside it, then
  // move the complete file over the old one. The text is made whole first and written at once:
  // the worker rewrites the index after every part, and a line-by-line write of a long index
  // took more time than fetching a small part.
  return ReplaceFileContent(m_strPath, Text(), false) ? 1 : 0;
}

std::string CPackageIndex::Text() const {
  std::string text = "1\n" + m_strProductVersion + "\n" + std::to_string(PartCount()) + "\n" +
                     std::to_string(m_nPartSize) + "\n";
  for (const CPackagePart& part : m_parts) text += part.m_strName + (part.m_bDone ? "\n1\n" : "\n0\n");
  return text;
}

int CPackageIndex::SaveAs(const std::string& path) {
  m_strPath = path;
  return Write();
}

int CPackageIndex::FirstIncompletePart() const {
  for (int i = 0; i < PartCount(); ++i)
    if (!m_parts[i].m_bDone) return i;
  return PartCount();
}

void CPackageIndex::ForgetPart(int position) {
  m_parts[position].m_bDone = 0;
  // Through Write's replace, as every record: rewritten in place, a power cut here could leave an
  // empty index, and the next start would refuse the version folder with every part in it.
  Write();
}
