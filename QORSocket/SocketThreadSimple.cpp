#include "QORSocket/SocketThreadSimple.h"

#include <algorithm>
#include <vector>

namespace QORAPI {

SocketThreadSimple::SocketThreadSimple() = default;

SocketThreadSimple::~SocketThreadSimple()
{
    PurgeOps();
}

uint32_t SocketThreadSimple::ThreadProc()
{
    while (!IsStopRequested())
        Pump(20);
    return 0;
}

void SocketThreadSimple::AddOp(const SmartPtr<SocketOp>& op)
{
    if (!op)
        return;
    ScopedLock lock(mCrit);
    mOps.insert(op);
    op->mInSocketThread = true;
}

void SocketThreadSimple::RemoveOp(const SmartPtr<SocketOp>& op)
{
    if (!op)
        return;
    ScopedLock lock(mCrit);
    mOps.erase(op);
    op->mInSocketThread = false;
}

void SocketThreadSimple::Pump(uint32_t ms)
{
    {
        ScopedLock lock(mCrit);
        // A copy: an attempt may add or remove operations.
        std::vector<SmartPtr<SocketOp>> ops(mOps.begin(), mOps.end());
        for (auto& op : ops)
        {
            if (op->TryOp())
                mOps.erase(op);
        }
    }
    const uint32_t wait = std::min<uint32_t>(ms, 20);
    if (wait > 0)
        mSignalEvent.Wait(wait);
}

void SocketThreadSimple::PurgeOps()
{
    ScopedLock lock(mCrit);
    std::set<SmartPtr<SocketOp>> ops;
    ops.swap(mOps);
    for (auto& op : ops)
    {
        op->mInSocketThread = false;
        op->Kill(true);
    }
}

size_t SocketThreadSimple::GetOpCount() const
{
    ScopedLock lock(const_cast<CriticalSection&>(mCrit));
    return mOps.size();
}

} // namespace QORAPI
