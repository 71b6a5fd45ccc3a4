// Fetches the objects listed in <list> (one a line) one after another from 127.0.0.1:<port> into
// <folder>, with the same WinInet calls and 4096-byte reads as the program and nothing else.
//   wininet_loop <port> <folder> <list>
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const INTERNET_PORT port = static_cast<INTERNET_PORT>(atoi(argv[1]));
  std::vector<std::string> objects;
  std::ifstream list(argv[3]);
  for (std::string line; std::getline(list, line);)
    if (!line.empty()) objects.push_back(line);
  for (const std::string& object : objects) {
    HINTERNET session = InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = InternetConnectA(session, "127.0.0.1", port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1);
    HINTERNET request = HttpOpenRequestA(connection, "GET", object.c_str(), nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 1);
    if (!request || !HttpSendRequestA(request, nullptr, 0, nullptr, 0)) return 1;
    std::string path = std::string(argv[2]) + "\\" + object.substr(object.find_last_of('/') + 1);
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return 1;
    char buffer[4096];
    DWORD got = 0;
    while (InternetReadFile(request, buffer, sizeof buffer, &got) && got > 0) fwrite(buffer, got, 1, file);
    fclose(file);
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }
  return 0;
}
