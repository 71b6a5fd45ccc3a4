// Fetches the objects listed in <list> (one a line) one after another from 127.0.0.1:<port> into
// <folder>, with the same WinInet calls as the program and nothing else: each 4096-byte block is
// filled by reads of what InternetQueryDataAvailable says has arrived. (Under Wine that is faster
// than asking InternetReadFile for the whole block, which waits in the socket for the rest.)
// With "flush", each file is also pushed to the disk as the program does before it records a part
// as done, and a record of the finished files (as long as the program's resume index) is
// rewritten through a flushed temporary file after each one.
// Prints the seconds from its first request to its last file closed, Wine's start-up left out.
//   wininet_loop <port> <folder> <list> [flush]
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/file_system.h"

namespace {

// The record is written with the program's own crash-safe replace, as its resume index is.
bool WriteRecord(const std::string& folder, const std::vector<std::string>& objects, size_t done) {
  std::string text;
  text.reserve(objects.size() * (objects.empty() ? 0 : objects[0].size() + 3));
  for (size_t i = 0; i < objects.size(); ++i) text += objects[i] + (i < done ? "\n1\n" : "\n0\n");
  return ReplaceFileContent(folder + "\\record.txt", text, true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 5 && strcmp(argv[4], "flush") == 0)) return 2;
  const bool flush = argc == 5;
  const INTERNET_PORT port = static_cast<INTERNET_PORT>(atoi(argv[1]));
  std::vector<std::string> objects;
  std::ifstream list(argv[3]);
  for (std::string line; std::getline(list, line);)
    if (!line.empty()) objects.push_back(line);
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (size_t i = 0; i < objects.size(); ++i) {
    const std::string& object = objects[i];
    HINTERNET session = InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = InternetConnectA(session, "127.0.0.1", port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1);
    HINTERNET request = HttpOpenRequestA(connection, "GET", object.c_str(), nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 1);
    if (!request || !HttpSendRequestA(request, nullptr, 0, nullptr, 0)) return 1;
    std::string path = std::string(argv[2]) + "\\" + object.substr(object.find_last_of('/') + 1);
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return 1;
    char buffer[4096];
    for (bool more = true; more;) {
      DWORD got = 0, available = 0, piece = 0;
      while (got < sizeof buffer) {
        if (!InternetQueryDataAvailable(request, &available, 0, 0) || available == 0) break;
        const DWORD wanted = available < sizeof buffer - got ? available : sizeof buffer - got;
        if (!InternetReadFile(request, buffer + got, wanted, &piece) || piece == 0) break;
        got += piece;
      }
      more = got == sizeof buffer;
      if (got > 0) fwrite(buffer, got, 1, file);
    }
    if (flush && !FlushToDisk(file)) return 1;
    fclose(file);
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
    if (flush && !WriteRecord(argv[2], objects, i + 1)) return 1;
  }
  QueryPerformanceCounter(&end);
  printf("%.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  return 0;
}
