// The demo's stand-in for the product installer: leaves a marker file beside itself, so that a
// test can see it ran, and tells the user the product is installed.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string marker = path;
  marker = marker.substr(0, marker.find_last_of('\\') + 1) + "corvane-installed.txt";
  HANDLE file = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, "installed\r\n", 11, &written, nullptr);
    CloseHandle(file);
  }
  MessageBoxA(nullptr, "Corvane Software has been installed.", "Corvane Software Setup", MB_OK | MB_ICONINFORMATION);
  return 0;
}
