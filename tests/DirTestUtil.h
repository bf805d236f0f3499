// Helpers of the directory tests: a library core with a pump thread, local
// directory servers on loopback, and running an operation in either mode with
// a bounded wait for its completion.
#ifndef QORAPI_TESTS_DIRTESTUTIL_H
#define QORAPI_TESTS_DIRTESTUTIL_H

#include "QORAPI.h"
#include "QORSocket/InetAddress.h"
#include "auth/ServerContext.h"
#include "common/AsyncOp.h"
#include "common/Completion.h"
#include "service/DirServer.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace QORAPI {
namespace DirTest {

const uint32_t kLoopback = 0x7F000001u;

inline InetAddress Local(uint16_t port) { return InetAddress(kLoopback, port); }

// The ports of a context's addresses, in its current order.
inline std::vector<uint16_t> PortsOf(ServerContext& ctx)
{
    InetAddressList list;
    ctx.CopyAddresses(list);
    std::vector<uint16_t> ports;
    for (const InetAddress& a : list)
        ports.push_back(a.GetPort());
    return ports;
}

// Counts completions; the test waits for them with a bound.
class Waiter : public RefCount
{
public:
    void Done(WSStatus status, bool stillPending)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mCount;
        mLast = status;
        if (stillPending)
            ++mPendingInCompletion;
        mCond.notify_all();
    }
    bool WaitFor(int count, int ms)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return mCount >= count; });
    }
    int Count()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCount;
    }
    WSStatus Last()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLast;
    }
    int PendingInCompletion()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPendingInCompletion;
    }

    static void OnComplete(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
    {
        static_cast<Waiter*>(param.Get())->Done(op->GetStatus(), op->IsPending());
    }

    SmartPtr<AsyncOpCompletion> MakeCompletion()
    {
        return new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&Waiter::OnComplete, SmartPtr<RefCount>(this));
    }

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    int mCount = 0;
    int mPendingInCompletion = 0;
    WSStatus mLast = WS_None;
};

// Runs op blocking or asynchronously (timeout ms) and returns its final
// status; an asynchronous run that does not complete within waitMs is killed
// and reported as WS_Pending.
inline WSStatus RunOp(const SmartPtr<AsyncOp>& op, bool async, uint32_t timeout = 10000, int waitMs = 20000)
{
    SmartPtr<Waiter> waiter = new Waiter;
    op->SetCompletion(waiter->MakeCompletion());
    if (!async)
    {
        op->RunBlock(timeout);
        return waiter->Count() == 1 ? op->GetStatus() : WS_None;
    }
    op->RunAsync(timeout);
    if (!waiter->WaitFor(1, waitMs))
    {
        op->Kill(true);
        waiter->WaitFor(1, 5000);
        return WS_Pending;
    }
    return waiter->Last();
}

} // namespace DirTest
} // namespace QORAPI

#endif
