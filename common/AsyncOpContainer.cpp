#include "common/AsyncOpContainer.h"

#include "platform/PlatformThread.h"
#include "platform/Tick.h"

#include <algorithm>

namespace QORAPI {

namespace {
// The handler of the Pump or KillAll call running on this thread.
thread_local void* tCurrentHandler = nullptr;
// The most entries Pump handles between two looks at the clock.
const uint32_t kMaxClockStride = 4;
// How long (in pause hints, some tens of microseconds) an idle Pump watches
// the queue before it sleeps.
const int kIdleSpinLimit = 2000;
}

AsyncOpContainer::AsyncOpContainer() : mEvent(false, false), mHandlers(nullptr) {}

AsyncOpContainer::~AsyncOpContainer()
{
    KillAll();
}

void AsyncOpContainer::Add(const SmartPtr<AsyncOp>& op)
{
    if (op)
        Add(op, op->GetRunNumber());
}

void AsyncOpContainer::Add(const SmartPtr<AsyncOp>& op, uint32_t run)
{
    if (!op)
        return;
    // Posted by the thread that is handling it (a hook or completion that
    // finishes it): that thread looks again without the queue's lock.
    Handler* own = static_cast<Handler*>(tCurrentHandler);
    if (own && own->mQueue == this && own->mCurOp == op.Get() && (!op->IsPending() || own->mKillingAll))
    {
        own->mRepostedHere = true;
        return;
    }
    {
        ScopedLock lock(mCrit);
        // A pending operation is taken over by a handler only while that
        // handler kills all: a run's start entry (the common post) skips the
        // walk over the handlers, whose fields the pumping threads keep writing.
        const bool walk = mKillingAllCount > 0 || !op->IsPending();
        for (Handler* handler = walk ? mHandlers : nullptr; handler; handler = handler->mNext)
        {
            if (handler->mCurOp != op.Get())
                continue;
            // The call handling it picks the new state up right after its
            // current step. A finish after that call looked is noted, so
            // that the completion is not lost.
            if (!op->IsPending() || handler->mKillingAll)
            {
                handler->mReposted = true;
                return;
            }
        }
        mQueue.push_back(Entry{op, run});
        mAdds.store(mAdds.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        if (mQueue.size() != 1)
            return;
    }
    mEvent.Set();
}

bool AsyncOpContainer::Wait(uint32_t ms)
{
    {
        ScopedLock lock(mCrit);
        if (!mQueue.empty())
            return true;
    }
    return mEvent.Wait(ms);
}

void AsyncOpContainer::AddHandler(Handler& handler)
{
    if (handler.mKillingAll)
        ++mKillingAllCount;
    handler.mQueue = this;
    handler.mNext = mHandlers;
    mHandlers = &handler;
    handler.mOuter = static_cast<Handler*>(tCurrentHandler);
    tCurrentHandler = &handler;
}

void AsyncOpContainer::RemoveHandler(Handler& handler)
{
    if (handler.mKillingAll)
        --mKillingAllCount;
    tCurrentHandler = handler.mOuter;
    for (Handler** link = &mHandlers; *link; link = &(*link)->mNext)
    {
        if (*link == &handler)
        {
            *link = handler.mNext;
            break;
        }
    }
}

AsyncOpContainer::Entry AsyncOpContainer::TakeFirst(Handler& handler)
{
    Entry next = std::move(mQueue.front());
    mQueue.pop_front();
    handler.mCurOp = next.mOp.Get();
    handler.mReposted = false;
    handler.mRepostedHere = false;
    return next;
}

void AsyncOpContainer::DeliverOwn(Handler& handler, AsyncOp* op)
{
    // Its own completion may run it again and finish it again: each such
    // repost by this thread is delivered here, without the queue's lock.
    do
    {
        handler.mRepostedHere = false;
        if (handler.mKillingAll && op->IsPending())
            op->Kill(true);
        if (op->IsAwaitingCompletion())
            op->DeliverCompletion();
    } while (handler.mRepostedHere);
}

void AsyncOpContainer::HandleRepost(Handler& handler)
{
    while (handler.mReposted)
    {
        handler.mReposted = false;
        mCrit.Leave();
        DeliverOwn(handler, handler.mCurOp);
        mCrit.Enter();
    }
}

void AsyncOpContainer::Pump(uint32_t waitMs, int32_t maxCount)
{
    SmartPtr<AsyncOp> op; // released outside the lock
    Handler handler;
    const uint32_t start = GetTickCount();
    // The slice is checked against the clock after every entry while entries
    // take a millisecond or more. While the clock stands still from one look
    // to the next, the looks are spaced out, up to kMaxClockStride entries
    // apart: a burst of short entries does not pay a clock read each, and a
    // slice overruns by at most kMaxClockStride - 1 entries.
    uint32_t stride = 1, untilLook = 1, lastElapsed = 0;
    mCrit.Enter();
    int32_t count = maxCount < 0 ? static_cast<int32_t>(mQueue.size()) : maxCount;
    if (mQueue.empty() && waitMs > 0)
    {
        // A queue that runs dry in the middle of a burst is mostly refilled
        // within microseconds: watch it for a moment before sleeping on the
        // event, which spares both sides the sleep and the wake-up.
        const uint32_t adds = mAdds.load(std::memory_order_relaxed);
        mCrit.Leave();
        int spin = 0;
        while (spin < kIdleSpinLimit && mAdds.load(std::memory_order_acquire) == adds)
        {
            CpuRelax();
            ++spin;
        }
        if (spin == kIdleSpinLimit)
            mEvent.Wait(waitMs);
        mCrit.Enter();
    }
    AddHandler(handler);
    while (!mQueue.empty())
    {
        Entry next = TakeFirst(handler);
        mCrit.Leave();

        op = std::move(next.mOp);
        // The status is read before the run number (a run number is stored
        // before its pending status): a pending status seen here with a
        // matching number belongs to the entry's run, never to a later run
        // that another pumping thread has just begun.
        const bool pending = op->IsPending();
        if (op->GetRunNumber() == next.mRun)
        {
            if (pending)
                op->StartPosted();
            DeliverOwn(handler, op.Get());
        }

        bool sliceOver = false;
        if (waitMs > 0 && --untilLook == 0)
        {
            const uint32_t elapsed = TicksSince(start);
            sliceOver = elapsed >= waitMs;
            stride = elapsed == lastElapsed ? std::min(2 * stride, kMaxClockStride) : 1;
            lastElapsed = elapsed;
            untilLook = stride;
        }

        mCrit.Enter();
        HandleRepost(handler);
        if (count > 0 && --count == 0)
            break;
        if (sliceOver)
            break;
    }
    RemoveHandler(handler);
    mCrit.Leave();
}

void AsyncOpContainer::KillAll()
{
    SmartPtr<AsyncOp> op;
    Handler handler;
    handler.mKillingAll = true;
    mCrit.Enter();
    AddHandler(handler);
    while (!mQueue.empty())
    {
        Entry next = TakeFirst(handler);
        mCrit.Leave();

        op = std::move(next.mOp);
        const bool pending = op->IsPending();
        if (op->GetRunNumber() == next.mRun)
        {
            if (pending)
                op->Kill(true);
            DeliverOwn(handler, op.Get());
        }

        mCrit.Enter();
        HandleRepost(handler);
    }
    RemoveHandler(handler);
    mCrit.Leave();
}

size_t AsyncOpContainer::GetCount() const
{
    ScopedLock lock(mCrit);
    return mQueue.size();
}

} // namespace QORAPI
