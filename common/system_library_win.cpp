#include "common/system_library_win.h"

#include <string>

HMODULE LoadSystemLibrary(const char* name) {
  HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // A Windows without the search flags (Vista, or 7 without its update): the full path, with
  // the DLL's own dependencies looked for beside it.
  char folder[MAX_PATH] = "";
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::string path = std::string(folder) + "\\" + name;
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void HardenProcess() {
  // A corrupted heap ends the process instead of running on.
  HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
  // From here on, DLLs come from the system folder: never from the program's own folder (often a
  // Downloads folder) nor from the current one.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto setDefault = SystemFunction<SetDefaultDllDirectoriesFunction>(GetModuleHandleA("kernel32.dll"),
                                                                          "SetDefaultDllDirectories");
  if (setDefault != nullptr) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryA("");
}
