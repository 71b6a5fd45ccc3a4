#include "reliability/file_call_recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fopen64(const char* path, const char* mode);
int __real_open64(const char* path, int flags, ...);
int __real_fclose(FILE* file);
size_t __real_fwrite(const void* data, size_t size, size_t count, FILE* file);
int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_rename(const char* from, const char* to);
int __real_unlink(const char* path);
int __real_mkdir(const char* path, mode_t mode);
int __real_rmdir(const char* path);
}

namespace {

std::mutex g_lock;
bool g_recording = false;
std::string g_root;
std::vector<CFileCall> g_calls;
std::map<int, int> g_handles;  // open descriptor: handle in the record
int g_nextHandle = 0;

// The path relative to the recorded folder, or false when it lies elsewhere.
bool Relative(const char* path, std::string& relative) {
  std::string full = path;
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  if (!g_recording) return false;
  if (full == g_root) {
    relative.clear();  // the folder itself, flushed after a change of its entries
    return true;
  }
  if (full.compare(0, g_root.size() + 1, g_root + "/") != 0) return false;
  relative = full.substr(g_root.size() + 1);
  return true;
}

// The time of writing the system gives the open file now, in nanoseconds.
long long WriteTimeOf(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return 0;
  return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

void NoteOpen(int fd, const char* path, bool create, bool truncate) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::string relative;
  if (fd < 0 || !Relative(path, relative)) return;
  CFileCall call;
  call.kind = CFileCall::kOpen;
  call.handle = g_handles[fd] = g_nextHandle++;
  call.path = relative;
  call.create = create;
  call.truncate = truncate;
  call.time = WriteTimeOf(fd);
  g_calls.push_back(call);
}

bool Tracked(int fd) {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_recording && g_handles.count(fd) != 0;
}

void NoteClose(int fd) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_handles.erase(fd);
}

void NoteOnHandle(CFileCall::Kind kind, int fd, long long offset = 0, std::string data = {}) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = g_handles.find(fd);
  if (!g_recording || found == g_handles.end()) return;
  CFileCall call;
  call.kind = kind;
  call.handle = found->second;
  call.offset = offset;
  call.data = std::move(data);
  if (kind == CFileCall::kWrite) call.time = WriteTimeOf(fd);
  g_calls.push_back(call);
}

void NoteNames(CFileCall::Kind kind, const char* path, const char* to = nullptr) {
  std::lock_guard<std::mutex> hold(g_lock);
  CFileCall call;
  call.kind = kind;
  if (!Relative(path, call.path) || (to != nullptr && !Relative(to, call.to))) return;
  g_calls.push_back(call);
}

}  // namespace

void StartRecording(const std::string& root) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_root = root;
  g_calls.clear();
  g_handles.clear();
  g_nextHandle = 0;
  g_recording = true;
}

std::vector<CFileCall> StopRecording() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_recording = false;
  g_handles.clear();
  std::vector<CFileCall> calls;
  calls.swap(g_calls);
  return calls;
}

void MarkRecord(const std::string& note) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_recording) return;
  CFileCall call;
  call.path = note;
  g_calls.push_back(call);
}

std::string DescribeCall(const CFileCall& call) {
  switch (call.kind) {
    case CFileCall::kOpen:
      return "open #" + std::to_string(call.handle) + " " + call.path + (call.create ? " create" : "") +
             (call.truncate ? " truncate" : "");
    case CFileCall::kWrite:
      return "write #" + std::to_string(call.handle) + " at " + std::to_string(call.offset) + ", " +
             std::to_string(call.data.size()) + " bytes";
    case CFileCall::kFlush:
      return "fsync #" + std::to_string(call.handle);
    case CFileCall::kRename:
      return "rename " + call.path + " -> " + call.to;
    case CFileCall::kUnlink:
      return "unlink " + call.path;
    case CFileCall::kMakeFolder:
      return "mkdir " + call.path;
    case CFileCall::kRemoveFolder:
      return "rmdir " + call.path;
    case CFileCall::kMark:
      break;
  }
  return "(" + call.path + ")";
}

// The wrappers. Each passes the call on unchanged; a write is handed to the system at once
// (fflush), so that what the record says was written is what the system holds, never a stream
// buffer's content.
extern "C" {

FILE* NoteFopen(FILE* file, const char* path, const char* mode) {
  const bool writes = mode[0] != 'r' || std::string(mode).find('+') != std::string::npos;
  if (file != nullptr && writes) NoteOpen(fileno(file), path, mode[0] != 'r', mode[0] == 'w');
  return file;
}

FILE* __wrap_fopen(const char* path, const char* mode) { return NoteFopen(__real_fopen(path, mode), path, mode); }
FILE* __wrap_fopen64(const char* path, const char* mode) { return NoteFopen(__real_fopen64(path, mode), path, mode); }

int __wrap_fclose(FILE* file) {
  NoteClose(fileno(file));
  return __real_fclose(file);
}

size_t __wrap_fwrite(const void* data, size_t size, size_t count, FILE* file) {
  if (!Tracked(fileno(file))) return __real_fwrite(data, size, count, file);
  const long long offset = ftell(file);
  const size_t written = __real_fwrite(data, size, count, file);
  fflush(file);
  NoteOnHandle(CFileCall::kWrite, fileno(file), offset, std::string(static_cast<const char*>(data), written * size));
  return written;
}

int NoteOpened(int fd, const char* path, int flags) {
  NoteOpen(fd, path, (flags & O_CREAT) != 0, (flags & O_TRUNC) != 0);
  return fd;
}

int __wrap_open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
  va_end(arguments);
  return NoteOpened(__real_open(path, flags, mode), path, flags);
}

int __wrap_open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
  va_end(arguments);
  return NoteOpened(__real_open64(path, flags, mode), path, flags);
}

int __wrap_close(int fd) {
  NoteClose(fd);
  return __real_close(fd);
}

int __wrap_fsync(int fd) {
  const int result = __real_fsync(fd);
  if (result == 0) NoteOnHandle(CFileCall::kFlush, fd);
  return result;
}

int __wrap_fdatasync(int fd) {
  const int result = __real_fdatasync(fd);
  if (result == 0) NoteOnHandle(CFileCall::kFlush, fd);
  return result;
}

int __wrap_rename(const char* from, const char* to) {
  const int result = __real_rename(from, to);
  if (result == 0) NoteNames(CFileCall::kRename, from, to);
  return result;
}

int __wrap_unlink(const char* path) {
  const int result = __real_unlink(path);
  if (result == 0) NoteNames(CFileCall::kUnlink, path);
  return result;
}

int __wrap_mkdir(const char* path, mode_t mode) {
  const int result = __real_mkdir(path, mode);
  if (result == 0) NoteNames(CFileCall::kMakeFolder, path);
  return result;
}

int __wrap_rmdir(const char* path) {
  const int result = __real_rmdir(path);
  if (result == 0) NoteNames(CFileCall::kRemoveFolder, path);
  return result;
}

}  // extern "C"
