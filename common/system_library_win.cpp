#include "common/system_library_win.h"

HMODULE LoadSystemLibrary(const char* name) { return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32); }
