// PlatformMutex: the recursive lock under every CriticalSection.
//
// A thread that holds the lock may take it again; it is free once every take
// has been given back. It is a plain mutex plus an owner and a count, so that
// the common first take costs one uncontended mutex lock.
//
// Thread safety: Lock, Unlock and TryLock may be called from any thread; Unlock
// only by the thread that holds the lock.
#ifndef QORAPI_PLATFORM_PLATFORMMUTEX_H
#define QORAPI_PLATFORM_PLATFORMMUTEX_H

#include "platform/PlatformThread.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace QORAPI {

class PlatformMutex
{
public:
    PlatformMutex() : mOwner(0), mCount(0) {}
    PlatformMutex(const PlatformMutex&) = delete;
    PlatformMutex& operator=(const PlatformMutex&) = delete;

    void Lock()
    {
        const PlatformThreadId self = CurrentThreadId();
        // Only this thread ever stores its own id here, so a match means it
        // holds the lock already.
        if (mOwner.load(std::memory_order_relaxed) == self)
        {
            ++mCount;
            return;
        }
        mMutex.lock();
        mOwner.store(self, std::memory_order_relaxed);
        mCount = 1;
    }

    bool TryLock()
    {
        const PlatformThreadId self = CurrentThreadId();
        if (mOwner.load(std::memory_order_relaxed) == self)
        {
            ++mCount;
            return true;
        }
        if (!mMutex.try_lock())
            return false;
        mOwner.store(self, std::memory_order_relaxed);
        mCount = 1;
        return true;
    }

    void Unlock()
    {
        if (--mCount == 0)
        {
            mOwner.store(0, std::memory_order_relaxed);
            mMutex.unlock();
        }
    }

private:
    std::mutex mMutex;
    std::atomic<PlatformThreadId> mOwner; // 0 when free
    uint32_t mCount;                      // takes by the owner; guarded by mMutex
};

} // namespace QORAPI

#endif
