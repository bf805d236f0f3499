// PlatformEvent: a manual- or auto-reset event over a mutex and a condition
// variable.
//
// A manual-reset event stays set until Reset and releases every waiter; an
// auto-reset event releases one waiter and is cleared by the wait that saw it.
//
// Thread safety: every member may be called from any thread at once.
#ifndef QORAPI_PLATFORM_PLATFORMEVENT_H
#define QORAPI_PLATFORM_PLATFORMEVENT_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace QORAPI {

class PlatformEvent
{
public:
    PlatformEvent(bool manualReset, bool initiallySet);
    PlatformEvent(const PlatformEvent&) = delete;
    PlatformEvent& operator=(const PlatformEvent&) = delete;

    void Set();
    void Reset();
    // Waits up to ms milliseconds (0xFFFFFFFF: without limit); true when the
    // event was set.
    bool Wait(uint32_t ms);

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    bool mSet;         // guarded by mMutex
    uint32_t mWaiters; // guarded by mMutex
    const bool mManualReset;
};

} // namespace QORAPI

#endif
