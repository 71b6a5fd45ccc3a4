#pragma once

#include <cstdint>

// The time now in seconds since 1970 (UTC), taken from the system itself and kept in 64 bits on
// every platform. The C library's time() is no use for this in the 32-bit Windows program: its
// time_t there is 32 bits, and from 2038-01-19 it would make every release read as expired.
int64_t SecondsSince1970Now();

// A Windows file time (100-nanosecond ticks since 1601-01-01, UTC) in seconds since 1970.
int64_t FileTimeToSecondsSince1970(uint64_t ticks);
