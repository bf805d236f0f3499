// The millisecond tick counter and the clocks the library reads.
//
// GetTickCount is a 32-bit millisecond counter that wraps at 2^32. Tests can
// add a process-wide offset to it so that the wrap-around is reached at will.
//
// Thread safety: every function may be called from any thread.
#ifndef QORAPI_PLATFORM_TICK_H
#define QORAPI_PLATFORM_TICK_H

#include <cstdint>

namespace QORAPI {

// Milliseconds of the monotonic clock plus the test offset, modulo 2^32.
uint32_t GetTickCount();
// The platform's own millisecond counter, without the offset.
uint32_t SystemTickCount();

// Adds to every later GetTickCount result (tests only).
void SetTickOffset(uint32_t offset);
uint32_t GetTickOffset();

// Seconds since 1970-01-01 UTC as an unsigned 32-bit value, plus the test offset.
uint32_t GetTimeSeconds();

// Adds to every later GetTimeSeconds result (tests only: session and
// certificate ages without waiting).
void SetTimeOffset(int32_t seconds);

// The system time as a count of 100-ns intervals since 1601-01-01 UTC.
uint64_t GetSystemTimeAsFileTime();

// Milliseconds elapsed from start to now, correct across one wrap of the counter.
inline uint32_t TicksSince(uint32_t start) { return GetTickCount() - start; }

} // namespace QORAPI

#endif
