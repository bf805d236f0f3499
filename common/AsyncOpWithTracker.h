// AsyncOpWithTracker: the base of operations that run sub-operations.
//
// Track gives a sub-operation a TrackerCompletion and records it in mTracker.
// When a tracked sub-operation ends by itself while the owner is pending, the
// owner's OnTrackedOpDone is called with it and its param; sub-operations the
// owner killed, or that end after the owner, are ignored. The owner's
// CleanupHook kills every sub-operation still tracked.
//
// Thread safety: as AsyncOp. OnTrackedOpDone runs on the thread that delivers
// the sub-operation's completion, with no lock held.
#ifndef QORAPI_COMMON_ASYNCOPWITHTRACKER_H
#define QORAPI_COMMON_ASYNCOPWITHTRACKER_H

#include "common/AsyncOp.h"
#include "common/Completion.h"
#include "common/OpTracker.h"

#include <cstdint>

namespace QORAPI {

class AsyncOpWithTracker : public AsyncOp
{
public:
    // The completion of a tracked sub-operation. It holds the owner; the cycle
    // owner -> tracker -> sub-operation -> completion -> owner is broken when
    // the sub-operation leaves the tracker and is released.
    class TrackerCompletion : public AsyncOpCompletion
    {
    public:
        TrackerCompletion(const SmartPtr<AsyncOpWithTracker>& owner, int32_t param)
            : mOwner(owner), mParam(param)
        {
        }
        void Complete(SmartPtr<AsyncOp> op) override;

    private:
        SmartPtr<AsyncOpWithTracker> mOwner;
        int32_t mParam;
    };

    AsyncOpWithTracker() = default;
    ~AsyncOpWithTracker() override = default;

    // Sets op's completion to a TrackerCompletion and tracks it with param;
    // an operation already tracked keeps its first entry.
    void Track(const SmartPtr<AsyncOp>& op, int32_t param);
    OpTracker& GetTracker() { return mTracker; }

protected:
    // Kills every tracked sub-operation.
    void CleanupHook() override;
    // A tracked sub-operation ended by itself; nothing here.
    virtual bool OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param);

    OpTracker mTracker;
};

} // namespace QORAPI

#endif
