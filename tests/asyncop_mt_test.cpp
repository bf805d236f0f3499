// Stress tests of the operation life cycle: many threads running, finishing,
// killing and timing out operations at once. Every run must report exactly
// one status to its completion.
#include "QORAPI.h"
#include "platform/Tick.h"
#include "CoreTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace QORAPI;
using namespace QORAPI::Test;

namespace {

struct Tracked
{
    SmartPtr<HookOp> mOp;
    SmartPtr<Record> mRec;
};

bool IsFinal(int32_t status)
{
    return status == WS_Success || status == WS_TimedOut || status == WS_Killed || status == WS_InvalidMessage;
}

// Waits until every operation has reported, at most about ten seconds.
bool WaitAll(const std::vector<Tracked>& ops)
{
    const auto reported = [](const Tracked& t) { return t.mRec->mCount >= 1; };
    for (int i = 0; i < 5000 && !std::all_of(ops.begin(), ops.end(), reported); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return std::all_of(ops.begin(), ops.end(), reported);
}

// One operation with a random fate: finished by its hook, by a timeout, by this
// thread, or killed by a neighbour.
Tracked StartRandomOp(std::mt19937& rng, std::vector<SmartPtr<HookOp>>& toFinish, std::vector<SmartPtr<HookOp>>& toKill)
{
    Tracked t{new HookOp(), nullptr};
    t.mRec = Attach(t.mOp);
    switch (rng() % 6)
    {
    case 0:
        t.mOp->mRun = [](HookOp* self) { self->Finish(WS_Success); };
        t.mOp->RunAsync(rng() % 3);
        break;
    case 1:
        t.mOp->RunAsync(rng() % 3); // a timeout of 0 to 2 ms
        break;
    case 2:
        t.mOp->RunAsTimer(rng() % 3);
        break;
    case 3:
        t.mOp->RunAsync(1 + rng() % 2);
        toFinish.push_back(t.mOp); // races its timeout
        break;
    case 4:
        t.mOp->RunAsync(InfiniteMs);
        toKill.push_back(t.mOp);
        break;
    default:
        t.mOp->RunAsync(2);
        toKill.push_back(t.mOp); // races its timeout
        break;
    }
    return t;
}

void CheckExactlyOnce(const std::vector<Tracked>& ops)
{
    EXPECT_EQ(std::count_if(ops.begin(), ops.end(),
                            [](const Tracked& t) { return t.mRec->mCount != 1 || !IsFinal(t.mRec->mLastStatus); }),
              0);
}

// Runs threads x perThread operations of random fates against core; pumpers
// application threads call core.Pump as well.
void RunMixedLoad(QORAPICore& core, int threads, int perThread, int pumpers)
{
    std::vector<std::vector<Tracked>> results(threads);
    std::vector<std::vector<SmartPtr<HookOp>>> killLists(threads);
    std::vector<std::thread> workers;
    std::atomic<bool> stopPumping{false};
    std::vector<std::thread> pumps;
    for (int p = 0; p < pumpers; ++p)
        pumps.emplace_back([&] {
            while (!stopPumping)
                core.Pump(5, 0);
        });
    std::mutex killMutex;
    for (int w = 0; w < threads; ++w)
    {
        workers.emplace_back([&, w] {
            std::mt19937 rng(1234 + w);
            std::vector<SmartPtr<HookOp>> toFinish;
            std::vector<SmartPtr<HookOp>> toKill;
            for (int i = 0; i < perThread; ++i)
            {
                results[w].push_back(StartRandomOp(rng, toFinish, toKill));
                if (toFinish.size() > 8)
                {
                    for (auto& op : toFinish)
                        op->Finish(WS_InvalidMessage);
                    toFinish.clear();
                }
                if (toKill.size() > 8)
                {
                    // Kill the neighbour's operations, and ours.
                    std::lock_guard<std::mutex> lock(killMutex);
                    std::vector<SmartPtr<HookOp>>& other = killLists[(w + 1) % threads];
                    for (auto& op : other)
                        op->Kill(true);
                    other.clear();
                    killLists[w].insert(killLists[w].end(), toKill.begin(), toKill.end());
                    toKill.clear();
                }
            }
            for (auto& op : toFinish)
                op->Finish(WS_InvalidMessage);
            for (auto& op : toKill)
                op->Kill(true);
        });
    }
    for (auto& t : workers)
        t.join();
    for (auto& list : killLists)
        for (auto& op : list)
            op->Kill(true);
    std::vector<Tracked> all;
    for (auto& r : results)
        all.insert(all.end(), r.begin(), r.end());
    EXPECT_TRUE(WaitAll(all));
    stopPumping = true;
    for (auto& t : pumps)
        t.join();
    CheckExactlyOnce(all);
}

} // namespace

TEST(AsyncOpStress, PumpThreadDeliversEveryRunOnce)
{
    QORAPICore core(true, true, false);
    RunMixedLoad(core, 4, 1500, 0);
}

TEST(AsyncOpStress, SeveralPumpingThreadsDeliverEveryRunOnce)
{
    QORAPICore core(true, true, false);
    RunMixedLoad(core, 3, 1500, 2);
}

TEST(AsyncOpStress, NotThreadedCoreWithOnePumper)
{
    QORAPICore core(false, false, false);
    RunMixedLoad(core, 3, 1000, 1);
}

// One operation re-run by its own completion many times while another thread
// kills it: every run reports once.
TEST(AsyncOpStress, RerunChainWithConcurrentKills)
{
    QORAPICore core(true, true, false);
    SmartPtr<HookOp> op(new HookOp());
    op->mRun = [](HookOp* self) {
        if (self->mRuns % 3 == 0)
            self->Finish(WS_Success);
    };
    SmartPtr<Record> rec = Attach(op);
    std::atomic<int> starts{0};
    const int runs = 3000;
    // Delivered means idle, so the re-run always starts (its returned status
    // may already be WS_Killed).
    rec->mAction = [&starts, runs](const SmartPtr<AsyncOp>& self) {
        if (starts < runs)
        {
            ++starts;
            self->RunAsync(1 + starts % 3);
        }
    };
    ++starts;
    op->RunAsync(1);
    std::atomic<bool> done{false};
    std::thread killer([&] {
        while (!done)
        {
            op->Kill(true);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 5000 && rec->mCount < runs; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    done = true;
    killer.join();
    for (int i = 0; i < 500 && (op->IsPending() || op->IsAwaitingCompletion()); ++i)
    {
        op->Kill(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(rec->mCount, starts.load());
    EXPECT_GE(rec->mCount, runs);
}

// Shutdown while other threads run, finish and kill operations: no run reports
// twice; a run either reported once with a final status, or ended unreported
// because the core was no longer active.
TEST(AsyncOpStress, ShutdownDuringLoad)
{
    for (int round = 0; round < 3; ++round)
    {
        std::vector<std::vector<Tracked>> results(3);
        {
            QORAPICore core(true, true, false);
            std::atomic<bool> stop{false};
            std::vector<std::thread> workers;
            for (int w = 0; w < 3; ++w)
            {
                workers.emplace_back([&, w] {
                    std::mt19937 rng(99 + w + round * 7);
                    std::vector<SmartPtr<HookOp>> toFinish;
                    std::vector<SmartPtr<HookOp>> toKill;
                    for (int i = 0; i < 3000 && !stop; ++i)
                    {
                        results[w].push_back(StartRandomOp(rng, toFinish, toKill));
                        for (auto& op : toFinish)
                            op->Finish(WS_InvalidMessage);
                        toFinish.clear();
                        if (i % 4 == 0)
                        {
                            for (auto& op : toKill)
                                op->Kill(true);
                            toKill.clear();
                        }
                    }
                    for (auto& op : toKill)
                        op->Kill(true);
                });
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30 + 20 * round));
            core.Shutdown();
            stop = true;
            for (auto& t : workers)
                t.join();
        }
        int bad = 0;
        for (auto& list : results)
        {
            for (const Tracked& t : list)
            {
                // A run ended without delivery must still be pending or awaiting.
                const int count = t.mRec->mCount;
                if (count > 1 || (count == 1 && !IsFinal(t.mRec->mLastStatus)) ||
                    (count == 0 && !t.mOp->IsPending() && !t.mOp->IsAwaitingCompletion()))
                    ++bad;
            }
        }
        EXPECT_EQ(bad, 0) << "round " << round;
    }
}

// Tracked sub-operations finished, killed and timed out from several threads
// while the owner kills them by param.
class OwnerOp : public AsyncOpWithTracker
{
public:
    std::atomic<int> mDone{0};

protected:
    bool OnTrackedOpDone(const SmartPtr<AsyncOp>&, int32_t) override
    {
        ++mDone;
        return true;
    }
};

TEST(AsyncOpStress, TrackerUnderConcurrentKills)
{
    QORAPICore core(true, true, false);
    SmartPtr<OwnerOp> owner(new OwnerOp());
    SmartPtr<Record> ownerRec = Attach(owner);
    owner->RunAsync();
    for (int i = 0; i < 500 && !owner->IsPending(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<SmartPtr<HookOp>> subs;
    for (int i = 0; i < 2000; ++i)
    {
        SmartPtr<HookOp> sub(new HookOp());
        owner->Track(sub, i % 4);
        sub->RunAsync(i % 5 == 0 ? 1 : InfiniteMs);
        subs.push_back(sub);
    }
    std::thread finisher([&] {
        for (size_t i = 0; i < subs.size(); i += 2)
            subs[i]->Finish(WS_Success);
    });
    std::thread killer([&] {
        owner->GetTracker().KillByParam(1);
        owner->GetTracker().KillByParam(3);
    });
    finisher.join();
    killer.join();
    for (int i = 0; i < 1000; ++i)
    {
        bool settled = true;
        for (auto& sub : subs)
            if (sub->IsPending() && sub->GetTimeout() != InfiniteMs)
                settled = false;
        if (settled && core.GetQueue().GetCount() == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    owner->Finish(WS_Success); // its cleanup kills what is left
    for (int i = 0; i < 1000 && ownerRec->mCount == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(ownerRec->mCount, 1);
    for (int i = 0; i < 1000 && core.GetQueue().GetCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(owner->GetTracker().GetCount(), 0u);
    EXPECT_LE(owner->mDone.load(), 2000);
    for (auto& sub : subs)
        EXPECT_FALSE(sub->IsPending());
}
