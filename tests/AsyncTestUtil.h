// Run modes of the library core for the asynchronous socket tests, and a
// bounded wait for an operation's completion in each of them.
#ifndef QORAPI_TESTS_ASYNCTESTUTIL_H
#define QORAPI_TESTS_ASYNCTESTUTIL_H

#include "QORAPI.h"
#include "SocketTestUtil.h"
#include "common/AsyncOp.h"
#include "common/Completion.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace QORAPI {
namespace TestUtil {

struct CoreMode
{
    bool threaded;
    bool useEx;
    const char* name;
};

inline std::string CoreModeName(const testing::TestParamInfo<CoreMode>& info)
{
    return info.param.name;
}

const CoreMode kCoreModes[] = {
    {true, true, "ThreadedEx"},
    {true, false, "ThreadedSimple"},
    {false, true, "PumpedEx"},
    {false, false, "PumpedSimple"},
};

// Counts completions and remembers the thread and status of the last one.
struct DoneFlag : public RefCount
{
    std::atomic<int> count{0};
    std::atomic<int32_t> status{WS_None};
};

inline void OnDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    DoneFlag* flag = static_cast<DoneFlag*>(param.Get());
    flag->status = op->GetStatus();
    flag->count.fetch_add(1);
}

inline SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> DoneCompletion(const SmartPtr<DoneFlag>& flag)
{
    return new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnDone, SmartPtr<RefCount>(flag.Get()));
}

// A core in one run mode; threaded cores deliver completions on the pump
// thread, the others only while the test pumps.
class CoreHolder
{
public:
    explicit CoreHolder(const CoreMode& mode)
        : mMode(mode), mCore(new QORAPICore(mode.threaded, mode.threaded, mode.useEx))
    {
    }

    QORAPICore& Core() { return *mCore; }
    const CoreMode& Mode() const { return mMode; }

    // Pumps (not threaded) or sleeps briefly (threaded) once.
    void Step()
    {
        if (mMode.threaded)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        else
            mCore->Pump(20, 0);
    }

    // Waits, bounded, until flag has seen at least n completions.
    bool WaitFor(const SmartPtr<DoneFlag>& flag, int n = 1, uint32_t bound = kWait)
    {
        const uint32_t start = GetTickCount();
        while (flag->count.load() < n && TicksSince(start) < bound)
            Step();
        return flag->count.load() >= n;
    }

    // Runs op asynchronously and waits for its completion; returns its status.
    WSStatus Run(const SmartPtr<AsyncOp>& op, uint32_t timeout = kWait)
    {
        SmartPtr<DoneFlag> flag = new DoneFlag;
        op->SetCompletion(DoneCompletion(flag));
        op->RunAsync(timeout);
        if (!WaitFor(flag, 1, timeout == 0xFFFFFFFFu ? kWait : timeout + kWait))
            return WS_None;
        return static_cast<WSStatus>(flag->status.load());
    }

private:
    CoreMode mMode;
    std::unique_ptr<QORAPICore> mCore;
};

} // namespace TestUtil
} // namespace QORAPI

#endif
