// CriticalSection and ScopedLock: the library's one kind of lock and its
// scoped holder.
//
// Every lock of the library is a recursive CriticalSection. A ScopedLock enters
// it on construction and leaves it as often as it entered on destruction; code
// that must drop the lock before calling out calls Leave early.
//
// A CriticalSection is one atomic word plus its owner and count: a take
// without contention is one compare-and-swap, a give-back one exchange. A
// thread that finds it taken spins briefly, then sleeps on a wait slot shared
// through a small process-wide table; the thread that gives back a lock with
// sleepers wakes that slot. The give-back touches the lock's own memory only
// in that one exchange, so the next owner may destroy it at once.
//
// Thread safety: a CriticalSection may be entered from any thread. A ScopedLock
// belongs to the thread that made it.
#ifndef QORAPI_COMMON_CRITICALSECTION_H
#define QORAPI_COMMON_CRITICALSECTION_H

#include "platform/PlatformThread.h"

#include <atomic>
#include <cstdint>

namespace QORAPI {

class CriticalSection
{
public:
    CriticalSection() : mState(Free), mOwner(0), mCount(0) {}
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter()
    {
        const PlatformThreadId self = CurrentThreadId();
        // Only this thread ever stores its own id here, so a match means it
        // holds the lock already.
        if (mOwner.load(std::memory_order_relaxed) == self)
        {
            ++mCount;
            return;
        }
        uint32_t expected = Free;
        if (!mState.compare_exchange_strong(expected, Taken, std::memory_order_acquire, std::memory_order_relaxed))
            EnterContended();
        mOwner.store(self, std::memory_order_relaxed);
        mCount = 1;
    }

    void Leave()
    {
        if (--mCount != 0)
            return;
        mOwner.store(0, std::memory_order_relaxed);
        if (mState.exchange(Free, std::memory_order_release) == TakenWithSleepers)
            WakeSleepers(this);
    }

private:
    enum : uint32_t {
        Free = 0,
        Taken = 1,
        TakenWithSleepers = 2 // taken, and a thread may sleep on the wait slot
    };

    // Spins, then sleeps until the lock is taken with TakenWithSleepers.
    void EnterContended();
    // Wakes the sleepers of lock's wait slot; lock's memory is not touched.
    static void WakeSleepers(const CriticalSection* lock);

    std::atomic<uint32_t> mState;
    std::atomic<PlatformThreadId> mOwner; // 0 when free
    uint32_t mCount;                      // takes by the owner; written by the owner only
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
