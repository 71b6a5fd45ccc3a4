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

// Pushes the folder's own entries (names created, moved or removed in it) down to the disk. A
// flushed file whose name was never flushed may be gone after a power cut, and a move may be
// undone; only this makes them last. False where the folder cannot be opened for it or the file
// system does not flush folders; callers go on either way, as a folder change that is not yet on
// the disk is still made.
bool FlushFolder(const std::string& folder);

// Creates one folder with default security and flushes the folder that holds it, so that a power
// cut cannot take the new folder with everything later flushed inside it; false (with the
// system's last error set) when the folder could not be created.
bool CreateFolder(const std::string& path);

// Deletes a file; false on failure.
bool RemoveFile(const std::string& path);

// Moves `from` over `to` in one step, replacing `to`, writes the move through to the disk and
// flushes the folder that holds `to`. True once the move is made, whether or not that folder
// could be flushed.
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
