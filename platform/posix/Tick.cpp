#include "platform/Tick.h"

#include <time.h>

namespace QORAPI {

uint32_t SystemTickCount()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t GetSystemTimeAsFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t seconds = static_cast<uint64_t>(ts.tv_sec) + 11644473600ull;
    return seconds * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

} // namespace QORAPI
