#include "common/AsyncOp.h"

#include "QORAPI.h"
#include "common/AsyncOpContainer.h"
#include "platform/Tick.h"

namespace QORAPI {

AsyncOp::AsyncOp()
    : mCompletionQueue(nullptr),
      mStartTick(0),
      mTimeout(InfiniteMs),
      mMode(OpMode_Async),
      mStatus(WS_None),
      mAwaitingCompletion(false),
      mKilled(false),
      mRunNumber(0),
      mTimerMap(nullptr)
{
}

AsyncOp::~AsyncOp() = default;

WSStatus AsyncOp::RunAsync(uint32_t timeout)
{
    return Run(OpMode_Async, timeout);
}

bool AsyncOp::RunBlock(uint32_t timeout)
{
    return Run(OpMode_Block, timeout) == WS_Success;
}

WSStatus AsyncOp::Run(OpMode mode, uint32_t timeout)
{
    uint32_t run;
    {
        ScopedLock lock(mCrit);
        if (IsPending())
            return WS_Pending;
        if (IsAwaitingCompletion())
            return WS_AwaitingCompletion;
        // The run's settings are stored before the lock is given up, so that a
        // Finish from another thread sees the mode of this run. The start tick
        // serves only TimeLeft of a blocking run.
        if (mode == OpMode_Block)
            mStartTick.store(GetTickCount(), std::memory_order_relaxed);
        BeginRunLocked(mode, timeout);
        run = GetRunNumber();
    }
    if (mode == OpMode_Async)
    {
        Post(run);
    }
    else
    {
        RunHook();
        DeliverCompletion();
    }
    return GetStatus();
}

WSStatus AsyncOp::RunAsTimer(uint32_t ms)
{
    {
        ScopedLock lock(mCrit);
        if (IsPending())
            return WS_Pending;
        if (IsAwaitingCompletion())
            return WS_AwaitingCompletion;
        mStartTick.store(GetTickCount(), std::memory_order_relaxed);
        BeginRunLocked(OpMode_Async, ms);
    }
    QORAPICore::AddTimer(SmartPtr<AsyncOp>(this), ms);
    return GetStatus();
}

void AsyncOp::BeginRunLocked(OpMode mode, uint32_t timeout)
{
    mTimeout.store(timeout, std::memory_order_relaxed);
    mMode.store(mode, std::memory_order_relaxed);
    mKilled.store(false, std::memory_order_release);
    mRunNumber.store(mRunNumber.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    mStatus.store(WS_Pending, std::memory_order_release);
}

void AsyncOp::Finish(WSStatus status)
{
    OpMode mode;
    uint32_t run;
    {
        ScopedLock lock(mCrit);
        if (!IsPending())
            return;
        mode = GetMode();
        run = GetRunNumber();
        mAwaitingCompletion.store(true, std::memory_order_release);
        mStatus.store(status, std::memory_order_release);
    }
    if (mode == OpMode_Async)
        Post(run);
}

void AsyncOp::ForceFinish(WSStatus status)
{
    ForceEnd(status, false);
}

void AsyncOp::ForceKill()
{
    ForceEnd(WS_Killed, true);
}

void AsyncOp::ForceEnd(WSStatus status, bool kill)
{
    {
        ScopedLock lock(mCrit);
        if (!IsPending())
        {
            if (IsAwaitingCompletion())
                return;
            // A kill always ends in a completion: an idle operation that was
            // last run blocking is finished as an asynchronous one.
            BeginRunLocked(kill ? OpMode_Async : GetMode(), GetTimeout());
        }
        if (kill)
            mKilled.store(true, std::memory_order_release);
    }
    Finish(status);
}

void AsyncOp::Kill(bool finish)
{
    {
        ScopedLock lock(mCrit);
        mKilled.store(true, std::memory_order_release);
    }
    if (finish)
        Finish(WS_Killed);
}

void AsyncOp::SetCompletion(const SmartPtr<AsyncOpCompletion>& completion)
{
    SmartPtr<AsyncOpCompletion> old;
    ScopedLock lock(mCrit);
    old = mCompletion;
    mCompletion = completion;
    lock.Leave(); // the old completion is released unlocked
}

SmartPtr<AsyncOpCompletion> AsyncOp::GetCompletion() const
{
    ScopedLock lock(mCrit);
    return mCompletion;
}

void AsyncOp::SetCompletionQueue(AsyncOpContainer* queue)
{
    if (!IsPending())
        mCompletionQueue.store(queue, std::memory_order_release);
}

void AsyncOp::SetTimeout(uint32_t ms)
{
    if (!IsPending())
        mTimeout.store(ms, std::memory_order_relaxed);
}

void AsyncOp::SetMode(OpMode mode)
{
    if (!IsPending())
        mMode.store(mode, std::memory_order_relaxed);
}

uint32_t AsyncOp::TimeLeft() const
{
    if (IsAsync())
        return 0;
    const uint32_t timeout = GetTimeout();
    if (timeout == InfiniteMs)
        return InfiniteMs;
    const uint32_t elapsed = TicksSince(mStartTick.load(std::memory_order_relaxed));
    return elapsed >= timeout ? 0 : timeout - elapsed;
}

void AsyncOp::StartPosted()
{
    RunHook();
    if (!IsPending())
        return;
    const uint32_t timeout = GetTimeout();
    if (timeout == 0)
        Finish(WS_TimedOut);
    else if (timeout != InfiniteMs)
        QORAPICore::AddTimer(SmartPtr<AsyncOp>(this), timeout);
}

void AsyncOp::DeliverCompletion()
{
    SmartPtr<AsyncOpCompletion> completion;
    bool timerArmed;
    {
        ScopedLock lock(mCrit);
        if (!IsAwaitingCompletion())
            return;
        mAwaitingCompletion.store(false, std::memory_order_release);
        timerArmed = mTimerMap.load(std::memory_order_acquire) != nullptr;
        completion = mCompletion;
    }
    if (timerArmed)
        QORAPICore::RemoveTimer(SmartPtr<AsyncOp>(this));
    CleanupHook();
    if (completion)
        completion->Complete(SmartPtr<AsyncOp>(this));
}

void AsyncOp::RunHook() {}

void AsyncOp::CleanupHook() {}

void AsyncOp::Post(uint32_t run)
{
    // The caller holds this operation; a queue entry takes its own reference.
    if (AsyncOpContainer* queue = mCompletionQueue.load(std::memory_order_acquire))
        queue->Add(this, run);
    else
        QORAPICore::QueueCompletion(this, run);
}

} // namespace QORAPI
