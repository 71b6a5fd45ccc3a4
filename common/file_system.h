// The few file-system calls the program needs, over Windows paths ("C:\a\b"). The Windows
// version calls the system directly; the POSIX one serves the native tests and maps backslashes
// to slashes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// An open stream that closes itself.
struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// True when a find-first query on the path finds an entry, file or folder alike.
bool FileExists(const std::string& path);

// fopen with the program's path form; nullptr when it cannot be opened. A file opened for
// writing is never written through a link: a symbolic link, junction or other reparse point
// standing at the path is removed first (the link, never what it points to).
FILE* OpenFileStream(const std::string& path, const char* mode);

// True when the path is a symbolic link, junction or other reparse point.
bool IsLink(const std::string& path);

// Pushes what was written to the stream down to the disk; false on failure.
bool FlushToDisk(FILE* file);

// Creates one folder with default security; false (with the system's last error set) on failure.
bool CreateFolder(const std::string& path);

// Deletes a file; false on failure.
bool RemoveFile(const std::string& path);

// Moves `from` over `to` in one step, replacing `to` and writing the move through to the disk.
bool MoveFileOver(const std::string& from, const std::string& to);

// Replaces the file's content so that a crash or a full disk never leaves it half written: the
// content goes to path + ".tmp", is flushed to the disk, then moved over the file. False (with
// the old file untouched and no temporary file left) on any failure.
bool ReplaceFileContent(const std::string& path, const std::string& content, bool binary);

// Size from a find-first query, -1 when nothing is found.
int64_t FindFileSize(const std::string& path);

// When the file was last written, in the system's own units; -1 when nothing is found.
int64_t FindFileWriteTime(const std::string& path);

// For the vendor's tool, which publishes into folders it must not be tricked into writing
// outside of: a new file, created only when nothing (not even a link) stands at the path,
// opened for binary writing; nullptr otherwise.
FILE* CreateNewFile(const std::string& path);
// True for an existing folder with nothing in it.
bool IsEmptyFolder(const std::string& path);
// The names of the folders directly inside `path` ("." and ".." left out, links too); empty when
// it cannot be listed.
std::vector<std::string> ListFolders(const std::string& path);
// Removes an empty folder; false on failure.
bool RemoveFolder(const std::string& path);
// The path with links, "." and ".." resolved; "" when it does not exist.
std::string CanonicalPath(const std::string& path);

// The path as the system writes it, for printing: the program's backslashes become slashes on
// POSIX systems.
std::string NativePath(const std::string& path);

// Full path of the running program.
std::string GetModulePath();

// The system's text for the calling thread's last error, with its own line end.
std::string FormatLastSystemError();
