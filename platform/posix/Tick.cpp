#include "platform/Tick.h"

#include <atomic>
#include <ctime>
#include <time.h>

namespace QORAPI {

namespace {
std::atomic<uint32_t> gTickOffset{0};
std::atomic<int32_t> gTimeOffset{0};
}

uint32_t GetTickCount()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms) + gTickOffset.load(std::memory_order_relaxed);
}

void SetTickOffset(uint32_t offset)
{
    gTickOffset.store(offset, std::memory_order_relaxed);
}

uint32_t GetTickOffset()
{
    return gTickOffset.load(std::memory_order_relaxed);
}

uint32_t GetTimeSeconds()
{
    return static_cast<uint32_t>(std::time(nullptr)) + static_cast<uint32_t>(gTimeOffset.load(std::memory_order_relaxed));
}

void SetTimeOffset(int32_t seconds)
{
    gTimeOffset.store(seconds, std::memory_order_relaxed);
}

uint64_t GetSystemTimeAsFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t seconds = static_cast<uint64_t>(ts.tv_sec) + 11644473600ull;
    return seconds * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

} // namespace QORAPI
