#pragma once

#include <cstdint>

// The time now in seconds since 1970 (UTC), taken from the system itself. On Windows it is read
// in 64 bits (GetSystemTimeAsFileTime): the C library's time() is no use for this in the 32-bit
// program, whose time_t is 32 bits, and from 2038-01-19 it would make every release read as
// expired. Elsewhere it is the C library's clock, as wide as its time_t (32 bits in a 32-bit Linux
// build, which only the tests and the vendor's tools are).
int64_t SecondsSince1970Now();

// A Windows file time (100-nanosecond ticks since 1601-01-01, UTC) in seconds since 1970.
int64_t FileTimeToSecondsSince1970(uint64_t ticks);
