#include "common/file_system.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>

#include "common/path.h"

namespace {

// The longest path Windows knows, in characters.
constexpr size_t kLongestPath = 32768;

}  // namespace

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

bool FlushFolder(const std::string& folder) {
  // A folder opens as a handle only with backup semantics. FlushFileBuffers is documented to need
  // GENERIC_WRITE on the handle, and that is the least access asked for here: what the system
  // looks for is the right to write or append data, which on a folder means adding a file or a
  // subfolder, both part of GENERIC_WRITE. Under Wine 8 either of those alone lets the flush
  // through (it becomes an fsync of the folder) and read access is refused with
  // ERROR_ACCESS_DENIED; no NTFS volume was at hand to try less than the documented GENERIC_WRITE.
  // Every sharing mode, so that no other program's use of the folder is held up meanwhile.
  HANDLE handle = CreateFileA(folder.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(handle) != 0;
  CloseHandle(handle);
  return flushed;
}

bool CreateFolder(const std::string& path) {
  if (!CreateDirectoryA(path.c_str(), nullptr)) return false;
  FlushFolder(ParentFolder(path));  // the folder stands either way
  return true;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool MoveFileOver(const std::string& from, const std::string& to) {
  // Write-through makes a move that had to copy reach the disk before the call returns; a rename
  // within one volume is a change of the folder alone, which only the folder's flush makes last.
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
  FlushFolder(ParentFolder(to));  // the move is made either way
  return true;
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
  // A listing that fails part-way is no listing (not the end of the folder).
  const bool whole = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return whole ? names : std::vector<std::string>();
}

bool RemoveFolder(const std::string& path) { return RemoveDirectoryA(path.c_str()) != 0; }

std::string CanonicalPath(const std::string& path) {
  // Asked twice: once for the length, once for the path (which may pass MAX_PATH).
  std::string full(GetFullPathNameA(path.c_str(), 0, nullptr, nullptr), '\0');
  if (full.empty()) return "";
  const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  if (length == 0 || length >= full.size()) return "";
  full.resize(length);
  if (GetFileAttributesA(full.c_str()) == INVALID_FILE_ATTRIBUTES) return "";
  CharLowerA(&full[0]);  // Windows' names ignore case
  return full;
}

std::string NativePath(const std::string& path) { return path; }

std::string GetModulePath() {
  // The wide call, into a buffer that grows until the whole path fits: with long paths enabled
  // it may pass MAX_PATH characters, and its narrow form takes up to three bytes a character
  // (a folder named in Chinese passes 260 bytes at 87 characters).
  std::wstring wide(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &wide[0], static_cast<DWORD>(wide.size()));
    if (length == 0) return "";
    if (length < wide.size()) {
      wide.resize(length);
      break;
    }
    if (wide.size() >= kLongestPath) return "";
    wide.resize(wide.size() * 2);  // cut short: it did not fit
  }
  // Narrowed to the code page the program's narrow calls take: UTF-8 where the manifest is
  // honoured (Windows 10 version 1903 and later), the system's ANSI code page before. A
  // character that code page lacks becomes "?", never a look-alike that names another folder.
  const UINT codePage = GetACP();
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int size = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return "";
  std::string path(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), &path[0], size, nullptr, nullptr);
  return path;
}

std::string FormatLastSystemError() {
  char buffer[1024] = "";
  // A system message may hold inserts (%1) that the program has no arguments for.
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0x400, buffer, sizeof buffer, nullptr);
  return buffer;
}
