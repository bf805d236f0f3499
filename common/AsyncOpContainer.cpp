#include "common/AsyncOpContainer.h"

#include "platform/Tick.h"

namespace QORAPI {

namespace {
// The handler of the Pump or KillAll call running on this thread.
thread_local void* tCurrentHandler = nullptr;
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
        for (Handler* handler = mHandlers; handler; handler = handler->mNext)
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
    handler.mQueue = this;
    handler.mNext = mHandlers;
    mHandlers = &handler;
    handler.mOuter = static_cast<Handler*>(tCurrentHandler);
    tCurrentHandler = &handler;
}

void AsyncOpContainer::RemoveHandler(Handler& handler)
{
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
    mCrit.Enter();
    const uint32_t start = GetTickCount();
    int32_t count = maxCount < 0 ? static_cast<int32_t>(mQueue.size()) : maxCount;
    if (mQueue.empty() && waitMs > 0)
    {
        mCrit.Leave();
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

        mCrit.Enter();
        HandleRepost(handler);
        if (count > 0 && --count == 0)
            break;
        if (waitMs > 0 && TicksSince(start) >= waitMs)
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
