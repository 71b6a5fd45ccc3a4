// Loads a DLL from the system folder only, never from the program's own folder (which may be a
// Downloads folder anything can drop a file into) or the current folder.
#pragma once

#include <windows.h>

// The first thing the program does: DLLs loaded from now on come from the system folder only,
// and heap corruption ends the process.
void HardenProcess();

// The module, or nullptr (with the system's last error set) when the system folder lacks it.
HMODULE LoadSystemLibrary(const char* name);

// The function `name` of `module` as type T, or nullptr.
template <typename T>
T SystemFunction(HMODULE module, const char* name) {
  return module ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}
