// The demo's stand-in for the product installer: leaves a marker file beside itself, so that a
// test can see it ran, and tells the user the product is installed.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Wide calls, as a real installer's: its folder may be named in any script.
  std::wstring marker(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetModuleFileNameW(nullptr, &marker[0], static_cast<DWORD>(marker.size()))) >= marker.size())
    marker.resize(marker.size() * 2);  // a folder whose path passes MAX_PATH: the whole path
  marker.resize(length);
  marker = marker.substr(0, marker.find_last_of(L'\\') + 1) + L"corvane-installed.txt";
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, "installed\r\n", 11, &written, nullptr);
    CloseHandle(file);
  }
  MessageBoxA(nullptr, "Corvane Software has been installed.", "Corvane Software Setup", MB_OK | MB_ICONINFORMATION);
  return 0;
}
