// Stress tests of the operation life cycle: many threads running, finishing,
// killing and timing out operations at once. Every run must report exactly
// one status to its completion.
#include "QORAPI.h"
#include "QORSocket/RecvMsgOp.h"
#include "platform/Tick.h"
#include "CoreTestUtil.h"
#include "SocketTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
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
    // A run killed before its start is never started, and no run twice.
    EXPECT_LE(op->mRuns.load(), starts.load());
}

// Shutdown while other threads run, finish and kill operations: every run
// reports exactly once with a final status, those that end after Shutdown
// by the time the core is gone.
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
            for (const Tracked& t : list)
                if (t.mRec->mCount != 1 || !IsFinal(t.mRec->mLastStatus) || t.mOp->IsAwaitingCompletion())
                    ++bad;
        EXPECT_EQ(bad, 0) << "round " << round;
    }
}

namespace {

std::atomic<int> gAliveOps{0};

// Counts its instances, so that a test sees whether cycles were broken.
template <class Base>
class Counted : public Base
{
public:
    Counted() { ++gAliveOps; }
    ~Counted() override { --gAliveOps; }
};

// Runs a timer and a receive as tracked sub-operations and ends with the
// status of the first that ends.
class TwoSubsOp : public Counted<AsyncOpWithTracker>
{
public:
    explicit TwoSubsOp(const SmartPtr<AsyncSocket>& socket)
        : mTimer(new Counted<AsyncOp>()), mRecv(new Counted<RecvMsgOp>())
    {
        mRecv->SetSocket(socket);
    }

    SmartPtr<AsyncOp> mTimer;
    SmartPtr<RecvMsgOp> mRecv;

protected:
    void RunHook() override
    {
        Track(mTimer, 1);
        Track(SmartPtr<AsyncOp>(mRecv.Get()), 2);
        mTimer->RunAsTimer(60000);
        mRecv->RunAsync();
    }
    bool OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t) override
    {
        Finish(op->GetStatus());
        return true;
    }
};

} // namespace

// Shutdown with operations on every thread: standing in the queue, in a hook
// on the pump thread, on the timer thread, on the socket thread, and an owner
// whose sub-operations are there. Every run ends with one completion
// (WS_Killed) before Shutdown returns, the owner's cycle is broken, and the
// same operations run again on a new core.
TEST(AsyncOpStress, ShutdownEndsEveryRunOnEveryThread)
{
    using TestUtil::Connected;
    for (const bool useEx : {false, true})
    {
        auto [client, server] = Connected();
        auto [client2, server2] = Connected();
        std::unique_ptr<QORAPICore> core(new QORAPICore(true, true, useEx));

        SmartPtr<AsyncOp> timer(new AsyncOp());
        SmartPtr<RecvMsgOp> recv(new RecvMsgOp(server));
        SmartPtr<TwoSubsOp> owner(new TwoSubsOp(server2));
        SmartPtr<HookOp> blocker(new HookOp());
        std::atomic<bool> blocking{false};
        blocker->mRun = [&blocking](HookOp*) {
            blocking = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        };
        std::vector<SmartPtr<AsyncOp>> ops = {timer, SmartPtr<AsyncOp>(recv.Get()), SmartPtr<AsyncOp>(owner.Get()),
                                              SmartPtr<AsyncOp>(blocker.Get())};
        for (int i = 0; i < 4; ++i)
            ops.push_back(new HookOp());
        std::vector<SmartPtr<Record>> recs;
        for (auto& op : ops)
            recs.push_back(Attach(op));

        timer->RunAsTimer(60000);
        recv->RunAsync();
        owner->RunAsync();
        for (int i = 0; i < 2500 && !(recv->IsInSocketThread() && owner->mRecv->IsInSocketThread()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(recv->IsInSocketThread());
        ASSERT_TRUE(owner->mRecv->IsInSocketThread());
        blocker->RunAsync(60000); // its hook returns after Shutdown began
        for (int i = 0; i < 2500 && !blocking; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        for (size_t i = 4; i < ops.size(); ++i)
            ops[i]->RunAsync(60000); // stand in the queue behind the blocker
        core->Shutdown();

        for (size_t i = 0; i < ops.size(); ++i)
        {
            EXPECT_EQ(recs[i]->mCount, 1) << i;
            EXPECT_EQ(recs[i]->mLastStatus, WS_Killed) << i;
            EXPECT_FALSE(ops[i]->IsAwaitingCompletion()) << i;
        }
        EXPECT_EQ(blocker->mRuns, 1);
        EXPECT_EQ(owner->GetTracker().GetCount(), 0u);
        EXPECT_FALSE(recv->IsInSocketThread());
        EXPECT_FALSE(owner->mRecv->IsInSocketThread());

        // Nothing holds the owner or its sub-operations any more.
        owner->mTimer = nullptr;
        owner->mRecv = nullptr;
        ops[2] = nullptr;
        owner = nullptr;
        EXPECT_EQ(gAliveOps.load(), 0);

        // The same operations run again on a new core.
        core.reset();
        core.reset(new QORAPICore(true, true, useEx));
        ASSERT_EQ(timer->RunAsTimer(10), WS_Pending);
        ASSERT_EQ(recv->RunAsync(), WS_Pending);
        ASSERT_EQ(TestUtil::SendAll(*client, TestUtil::Frame("again", 4)), WS_Success);
        for (int i = 0; i < 2500 && (recs[0]->mCount < 2 || recs[1]->mCount < 2); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(recs[0]->mCount, 2);
        EXPECT_EQ(recs[0]->mLastStatus, WS_TimedOut);
        EXPECT_EQ(recs[1]->mCount, 2);
        EXPECT_EQ(recs[1]->mLastStatus, WS_Success);
        EXPECT_EQ(TestUtil::Str(recv->GetMsg()), "again");
    }
}

// Tracked sub-operations finished, killed and timed out from several threads
// while the owner kills them by param. A sub-operation reaches the owner at
// most once, exactly once when it ended by itself, never when killed.
class OwnerOp : public AsyncOpWithTracker
{
public:
    std::mutex mLock;
    std::map<const AsyncOp*, int> mDone; // calls of OnTrackedOpDone per sub-operation

    int Calls(const AsyncOp* op)
    {
        std::lock_guard<std::mutex> hold(mLock);
        auto it = mDone.find(op);
        return it == mDone.end() ? 0 : it->second;
    }
    size_t Reached()
    {
        std::lock_guard<std::mutex> hold(mLock);
        return mDone.size();
    }

protected:
    bool OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param) override
    {
        if (param % 2 == 1) // never finished by hand: killed (never here) or timed out
        {
            EXPECT_EQ(op->GetStatus(), WS_TimedOut);
        }
        std::lock_guard<std::mutex> hold(mLock);
        ++mDone[op.Get()];
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
    // Every sub-operation has ended; the even ones (params 0 and 2) all end by
    // themselves and must each reach the owner.
    const auto evenReached = [&] {
        for (size_t i = 0; i < subs.size(); i += 2)
            if (owner->Calls(subs[i].Get()) == 0)
                return false;
        return true;
    };
    for (int i = 0; i < 2500 && !evenReached(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(evenReached());
    owner->Finish(WS_Success); // its cleanup kills what is left
    for (int i = 0; i < 1000 && ownerRec->mCount == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(ownerRec->mCount, 1);
    EXPECT_EQ(owner->GetTracker().GetCount(), 0u);
    for (int i = 0; i < 1000 && core.GetQueue().GetCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    size_t odd = 0;
    for (size_t i = 0; i < subs.size(); ++i)
    {
        EXPECT_FALSE(subs[i]->IsPending()) << i;
        const int calls = owner->Calls(subs[i].Get());
        EXPECT_LE(calls, 1) << i;
        if (i % 2 == 1 && calls == 1)
        {
            ++odd;
            EXPECT_EQ(subs[i]->GetStatus(), WS_TimedOut) << i;
        }
    }
    EXPECT_EQ(owner->Reached(), 1000u + odd);
}

// The lock under contention: exclusion, recursion, sleepers woken, and a lock
// given to a sleeper that destroys it at once.
TEST(CriticalSectionStress, ExcludesWakesAndMayBeDestroyedByTheNextOwner)
{
    CriticalSection crit;
    int64_t counter = 0; // guarded by crit
    const int kThreads = 4;
    const int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i)
            {
                ScopedLock lock(crit);
                lock.Enter(); // recursive take
                ++counter;
                // Now and then a long hold, so that others go to sleep.
                if (i % 2000 == t)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, static_cast<int64_t>(kThreads) * kRounds);

    for (int i = 0; i < 200; ++i)
    {
        auto* owned = new CriticalSection();
        std::atomic<bool> held{false};
        owned->Enter();
        std::thread next([&] {
            while (!held.load())
                std::this_thread::yield();
            owned->Enter(); // sleeps or spins until given
            owned->Leave();
            delete owned;
        });
        held = true;
        if (i % 2 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200)); // let it sleep
        owned->Leave();
        next.join();
    }
}

// A run finished by another thread while the pump still handles its start
// is delivered once by the handling call, after the hook has returned, and
// leaves no second entry behind.
TEST(AsyncOpStress, FinishWhileHandledIsDeliveredByTheHandler)
{
    AsyncOpContainer queue;
    for (int i = 0; i < 50; ++i)
    {
        SmartPtr<HookOp> op(new HookOp());
        op->SetCompletionQueue(&queue);
        SmartPtr<Record> rec = Attach(op);
        std::atomic<bool> inHook{false};
        std::atomic<bool> finished{false};
        std::atomic<bool> hookDone{false};
        std::atomic<bool> deliveredAfterHook{false};
        op->mRun = [&](HookOp*) {
            inHook = true;
            for (int w = 0; w < 5000 && !finished.load(); ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            hookDone = true;
        };
        rec->mAction = [&](const SmartPtr<AsyncOp>&) { deliveredAfterHook = hookDone.load(); };
        std::thread finisher([&] {
            for (int w = 0; w < 5000 && !inHook.load(); ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            op->Finish(WS_Success);
            finished = true;
        });
        op->RunAsync();
        queue.Pump(0, 1);
        finisher.join();
        EXPECT_EQ(rec->mCount, 1) << i;
        EXPECT_TRUE(deliveredAfterHook) << i;
        EXPECT_EQ(queue.GetCount(), 0u) << i;
        EXPECT_EQ(rec->mThread, CurrentThreadId()) << i;
    }
}
