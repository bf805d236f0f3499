// CriticalSection and ScopedLock: the library's one kind of lock and its
// scoped holder.
//
// Every lock of the library is a recursive CriticalSection. A ScopedLock enters
// it on construction and leaves it as often as it entered on destruction; code
// that must drop the lock before calling out calls Leave early.
//
// Thread safety: a CriticalSection may be entered from any thread. A ScopedLock
// belongs to the thread that made it.
#ifndef QORAPI_COMMON_CRITICALSECTION_H
#define QORAPI_COMMON_CRITICALSECTION_H

#include "platform/PlatformMutex.h"

namespace QORAPI {

class CriticalSection
{
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { mMutex.Lock(); }
    void Leave() { mMutex.Unlock(); }

private:
    PlatformMutex mMutex;
};

class ScopedLock
{
public:
    explicit ScopedLock(CriticalSection& crit, bool enterNow = true) : mCrit(crit), mCount(0)
    {
        if (enterNow)
            Enter();
    }
    ~ScopedLock()
    {
        while (mCount > 0)
            Leave();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    void Enter()
    {
        mCrit.Enter();
        ++mCount;
    }
    // Leaves once; nothing when this holder does not hold the lock.
    void Leave()
    {
        if (mCount > 0)
        {
            mCrit.Leave();
            --mCount;
        }
    }

private:
    CriticalSection& mCrit;
    int mCount; // times this holder has entered mCrit
};

} // namespace QORAPI

#endif
