#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "common/file_system.h"
#include "common/path.h"

namespace fs = std::filesystem;

namespace {
std::atomic<int> g_counter{0};

std::string NativeForm(const std::string& path) {
#ifdef _WIN32
  return path;
#else
  std::string posix = path;
  for (char& c : posix)
    if (c == '\\') c = '/';
  return posix;
#endif
}
}  // namespace

CTempDir::CTempDir() {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path path = fs::temp_directory_path() /
                  ("brisko-test-" + std::to_string(stamp) + "-" + std::to_string(g_counter++));
  fs::create_directories(path);
  m_path = path.string();
  while (m_path.size() > 1 && (m_path.back() == '/' || m_path.back() == '\\')) m_path.pop_back();
}

CTempDir::~CTempDir() {
  std::error_code ignored;
  fs::permissions(NativeForm(m_path), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(NativeForm(m_path), ignored);
}

std::string CTempDir::operator/(const std::string& name) const { return JoinPath(m_path, name); }

void WriteFile(const std::string& path, const std::string& content) {
  FILE* file = OpenFileStream(path, "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  fwrite(content.data(), 1, content.size(), file);
  fclose(file);
}

std::string ReadFile(const std::string& path) {
  FILE* file = OpenFileStream(path, "rb");
  if (file == nullptr) return "<missing>";
  std::string content;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, got);
  fclose(file);
  return content;
}

std::string IndexText(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string ReadText(const std::string& path) {
  std::string text = ReadFile(path);
  std::string plain;
  for (char c : text)
    if (c != '\r') plain += c;
  return plain;
}
