// A fresh folder per test, removed afterwards. Paths are given in the program's form (joined
// with backslashes), which the native file layer maps.
#pragma once

#include <string>

// The separator of the system's own paths, as the program finds its home in them.
#ifdef _WIN32
constexpr char kNativeSeparator = '\\';
#else
constexpr char kNativeSeparator = '/';
#endif

class CTempDir {
 public:
  CTempDir();
  ~CTempDir();
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const;
  // The same in the system's own form, for the vendor's tools, which take the paths people type.
  std::string Native(const std::string& name) const { return m_path + kNativeSeparator + name; }

 private:
  std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// The index lines joined with line feeds, a line feed after the last.
std::string IndexText(std::initializer_list<std::string> lines);
// A text file's content with carriage returns removed (Windows writes text files with CR LF).
std::string ReadText(const std::string& path);
