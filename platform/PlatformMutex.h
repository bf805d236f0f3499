// PlatformMutex: the recursive lock under every CriticalSection.
//
// A thread that holds the lock may take it again; it is free once every take
// has been given back.
//
// Thread safety: Lock, Unlock and TryLock may be called from any thread; Unlock
// only by the thread that holds the lock.
#ifndef QORAPI_PLATFORM_PLATFORMMUTEX_H
#define QORAPI_PLATFORM_PLATFORMMUTEX_H

#include <mutex>

namespace QORAPI {

class PlatformMutex
{
public:
    PlatformMutex() = default;
    PlatformMutex(const PlatformMutex&) = delete;
    PlatformMutex& operator=(const PlatformMutex&) = delete;

    void Lock() { mMutex.lock(); }
    void Unlock() { mMutex.unlock(); }
    bool TryLock() { return mMutex.try_lock(); }

private:
    std::recursive_mutex mMutex;
};

} // namespace QORAPI

#endif
