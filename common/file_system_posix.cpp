#include "common/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <cerrno>
#include <cstring>

#include "common/path.h"

namespace {

std::string ToPosix(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

}  // namespace

bool FlushFolder(const std::string& folder) {
  const int fd = open(ToPosix(folder).c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(ToPosix(path).c_str(), &info) == 0;
}

bool IsLink(const std::string& path) {
  struct stat info;
  return !path.empty() && lstat(ToPosix(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

FILE* OpenFileStream(const std::string& path, const char* mode) {
  if (mode[0] != 'r' && IsLink(path) && unlink(ToPosix(path).c_str()) != 0) return nullptr;
  return fopen(ToPosix(path).c_str(), mode);
}

bool FlushToDisk(FILE* file) { return fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool CreateFolder(const std::string& path) {
  if (mkdir(ToPosix(path).c_str(), 0777) != 0) return false;
  FlushFolder(ParentFolder(path));  // the folder stands either way
  return true;
}

bool RemoveFile(const std::string& path) { return unlink(ToPosix(path).c_str()) == 0; }

bool MoveFileOver(const std::string& from, const std::string& to) {
  if (rename(ToPosix(from).c_str(), ToPosix(to).c_str()) != 0) return false;
  FlushFolder(ParentFolder(to));  // the move is made either way
  return true;
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

FILE* CreateNewFile(const std::string& path) {
  const int fd = open(ToPosix(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

namespace {
// The next entry of the folder; nullptr at its end and, with `failed` set, when it cannot be read
// (a listing that fails part-way is not the end of the folder).
dirent* NextEntry(DIR* folder, bool& failed) {
  errno = 0;
  dirent* entry = readdir(folder);
  if (entry == nullptr && errno != 0) failed = true;
  return entry;
}
}  // namespace

bool IsEmptyFolder(const std::string& path) {
  DIR* folder = opendir(ToPosix(path).c_str());
  if (folder == nullptr) return false;
  bool empty = true, failed = false;
  for (dirent* entry; empty && (entry = NextEntry(folder, failed)) != nullptr;)
    empty = strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0;
  closedir(folder);
  return empty && !failed;
}

std::vector<std::string> ListFolders(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = opendir(ToPosix(path).c_str());
  if (folder == nullptr) return names;
  bool failed = false;
  for (dirent* entry; (entry = NextEntry(folder, failed)) != nullptr;) {
    const std::string name = entry->d_name;
    struct stat info;
    if (name == "." || name == ".." || lstat((ToPosix(path) + "/" + name).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) names.push_back(name);
  }
  closedir(folder);
  return failed ? std::vector<std::string>() : names;  // part of a listing is no listing
}

bool RemoveFolder(const std::string& path) { return rmdir(ToPosix(path).c_str()) == 0; }

std::string CanonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(ToPosix(path).c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string NativePath(const std::string& path) { return ToPosix(path); }

std::string GetModulePath() {
  // A path that fills the buffer may have been cut short: a larger buffer, until it fits.
  for (std::string buffer(256, '\0');; buffer.resize(buffer.size() * 2)) {
    const ssize_t length = readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (length <= 0 || buffer.size() > (1u << 20)) return "";
    if (static_cast<size_t>(length) < buffer.size()) return buffer.substr(0, static_cast<size_t>(length));
  }
}

std::string FormatLastSystemError() { return std::string(strerror(errno)) + "\n"; }
