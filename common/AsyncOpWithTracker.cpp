#include "common/AsyncOpWithTracker.h"

namespace QORAPI {

void AsyncOpWithTracker::TrackerCompletion::Complete(SmartPtr<AsyncOp> op)
{
    if (mOwner->IsPending() && mOwner->mTracker.Remove(op))
        mOwner->OnTrackedOpDone(op, mParam);
}

void AsyncOpWithTracker::Track(const SmartPtr<AsyncOp>& op, int32_t param)
{
    if (!op)
        return;
    op->SetCompletion(SmartPtr<AsyncOpCompletion>(new TrackerCompletion(SmartPtr<AsyncOpWithTracker>(this), param)));
    mTracker.Add(op, param);
}

void AsyncOpWithTracker::CleanupHook()
{
    mTracker.KillAll();
}

bool AsyncOpWithTracker::OnTrackedOpDone(const SmartPtr<AsyncOp>&, int32_t)
{
    return false;
}

} // namespace QORAPI
