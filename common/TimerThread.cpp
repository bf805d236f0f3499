#include "common/TimerThread.h"

#include "platform/Tick.h"

namespace QORAPI {

namespace {
// The longest the thread sleeps at a time. Capping the wait lets Add skip the
// wake-up for entries that fall due after the thread looks again anyway.
const uint32_t kMaxWaitMs = 1000;
// The most removed entry nodes kept for reuse.
const size_t kMaxSpareNodes = 64;
}

TimerThread::TimerThread() : mLastTick(0), mWaiting(false), mWakeTick(0) {}

TimerThread::~TimerThread()
{
    KillAll();
}

void TimerThread::Add(const SmartPtr<AsyncOp>& op, uint32_t ms)
{
    if (!op)
        return;
    std::vector<Node> done; // released after the lock
    bool wake;
    {
        ScopedLock lock(mCrit);
        const uint32_t now = GetTickCount();
        // The counter wrapped since the last processing: handle that first, or
        // the entry armed now would count as due at the wrap.
        wake = now < mLastTick;
        if (wake)
            ProcessLocked(now, done);

        AsyncOp* target = op.Get();
        AsyncOpDeadlineMap* oldMap = target->mTimerMap.load(std::memory_order_relaxed);
        // The entry's node is reused: the one op had, else a spare one.
        Node node;
        if (oldMap && OwnsMap(oldMap))
            node = oldMap->extract(target->mTimerEntry);
        else if (!mSpareNodes.empty())
        {
            node = std::move(mSpareNodes.back());
            mSpareNodes.pop_back();
            node.mapped() = op;
        }

        AsyncOpDeadlineMap* map = ms > 0xFFFFFFFFu - now ? &mWrappedDeadlines : &mDeadlines;
        if (node)
        {
            node.key() = now + ms;
            target->mTimerEntry = map->insert(std::move(node));
        }
        else
        {
            target->mTimerEntry = map->emplace(now + ms, op);
        }
        target->mTimerMap.store(map, std::memory_order_release);
        // The thread's wait changes only when the new entry comes first and
        // falls due before the thread wakes by itself. A thread that is not
        // waiting computes its next wait from the maps anyway.
        wake = wake || (mWaiting && map == &mDeadlines && target->mTimerEntry == mDeadlines.begin() &&
                        ms < mWakeTick - now);
    }
    if (wake)
        Signal();
}

void TimerThread::Remove(const SmartPtr<AsyncOp>& op)
{
    if (!op)
        return;
    Node old;
    ScopedLock lock(mCrit);
    AsyncOp* target = op.Get();
    AsyncOpDeadlineMap* map = target->mTimerMap.load(std::memory_order_relaxed);
    if (!map || !OwnsMap(map))
        return;
    old = map->extract(target->mTimerEntry);
    target->mTimerMap.store(nullptr, std::memory_order_release);
    if (mSpareNodes.size() < kMaxSpareNodes)
    {
        // The caller holds op, so dropping the entry's reference here never
        // destroys it under the lock.
        old.mapped() = nullptr;
        mSpareNodes.push_back(std::move(old));
    }
    lock.Leave();
}

void TimerThread::ProcessLocked(uint32_t now, std::vector<Node>& done)
{
    if (now < mLastTick)
    {
        // Wrapped: every entry before the wrap is due.
        const size_t first = done.size();
        while (!mDeadlines.empty())
            done.push_back(mDeadlines.extract(mDeadlines.begin()));
        for (size_t i = first; i < done.size(); ++i)
        {
            AsyncOp* op = done[i].mapped().Get();
            op->mTimerMap.store(nullptr, std::memory_order_release);
            op->Finish(WS_TimedOut);
        }
        // The wrapped entries move over as they are; their positions stay
        // valid and now lie in mDeadlines.
        mDeadlines.swap(mWrappedDeadlines);
        for (auto& entry : mDeadlines)
            entry.second->mTimerMap.store(&mDeadlines, std::memory_order_release);
    }
    mLastTick = now;
    while (!mDeadlines.empty() && mDeadlines.begin()->first <= mLastTick)
    {
        done.push_back(mDeadlines.extract(mDeadlines.begin()));
        AsyncOp* op = done.back().mapped().Get();
        op->mTimerMap.store(nullptr, std::memory_order_release);
        op->Finish(WS_TimedOut);
    }
}

void TimerThread::ProcessTimers()
{
    std::vector<Node> done;
    ScopedLock lock(mCrit);
    ProcessLocked(GetTickCount(), done);
    lock.Leave();
}

uint32_t TimerThread::GetWaitTime()
{
    ScopedLock lock(mCrit);
    if (mDeadlines.empty())
        return 0xFFFFFFFFu - mLastTick + 10u;
    const uint32_t first = mDeadlines.begin()->first;
    return first > mLastTick ? first - mLastTick : 0;
}

void TimerThread::KillAll()
{
    std::vector<Node> done;
    ScopedLock lock(mCrit);
    for (AsyncOpDeadlineMap* map : {&mDeadlines, &mWrappedDeadlines})
    {
        while (!map->empty())
            done.push_back(map->extract(map->begin()));
    }
    for (Node& node : done)
    {
        AsyncOp* op = node.mapped().Get();
        op->mTimerMap.store(nullptr, std::memory_order_release);
        op->Kill(true);
    }
    mLastTick = 0;
    lock.Leave();
}

size_t TimerThread::GetDeadlineCount() const
{
    ScopedLock lock(mCrit);
    return mDeadlines.size();
}

size_t TimerThread::GetWrappedDeadlineCount() const
{
    ScopedLock lock(mCrit);
    return mWrappedDeadlines.size();
}

bool TimerThread::HasEntry(const SmartPtr<AsyncOp>& op) const
{
    uint32_t key;
    bool wrapped;
    return GetEntryKey(op, key, wrapped);
}

bool TimerThread::GetEntryKey(const SmartPtr<AsyncOp>& op, uint32_t& key, bool& wrapped) const
{
    if (!op)
        return false;
    ScopedLock lock(mCrit);
    const AsyncOpDeadlineMap* map = op->mTimerMap.load(std::memory_order_relaxed);
    if (!map || !OwnsMap(map))
        return false;
    key = op->mTimerEntry->first;
    wrapped = map == &mWrappedDeadlines;
    return true;
}

uint32_t TimerThread::ThreadProc()
{
    {
        ScopedLock lock(mCrit);
        mLastTick = GetTickCount();
    }
    for (;;)
    {
        uint32_t wait = GetWaitTime();
        if (wait > kMaxWaitMs)
            wait = kMaxWaitMs;
        {
            ScopedLock lock(mCrit);
            mWaiting = true;
            mWakeTick = GetTickCount() + wait;
        }
        mSignalEvent.Wait(wait);
        {
            ScopedLock lock(mCrit);
            mWaiting = false;
        }
        if (IsStopRequested())
            break;
        ProcessTimers();
    }
    return 0;
}

} // namespace QORAPI
