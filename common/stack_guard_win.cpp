// The stack protector's guard value and its failure handlers, for the program itself.
//
// MinGW's own (libssp) seeds the guard through advapi32's CryptAcquireContext before the program
// starts, which loads a cryptographic provider, and the DLLs that provider needs, while the
// program's own folder is still on the DLL search path. The guard is seeded here the way
// Windows' own compilers seed theirs: from the time, the process and thread ids, the tick count
// and the performance counter, none of which a remote attacker can read. A failed check ends the
// process at once.
#include <windows.h>

#include <cstdint>

extern "C" {

uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x2f6b9d3a5e8c1047ULL);

[[noreturn]] void __stack_chk_fail() {
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  for (;;) {
  }
}

[[noreturn]] void __stack_chk_fail_local() { __stack_chk_fail(); }

// A fortified string function found a write past its buffer.
[[noreturn]] void __chk_fail() { __stack_chk_fail(); }

}  // extern "C"

namespace {

// Runs before any other constructor; the startup code that calls it carries no guard itself.
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t seed = (static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) ^
                  static_cast<uint64_t>(counter.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 16) ^
                  (static_cast<uint64_t>(GetCurrentThreadId()) << 40) ^ GetTickCount64() ^
                  reinterpret_cast<uintptr_t>(&time);  // where the stack lies, which ASLR chose
  seed ^= seed >> 29;
  seed *= 0xbf58476d1ce4e5b9ULL;
  seed ^= seed >> 32;
  __stack_chk_guard ^= static_cast<uintptr_t>(seed);
}

}  // namespace
