#include "common/system_clock.h"

namespace {
constexpr uint64_t kTicksPerSecond = 10000000;
// From 1601-01-01 to 1970-01-01: 369 years, 89 of them leap years.
constexpr int64_t kSecondsFrom1601To1970 = (369LL * 365 + 89) * 86400;
}  // namespace

int64_t FileTimeToSecondsSince1970(uint64_t ticks) {
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
}
