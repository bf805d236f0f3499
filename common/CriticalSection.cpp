#include "common/CriticalSection.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace QORAPI {

namespace {

// Where threads sleep on taken locks. Locks share slots by address; a wake-up
// meant for another lock of the same slot only makes a sleeper look again.
struct WaitSlot
{
    std::mutex mMutex;
    std::condition_variable mCond;
};

const size_t kWaitSlots = 64;
// How often a thread retries a taken lock before it sleeps; most holds end
// within that.
const int kEnterSpins = 100;

WaitSlot& SlotFor(const CriticalSection* lock)
{
    // Never destroyed: locks may be given back during static destruction.
    static WaitSlot* const slots = new WaitSlot[kWaitSlots];
    const uintptr_t key = reinterpret_cast<uintptr_t>(lock);
    return slots[(key >> 4 ^ key >> 10) % kWaitSlots];
}

} // namespace

void CriticalSection::EnterContended()
{
    for (int spin = 0; spin < kEnterSpins; ++spin)
    {
        CpuRelax();
        uint32_t expected = Free;
        if (mState.load(std::memory_order_relaxed) == Free &&
            mState.compare_exchange_weak(expected, Taken, std::memory_order_acquire, std::memory_order_relaxed))
            return;
    }
    // A sleeper marks the lock before it sleeps, holding the slot's mutex; a
    // give-back that sees the mark takes that mutex to wake the slot, which it
    // gets only once the sleeper waits. A take here keeps the mark, so that
    // the next give-back wakes the sleepers that may remain.
    WaitSlot& slot = SlotFor(this);
    std::unique_lock<std::mutex> hold(slot.mMutex);
    while (mState.exchange(TakenWithSleepers, std::memory_order_acquire) != Free)
        slot.mCond.wait(hold);
}

void CriticalSection::WakeSleepers(const CriticalSection* lock)
{
    WaitSlot& slot = SlotFor(lock);
    std::lock_guard<std::mutex> hold(slot.mMutex);
    slot.mCond.notify_all();
}

} // namespace QORAPI
