#include "common/OpTracker.h"

#include <vector>

namespace QORAPI {

bool OpTracker::Add(const SmartPtr<AsyncOp>& op, int32_t param)
{
    if (!op)
        return false;
    ScopedLock lock(mCrit);
    if (mByOp.count(op.Get()) != 0)
        return false;
    mByOp.emplace(op.Get(), mByParam.emplace(param, op));
    return true;
}

bool OpTracker::Remove(const SmartPtr<AsyncOp>& op)
{
    SmartPtr<AsyncOp> held; // released after the lock
    ScopedLock lock(mCrit);
    auto found = mByOp.find(op.Get());
    if (found == mByOp.end())
        return false;
    held = std::move(found->second->second);
    mByParam.erase(found->second);
    mByOp.erase(found);
    lock.Leave();
    return true;
}

void OpTracker::KillOp(const SmartPtr<AsyncOp>& op)
{
    ScopedLock lock(mCrit);
    if (Remove(op))
        op->Kill(true);
}

void OpTracker::KillByParam(int32_t param)
{
    std::vector<SmartPtr<AsyncOp>> killed; // released after the lock
    ScopedLock lock(mCrit);
    auto range = mByParam.equal_range(param);
    for (auto it = range.first; it != range.second;)
    {
        killed.push_back(std::move(it->second));
        mByOp.erase(killed.back().Get());
        it = mByParam.erase(it);
    }
    for (SmartPtr<AsyncOp>& op : killed)
        op->Kill(true);
    lock.Leave();
}

void OpTracker::KillAll()
{
    ParamIndex killed; // released after the lock
    ScopedLock lock(mCrit);
    killed.swap(mByParam);
    mByOp.clear();
    for (auto& entry : killed)
        entry.second->Kill(true);
    lock.Leave();
}

bool OpTracker::IsTracked(const SmartPtr<AsyncOp>& op) const
{
    ScopedLock lock(mCrit);
    return mByOp.count(op.Get()) != 0;
}

bool OpTracker::GetParam(const SmartPtr<AsyncOp>& op, int32_t& param) const
{
    ScopedLock lock(mCrit);
    auto found = mByOp.find(op.Get());
    if (found == mByOp.end())
        return false;
    param = found->second->first;
    return true;
}

size_t OpTracker::GetCount() const
{
    ScopedLock lock(mCrit);
    return mByOp.size();
}

size_t OpTracker::GetCount(int32_t param) const
{
    ScopedLock lock(mCrit);
    return mByParam.count(param);
}

} // namespace QORAPI
