// Event: a platform event with manual- or auto-reset behaviour.
//
// Wakes threads that wait for something to happen: a queue that gained an
// entry, a thread asked to stop, a timer that must recompute its wait.
//
// Thread safety: Set and Wait may be called from any thread at once.
#ifndef QORAPI_COMMON_EVENT_H
#define QORAPI_COMMON_EVENT_H

#include "platform/PlatformEvent.h"

#include <cstdint>

namespace QORAPI {

// A wait or timeout without limit.
constexpr uint32_t InfiniteMs = 0xFFFFFFFFu;

class Event
{
public:
    Event(bool manualReset, bool initiallySet) : mHandle(manualReset, initiallySet) {}
    virtual ~Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set() { mHandle.Set(); }
    void Reset() { mHandle.Reset(); }
    // Waits up to ms milliseconds (InfiniteMs: without limit); true only when
    // the event was set.
    bool Wait(uint32_t ms) { return mHandle.Wait(ms); }

private:
    PlatformEvent mHandle;
};

} // namespace QORAPI

#endif
