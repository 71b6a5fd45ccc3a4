#include <ctime>

#include "common/system_clock.h"

int64_t SecondsSince1970Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}
