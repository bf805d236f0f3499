#include "platform/Tick.h"

#include <atomic>
#include <ctime>

#include <windows.h>

namespace QORAPI {

namespace {
std::atomic<uint32_t> gTickOffset{0};
std::atomic<int32_t> gTimeOffset{0};
}

uint32_t GetTickCount()
{
    return static_cast<uint32_t>(::GetTickCount()) + gTickOffset.load(std::memory_order_relaxed);
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
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

} // namespace QORAPI
