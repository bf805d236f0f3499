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
// The mark a posting thread sets on a handler's current operation.
const uintptr_t kRepostBit = 1;
}

AsyncOpContainer::AsyncOpContainer() : mEvent(false, false), mHandlers(nullptr) {}

AsyncOpContainer::~AsyncOpContainer()
{
    KillAll();
}

void AsyncOpContainer::Add(const SmartPtr<AsyncOp>& op)
{
    if (op)
        Add(op.Get(), op->GetRunNumber());
}

void AsyncOpContainer::Add(const SmartPtr<AsyncOp>& op, uint32_t run)
{
    Add(op.Get(), run);
}

void AsyncOpContainer::Add(AsyncOp* op, uint32_t run)
{
    if (!op)
        return;
    const uintptr_t bits = reinterpret_cast<uintptr_t>(op);
    // Posted by the thread that is handling it (a hook or completion that
    // finishes it): that thread looks again without the queue's lock.
    Handler* own = static_cast<Handler*>(tCurrentHandler);
    if (own && own->mQueue == this && (own->mCur.load(std::memory_order_relaxed) & ~kRepostBit) == bits &&
        (!op->IsPending() || own->mKillingAll))
    {
        own->mRepostedHere = true;
        return;
    }
    {
        ScopedLock lock(mCrit);
        // A pending operation is taken over by a handler only while that
        // handler kills all: a run's start entry (the common post) skips the
        // walk over the handlers.
        const bool pending = op->IsPending();
        if (mKillingAllCount > 0 || !pending)
        {
            for (Handler* handler = mHandlers; handler; handler = handler->mNext)
            {
                if (pending && !handler->mKillingAll)
                    continue;
                // The call handling it picks the new state up before it lets
                // the operation go. The mark is an atomic read-modify-write
                // also when the handler holds another operation: either the
                // handler set op as its current one after this post, and then
                // sees the state this thread stored before posting, or this
                // post finds op there. A mark on another operation only makes
                // its handler look at that operation once more.
                const uintptr_t cur = handler->mCur.fetch_or(kRepostBit);
                if ((cur & ~kRepostBit) == bits)
                    return;
            }
        }
        mQueue.push_back(Entry{SmartPtr<AsyncOp>(op), run});
        mAdds.store(mAdds.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        // A sleeper counts itself before it looks at the queue under mCrit
        // (see WaitForEntry), so one that found the queue empty is counted
        // here. Pumping threads that are busy or spinning need no wake-up.
        if (mQueue.size() != 1 || mSleepers.load(std::memory_order_relaxed) == 0)
            return;
    }
    mEvent.Set();
}

bool AsyncOpContainer::WaitForEntry(uint32_t ms)
{
    mSleepers.fetch_add(1, std::memory_order_relaxed);
    bool empty;
    {
        ScopedLock lock(mCrit);
        empty = mQueue.empty();
    }
    const bool woken = !empty || mEvent.Wait(ms);
    mSleepers.fetch_sub(1, std::memory_order_relaxed);
    return woken;
}

bool AsyncOpContainer::Wait(uint32_t ms)
{
    return WaitForEntry(ms);
}

void AsyncOpContainer::AddHandler(Handler& handler)
{
    // A call nested in the handling of an entry of this queue (a completion
    // that pumps) sees the entries the outer calls took and left, in order.
    for (Handler* outer = static_cast<Handler*>(tCurrentHandler); outer; outer = outer->mOuter)
    {
        if (outer->mQueue == this)
            ReturnBatch(*outer);
    }
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

void AsyncOpContainer::TakeBatch(Handler& handler, uint32_t limit)
{
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(std::min(limit, kBatchSize), mQueue.size()));
    for (uint32_t i = 0; i < count; ++i)
    {
        handler.mBatch[i] = std::move(mQueue.front());
        mQueue.pop_front();
    }
    handler.mBatchNext = 0;
    handler.mBatchEnd = count;
    handler.mHeld.store(count, std::memory_order_relaxed);
}

void AsyncOpContainer::ReturnBatch(Handler& handler)
{
    if (handler.mBatchNext == handler.mBatchEnd)
        return;
    const bool wasEmpty = mQueue.empty();
    for (uint32_t i = handler.mBatchEnd; i > handler.mBatchNext; --i)
        mQueue.push_front(std::move(handler.mBatch[i - 1]));
    handler.mBatchNext = handler.mBatchEnd = 0;
    handler.mHeld.store(0, std::memory_order_relaxed);
    // Another pumping thread may have gone to sleep on the empty queue.
    mAdds.store(mAdds.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (wasEmpty && mSleepers.load(std::memory_order_relaxed) != 0)
        mEvent.Set();
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

void AsyncOpContainer::HandleNext(Handler& handler)
{
    Entry& slot = handler.mBatch[handler.mBatchNext++];
    handler.mHeld.store(handler.mBatchEnd - handler.mBatchNext, std::memory_order_relaxed);
    const SmartPtr<AsyncOp> op(std::move(slot.mOp)); // released after the handling
    const uint32_t run = slot.mRun;
    AsyncOp* target = op.Get();
    const uintptr_t bits = reinterpret_cast<uintptr_t>(target);
    // An atomic exchange, so that a post that misses this mark happened
    // before it, and its state is seen below (see Add).
    handler.mCur.exchange(bits);
    handler.mRepostedHere = false;

    // The status is read before the run number (a run number is stored
    // before its pending status): a pending status seen here with a matching
    // number belongs to the entry's run, never to a later run that another
    // pumping thread has just begun.
    const bool pending = target->IsPending();
    if (target->GetRunNumber() == run)
    {
        if (pending)
        {
            if (handler.mKillingAll)
                target->Kill(true);
            else
                target->StartPosted();
        }
        DeliverOwn(handler, target);
    }

    // Let the operation go, unless another thread posted it meanwhile: then
    // deliver again first.
    uintptr_t expected = bits;
    while (!handler.mCur.compare_exchange_strong(expected, 0))
    {
        handler.mCur.store(bits);
        DeliverOwn(handler, target);
        expected = bits;
    }
}

void AsyncOpContainer::Pump(uint32_t waitMs, int32_t maxCount)
{
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
            WaitForEntry(waitMs);
        mCrit.Enter();
    }
    AddHandler(handler);
    bool stop = false;
    while (!stop)
    {
        if (handler.mBatchNext == handler.mBatchEnd)
        {
            if (mQueue.empty())
                break;
            TakeBatch(handler, count > 0 ? static_cast<uint32_t>(count) : kBatchSize);
        }
        mCrit.Leave();
        // The batch is handled without the lock; a nested pump of this queue
        // (from a completion) takes back what is left of it.
        do
        {
            HandleNext(handler);
            stop = count > 0 && --count == 0;
            if (waitMs > 0 && --untilLook == 0)
            {
                const uint32_t elapsed = TicksSince(start);
                stop = stop || elapsed >= waitMs;
                stride = elapsed == lastElapsed ? std::min(2 * stride, kMaxClockStride) : 1;
                lastElapsed = elapsed;
                untilLook = stride;
            }
        } while (!stop && handler.mBatchNext != handler.mBatchEnd);
        mCrit.Enter();
    }
    ReturnBatch(handler);
    RemoveHandler(handler);
    mCrit.Leave();
}

void AsyncOpContainer::KillAll()
{
    Handler handler;
    handler.mKillingAll = true;
    mCrit.Enter();
    AddHandler(handler);
    for (;;)
    {
        if (handler.mBatchNext == handler.mBatchEnd)
        {
            if (mQueue.empty())
                break;
            TakeBatch(handler, kBatchSize);
        }
        mCrit.Leave();
        HandleNext(handler);
        mCrit.Enter();
    }
    RemoveHandler(handler);
    mCrit.Leave();
}

size_t AsyncOpContainer::GetCount() const
{
    ScopedLock lock(mCrit);
    size_t count = mQueue.size();
    for (const Handler* handler = mHandlers; handler; handler = handler->mNext)
        count += handler->mHeld.load(std::memory_order_relaxed);
    return count;
}

} // namespace QORAPI
