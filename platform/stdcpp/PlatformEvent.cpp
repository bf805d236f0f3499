#include "platform/PlatformEvent.h"

#include <chrono>

namespace QORAPI {

PlatformEvent::PlatformEvent(bool manualReset, bool initiallySet)
    : mSet(initiallySet), mWaiters(0), mManualReset(manualReset)
{
}

void PlatformEvent::Set()
{
    // Notified under the mutex: a waiter that returns may destroy the event at once.
    std::lock_guard<std::mutex> lock(mMutex);
    mSet = true;
    if (mWaiters == 0)
        return;
    if (mManualReset)
        mCond.notify_all();
    else
        mCond.notify_one();
}

void PlatformEvent::Reset()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mSet = false;
}

bool PlatformEvent::Wait(uint32_t ms)
{
    std::unique_lock<std::mutex> lock(mMutex);
    if (!mSet && ms != 0)
    {
        ++mWaiters;
        if (ms == 0xFFFFFFFFu)
            mCond.wait(lock, [this] { return mSet; });
        else
            mCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mSet; });
        --mWaiters;
    }
    if (!mSet)
        return false;
    if (!mManualReset)
        mSet = false;
    return true;
}

} // namespace QORAPI
