#include <cctype>
#include <string>

#include "index/package_index.h"

namespace {

bool IsDeviceName(const std::string& name) {
  // Windows opens these devices whatever the extension ("nul.txt" is the null device).
  std::string stem = name.substr(0, name.find('.'));
  for (char& c : stem) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices)
    if (stem == device) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos) return false;
  }
  // Windows drops trailing dots, so "corvane.exe." would name corvane.exe itself.
  if (name.back() == '.') return false;
  return !IsDeviceName(name);
}
