#include "common/file_system.h"

#include <io.h>
#include <windows.h>

bool FileExists(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

FILE* OpenFileStream(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }

bool FlushToDisk(FILE* file) { return fflush(file) == 0 && _commit(_fileno(file)) == 0; }

bool CreateFolder(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool MoveFileOver(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

int64_t FindFileSize(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return -1;
  FindClose(find);
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int64_t FindFileWriteTime(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return -1;
  FindClose(find);
  return static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                              data.ftLastWriteTime.dwLowDateTime);
}

std::string GetModulePath() {
  char buffer[MAX_PATH] = "";  // 260 characters
  GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return buffer;
}

std::string FormatLastSystemError() {
  char buffer[1024] = "";
  // A system message may hold inserts (%1) that the program has no arguments for.
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0x400, buffer, sizeof buffer, nullptr);
  return buffer;
}
