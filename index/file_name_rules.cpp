#include <cctype>
#include <string>

#include "common/constants.h"
#include "index/package_index.h"

namespace {

bool IsDeviceName(const std::string& name) {
  // Windows opens these devices whatever the extension ("nul.txt" is the null device), and
  // ignores blanks before the dot ("nul .txt").
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices)
    if (stem == device) return true;
  if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0) return false;
  const std::string number = stem.substr(3);
  // COM1 to COM9, and COM with a superscript one, two or three (in the Western code page or in
  // UTF-8), which Windows counts as devices too.
  if (number.size() == 1 && number[0] >= '1' && number[0] <= '9') return true;
  for (const char* superscript : {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
    if (number == superscript) return true;
  return false;
}

// A name of the form Windows gives as a short (8.3) alias, like CORVAN~1.EXE: on a disk that
// makes such aliases it may name another file in the folder, corvane.exe or pkgindex.txt.
bool IsShortAliasForm(const std::string& name) {
  const size_t dot = name.rfind('.');
  const std::string stem = name.substr(0, dot);
  const size_t tilde = stem.rfind('~');
  if (tilde == std::string::npos || tilde == 0 || tilde + 1 == stem.size() || stem.size() > 8) return false;
  if (dot != std::string::npos && name.size() - dot - 1 > 3) return false;
  for (size_t i = tilde + 1; i < stem.size(); ++i)
    if (!isdigit(static_cast<unsigned char>(stem[i]))) return false;
  return true;
}

}  // namespace

std::string LowercaseName(std::string name) {
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return name;
}

bool IsProgramFileName(const std::string& name) {
  const std::string lower = LowercaseName(name);
  for (const char* reserved : {kIndexFileName, kInstallerFileName})
    if (lower == reserved || lower == std::string(reserved) + kTempSuffix) return true;
  return false;
}

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos) return false;
  }
  // Windows drops trailing dots, so "corvane.exe." would name corvane.exe itself.
  if (name.back() == '.') return false;
  return !IsDeviceName(name) && !IsShortAliasForm(name);
}
