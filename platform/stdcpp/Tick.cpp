// The test offsets over the platform's clocks, the same on every platform.
#include "platform/Tick.h"

#include <atomic>
#include <ctime>

namespace QORAPI {

namespace {
std::atomic<uint32_t> gTickOffset{0};
std::atomic<int32_t> gTimeOffset{0};
}

uint32_t GetTickCount()
{
    return SystemTickCount() + gTickOffset.load(std::memory_order_relaxed);
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

} // namespace QORAPI
