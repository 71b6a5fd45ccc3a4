#include <windows.h>

#include "common/system_clock.h"

int64_t SecondsSince1970Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return FileTimeToSecondsSince1970(static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
}
