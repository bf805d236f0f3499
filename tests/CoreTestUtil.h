// Helpers shared by the tests of operations and the library core.
#ifndef QORAPI_TESTS_CORETESTUTIL_H
#define QORAPI_TESTS_CORETESTUTIL_H

#include "QORAPI.h"
#include "platform/PlatformThread.h"

#include <atomic>
#include <functional>

namespace QORAPI {
namespace Test {

// Records every call of the completion it is the parameter of.
class Record : public RefCount
{
public:
    std::atomic<int> mCount{0};
    std::atomic<int32_t> mLastStatus{WS_None};
    std::atomic<PlatformThreadId> mThread{0};
    std::atomic<bool> mKilledSeen{false};
    std::atomic<bool> mAwaitingSeen{false};
    std::function<void(const SmartPtr<AsyncOp>&)> mAction; // set before the run
};

inline void OnRecord(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Record* record = static_cast<Record*>(param.Get());
    record->mLastStatus = op->GetStatus();
    record->mThread = CurrentThreadId();
    record->mKilledSeen = op->IsKilled();
    record->mAwaitingSeen = op->IsAwaitingCompletion();
    // The count goes up last: a thread that sees it also sees what the
    // action wrote.
    if (record->mAction)
        record->mAction(op);
    ++record->mCount;
}

inline SmartPtr<Record> Attach(const SmartPtr<AsyncOp>& op)
{
    SmartPtr<Record> record(new Record());
    op->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnRecord, record));
    return record;
}

// An operation whose hook runs a given function.
class HookOp : public AsyncOp
{
public:
    std::function<void(HookOp*)> mRun;
    std::atomic<int> mRuns{0};
    std::atomic<int> mCleanups{0};

protected:
    void RunHook() override
    {
        ++mRuns;
        if (mRun)
            mRun(this);
    }
    void CleanupHook() override { ++mCleanups; }
};

} // namespace Test
} // namespace QORAPI

#endif
