#include "common/AsyncOpContainer.h"

#include "platform/Tick.h"

namespace QORAPI {

AsyncOpContainer::AsyncOpContainer()
    : mEvent(false, false), mCurOp(nullptr), mCurOpReposted(false), mKillingAll(false)
{
}

AsyncOpContainer::~AsyncOpContainer()
{
    KillAll();
}

void AsyncOpContainer::Add(const SmartPtr<AsyncOp>& op)
{
    if (!op)
        return;
    {
        ScopedLock lock(mCrit);
        if (op.Get() == mCurOp)
        {
            // The thread handling it picks the new state up right after its
            // current step. Finishing after that thread looked is noted, so
            // that the completion is not lost.
            if (!op->IsPending() || mKillingAll)
            {
                mCurOpReposted = true;
                return;
            }
        }
        mQueue.push_back(op);
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

void AsyncOpContainer::HandleRepost(AsyncOp* op)
{
    while (mCurOpReposted)
    {
        mCurOpReposted = false;
        const bool killing = mKillingAll;
        mCrit.Leave();
        if (killing && op->IsPending())
            op->Kill(true);
        if (op->IsAwaitingCompletion())
            op->DeliverCompletion();
        mCrit.Enter();
    }
}

void AsyncOpContainer::Pump(uint32_t waitMs, int32_t maxCount)
{
    SmartPtr<AsyncOp> op; // released outside the lock
    mCrit.Enter();
    const uint32_t start = GetTickCount();
    int32_t count = maxCount < 0 ? static_cast<int32_t>(mQueue.size()) : maxCount;
    if (mQueue.empty() && waitMs > 0)
    {
        mCrit.Leave();
        mEvent.Wait(waitMs);
        mCrit.Enter();
    }
    while (!mQueue.empty())
    {
        SmartPtr<AsyncOp> next = std::move(mQueue.front());
        mQueue.pop_front();
        mCurOp = next.Get();
        mCurOpReposted = false;
        mCrit.Leave();

        op = std::move(next);
        if (op->IsPending())
            op->StartPosted();
        if (op->IsAwaitingCompletion())
            op->DeliverCompletion();

        mCrit.Enter();
        HandleRepost(op.Get());
        if (count > 0 && --count == 0)
            break;
        if (waitMs > 0 && TicksSince(start) >= waitMs)
            break;
    }
    mCurOp = nullptr;
    mCurOpReposted = false;
    mCrit.Leave();
}

void AsyncOpContainer::KillAll()
{
    SmartPtr<AsyncOp> op;
    mCrit.Enter();
    mKillingAll = true;
    while (!mQueue.empty())
    {
        SmartPtr<AsyncOp> next = std::move(mQueue.front());
        mQueue.pop_front();
        mCurOp = next.Get();
        mCurOpReposted = false;
        mCrit.Leave();

        op = std::move(next);
        if (op->IsPending())
            op->Kill(true);
        op->DeliverCompletion();

        mCrit.Enter();
        HandleRepost(op.Get());
    }
    mCurOp = nullptr;
    mCurOpReposted = false;
    mKillingAll = false;
    mCrit.Leave();
}

size_t AsyncOpContainer::GetCount() const
{
    ScopedLock lock(mCrit);
    return mQueue.size();
}

} // namespace QORAPI
