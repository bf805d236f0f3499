// The cost of an asynchronous operation run through the core's queue and
// delivered on the pump thread, against a std::function handed to a worker
// thread through a mutex + condition-variable queue; and the cost of arming
// and removing a timeout entry.
#include "QORAPI.h"
#include "platform/Tick.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace QORAPI;

namespace {

// Completion side of both variants: counts down and wakes the benchmark thread.
struct Done
{
    std::mutex mMutex;
    std::condition_variable mCond;
    int mLeft = 0;

    void Arm(int count)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mLeft = count;
    }
    void One()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (--mLeft == 0)
            mCond.notify_one();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait(lock, [this] { return mLeft == 0; });
    }
};

class DoneParam : public RefCount
{
public:
    Done mDone;
};

class InstantOp : public AsyncOp
{
protected:
    void RunHook() override { Finish(WS_Success); }
};

void OnDone(SmartPtr<AsyncOp>, SmartPtr<RefCount> param)
{
    static_cast<DoneParam*>(param.Get())->mDone.One();
}

// The baseline: a worker thread fed through a mutex + condition variable.
class WorkerQueue
{
public:
    WorkerQueue() : mThread([this] { Run(); }) {}
    ~WorkerQueue()
    {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mStop = true;
        }
        mCond.notify_one();
        mThread.join();
    }
    void Post(std::function<void()> fn)
    {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mQueue.push_back(std::move(fn));
        }
        mCond.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;)
        {
            mCond.wait(lock, [this] { return mStop || !mQueue.empty(); });
            if (mQueue.empty())
                return;
            std::function<void()> fn = std::move(mQueue.front());
            mQueue.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    }

    std::mutex mMutex;
    std::condition_variable mCond;
    std::deque<std::function<void()>> mQueue;
    bool mStop = false;
    std::thread mThread;
};

void BM_CoreOpRoundTrip(benchmark::State& state)
{
    const int batch = static_cast<int>(state.range(0));
    QORAPICore core(true, true, false);
    SmartPtr<DoneParam> param(new DoneParam());
    std::vector<SmartPtr<AsyncOp>> ops;
    for (int i = 0; i < batch; ++i)
    {
        ops.emplace_back(new InstantOp());
        ops.back()->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnDone, param));
    }
    for (auto _ : state)
    {
        param->mDone.Arm(batch);
        for (auto& op : ops)
            op->RunAsync();
        param->mDone.Wait();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_CoreOpRoundTrip)->Arg(1)->Arg(1000)->UseRealTime();

void BM_BaselineFunctionRoundTrip(benchmark::State& state)
{
    const int batch = static_cast<int>(state.range(0));
    WorkerQueue worker;
    Done done;
    for (auto _ : state)
    {
        done.Arm(batch);
        for (int i = 0; i < batch; ++i)
            worker.Post([&done] { done.One(); });
        done.Wait();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_BaselineFunctionRoundTrip)->Arg(1)->Arg(1000)->UseRealTime();

// The same work on one thread: post a batch, then pump it on the caller.
void BM_CoreOpPumpedByCaller(benchmark::State& state)
{
    const int batch = static_cast<int>(state.range(0));
    QORAPICore core(false, true, false);
    SmartPtr<DoneParam> param(new DoneParam());
    std::vector<SmartPtr<AsyncOp>> ops;
    for (int i = 0; i < batch; ++i)
    {
        ops.emplace_back(new InstantOp());
        ops.back()->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnDone, param));
    }
    for (auto _ : state)
    {
        param->mDone.Arm(batch);
        for (auto& op : ops)
            op->RunAsync();
        core.Pump(0, 0);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_CoreOpPumpedByCaller)->Arg(1000);

void BM_CriticalSectionEnterLeave(benchmark::State& state)
{
    CriticalSection crit;
    for (auto _ : state)
    {
        crit.Enter();
        crit.Leave();
    }
}
BENCHMARK(BM_CriticalSectionEnterLeave);

void BM_GetTickCount(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(GetTickCount());
}
BENCHMARK(BM_GetTickCount);

void BM_BaselineRecursiveMutex(benchmark::State& state)
{
    std::recursive_mutex mutex;
    for (auto _ : state)
    {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_BaselineRecursiveMutex);

// Arming and removing a timeout entry on the running core's timer thread.
void BM_TimerArmRemove(benchmark::State& state)
{
    QORAPICore core(false, true, false);
    SmartPtr<AsyncOp> op(new AsyncOp());
    op->RunAsync(); // pending, never pumped
    for (auto _ : state)
    {
        QORAPICore::AddTimer(op, 60000);
        QORAPICore::RemoveTimer(op);
    }
    state.SetItemsProcessed(state.iterations());
    op->Finish(WS_Success);
}
BENCHMARK(BM_TimerArmRemove);

// Arming many operations with the same timeout, as a busy client does: each
// new entry lies behind the others.
void BM_TimerArmBatch(benchmark::State& state)
{
    QORAPICore core(false, true, false);
    std::vector<SmartPtr<AsyncOp>> ops;
    for (int i = 0; i < 1000; ++i)
    {
        ops.emplace_back(new AsyncOp());
        ops.back()->RunAsync();
    }
    for (auto _ : state)
    {
        for (auto& op : ops)
            QORAPICore::AddTimer(op, 60000);
        for (auto& op : ops)
            QORAPICore::RemoveTimer(op);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    for (auto& op : ops)
        op->Finish(WS_Success);
}
BENCHMARK(BM_TimerArmBatch);

// Baseline: the same pair of map operations under a mutex.
void BM_BaselineMapInsertErase(benchmark::State& state)
{
    std::mutex mutex;
    std::multimap<uint32_t, SmartPtr<AsyncOp>> map;
    SmartPtr<AsyncOp> op(new AsyncOp());
    uint32_t tick = 0;
    for (auto _ : state)
    {
        std::multimap<uint32_t, SmartPtr<AsyncOp>>::iterator it;
        {
            std::lock_guard<std::mutex> lock(mutex);
            it = map.emplace(++tick + 60000, op);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            map.erase(it);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineMapInsertErase);

} // namespace

BENCHMARK_MAIN();
