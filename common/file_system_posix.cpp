#include "common/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string ToPosix(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(ToPosix(path).c_str(), &info) == 0;
}

FILE* OpenFileStream(const std::string& path, const char* mode) { return fopen(ToPosix(path).c_str(), mode); }

bool FlushToDisk(FILE* file) { return fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool CreateFolder(const std::string& path) { return mkdir(ToPosix(path).c_str(), 0777) == 0; }

bool RemoveFile(const std::string& path) { return unlink(ToPosix(path).c_str()) == 0; }

bool MoveFileOver(const std::string& from, const std::string& to) {
  return rename(ToPosix(from).c_str(), ToPosix(to).c_str()) == 0;
}

int64_t FindFileSize(const std::string& path) {
  struct stat info;
  if (path.empty() || stat(ToPosix(path).c_str(), &info) != 0) return -1;
  return S_ISDIR(info.st_mode) ? 0 : static_cast<int64_t>(info.st_size);
}

int64_t FindFileWriteTime(const std::string& path) {
  struct stat info;
  if (path.empty() || stat(ToPosix(path).c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::string GetModulePath() {
  char buffer[260] = "";
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) buffer[length] = '\0';
  return buffer;
}

std::string FormatLastSystemError() { return std::string(strerror(errno)) + "\n"; }
