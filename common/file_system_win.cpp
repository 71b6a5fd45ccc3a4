#include "common/file_system.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>

bool FileExists(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

bool IsLink(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

FILE* OpenFileStream(const std::string& path, const char* mode) {
  if (mode[0] != 'r' && IsLink(path)) {
    // A junction is removed as a folder, a file link as a file; what they point to stays.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? !RemoveDirectoryA(path.c_str()) : !DeleteFileA(path.c_str()))
      return nullptr;
  }
  return fopen(path.c_str(), mode);
}

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

FILE* CreateNewFile(const std::string& path) {
  // CREATE_NEW fails on anything standing at the path, a link included.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
}

bool IsEmptyFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    empty = strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0;
  } while (empty && FindNextFileA(find, &data));
  FindClose(find);
  return empty;
}

std::vector<std::string> ListFolders(const std::string& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = data.cFileName;
    if (name != "." && name != ".." && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

bool RemoveFolder(const std::string& path) { return RemoveDirectoryA(path.c_str()) != 0; }

std::string CanonicalPath(const std::string& path) {
  char full[MAX_PATH] = "";
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH || GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) return "";
  CharLowerA(full);  // Windows' names ignore case
  return full;
}

std::string NativePath(const std::string& path) { return path; }

std::string GetModulePath() {
  char buffer[MAX_PATH] = "";  // 260 characters
  // A path cut short fills the buffer, and older Windows then leave it unterminated: no path.
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "";
  return std::string(buffer, length);
}

std::string FormatLastSystemError() {
  char buffer[1024] = "";
  // A system message may hold inserts (%1) that the program has no arguments for.
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0x400, buffer, sizeof buffer, nullptr);
  return buffer;
}
