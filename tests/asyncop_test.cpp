#include "QORAPI.h"
#include "platform/Tick.h"
#include "CoreTestUtil.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace QORAPI;
using namespace QORAPI::Test;

// Operations pumped through a queue of their own; no core exists.
class QueueTest : public ::testing::Test
{
protected:
    // An operation on this queue; a finishing one finishes from its hook.
    SmartPtr<HookOp> NewOp(bool finishing = false)
    {
        SmartPtr<HookOp> op(new HookOp());
        op->SetCompletionQueue(&mQueue);
        if (finishing)
            op->mRun = [](HookOp* self) { self->Finish(WS_Success); };
        return op;
    }
    AsyncOpContainer mQueue;
};

TEST_F(QueueTest, AsyncRunStartsOnPumpAndCompletesOnce)
{
    SmartPtr<HookOp> op = NewOp(true);
    SmartPtr<Record> rec = Attach(op);
    EXPECT_EQ(op->RunAsync(), WS_Pending);
    EXPECT_EQ(op->mRuns, 0); // never from inside the call that started it
    EXPECT_EQ(mQueue.GetCount(), 1u);
    mQueue.Pump(0, 0);
    EXPECT_EQ(op->mRuns, 1);
    EXPECT_EQ(op->mCleanups, 1);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(rec->mLastStatus, WS_Success);
    EXPECT_FALSE(rec->mAwaitingSeen);
    EXPECT_EQ(mQueue.GetCount(), 0u); // finished in the start step: no second entry handled later
    EXPECT_EQ(op->GetStatus(), WS_Success);
}

TEST_F(QueueTest, RunOnPendingAndAwaitingOperation)
{
    SmartPtr<HookOp> op = NewOp();
    SmartPtr<Record> rec = Attach(op);
    op->Finish(WS_Success); // idle: nothing changes
    EXPECT_EQ(op->GetStatus(), WS_None);
    EXPECT_FALSE(op->IsAwaitingCompletion());
    EXPECT_EQ(mQueue.GetCount(), 0u);
    EXPECT_EQ(op->RunAsync(), WS_Pending);
    EXPECT_EQ(op->RunAsync(), WS_Pending); // changes nothing
    EXPECT_EQ(mQueue.GetCount(), 1u);
    mQueue.Pump(0, 0);
    EXPECT_TRUE(op->IsPending());
    op->Finish(WS_Success);
    EXPECT_TRUE(op->IsAwaitingCompletion());
    EXPECT_EQ(op->RunAsync(), WS_AwaitingCompletion);
    op->Finish(WS_TimedOut); // not pending: nothing changes
    EXPECT_EQ(op->GetStatus(), WS_Success);
    mQueue.Pump(0, 0);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(op->RunAsync(), WS_Pending);
    EXPECT_EQ(op->mRuns, 1);
    mQueue.Pump(0, 0);
    EXPECT_EQ(op->mRuns, 2);
}

TEST_F(QueueTest, KillDeliversOnceWithKilled)
{
    SmartPtr<HookOp> op = NewOp();
    SmartPtr<Record> rec = Attach(op);
    op->RunAsync();
    mQueue.Pump(0, 0);
    op->Kill(true);
    op->Kill(true);
    mQueue.Pump(0, 0);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(rec->mLastStatus, WS_Killed);
    EXPECT_TRUE(rec->mKilledSeen);
    op->RunAsync();
    EXPECT_FALSE(op->IsKilled()); // reset by each start
}

TEST_F(QueueTest, KillDuringDelivery)
{
    SmartPtr<HookOp> op = NewOp();
    SmartPtr<Record> rec = Attach(op);
    rec->mAction = [](const SmartPtr<AsyncOp>& self) { self->Kill(true); };
    op->RunAsync();
    mQueue.Pump(0, 0);
    op->Finish(WS_Success);
    mQueue.Pump(0, 0);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(rec->mLastStatus, WS_Success);
    EXPECT_TRUE(op->IsKilled()); // marked, but an idle operation is not finished again
    EXPECT_EQ(op->GetStatus(), WS_Success);
}

TEST_F(QueueTest, ForceFinish)
{
    SmartPtr<HookOp> op = NewOp();
    SmartPtr<Record> rec = Attach(op);
    op->ForceFinish(WS_InvalidMessage); // idle: made pending, then finished
    EXPECT_TRUE(op->IsAwaitingCompletion());
    op->ForceFinish(WS_Success); // awaiting: nothing
    mQueue.Pump(0, 0);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(rec->mLastStatus, WS_InvalidMessage);
    EXPECT_EQ(op->mRuns, 0);

    // ForceKill ends an idle operation, even one last run blocking, with a
    // completion through the queue.
    op->mRun = [](HookOp* self) { self->Finish(WS_Success); };
    EXPECT_TRUE(op->RunBlock());
    op->ForceKill();
    op->ForceKill(); // awaiting: nothing
    EXPECT_EQ(rec->mCount, 2);
    mQueue.Pump(0, 0);
    EXPECT_EQ(rec->mCount, 3);
    EXPECT_EQ(rec->mLastStatus, WS_Killed);
    EXPECT_TRUE(rec->mKilledSeen);
    EXPECT_EQ(op->mRuns, 1);
}

TEST_F(QueueTest, CompletionRerunsItsOwnOperation)
{
    SmartPtr<HookOp> op = NewOp();
    op->mRun = [](HookOp* self) {
        if (self->mRuns < 3)
            self->Finish(WS_Success);
    };
    SmartPtr<Record> rec = Attach(op);
    rec->mAction = [](const SmartPtr<AsyncOp>& self) { EXPECT_EQ(self->RunAsync(), WS_Pending); };
    op->RunAsync();
    mQueue.Pump(0, 1); // start + delivery; the re-run is queued
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_TRUE(op->IsPending());
    EXPECT_EQ(mQueue.GetCount(), 1u);
    mQueue.Pump(0, 0);
    EXPECT_EQ(op->mRuns, 3);
    EXPECT_EQ(rec->mCount, 2);
    EXPECT_TRUE(op->IsPending());
}

// A run killed before the pump started it leaves its start and its finish
// entry behind. The re-run from its completion is started once, by its own
// entry; the stale finish entry neither starts nor completes anything. Also
// when a run ends before its start entry is reached by a ForceFinish.
TEST_F(QueueTest, StaleEntriesNeverStartALaterRun)
{
    const std::function<void(HookOp*)> ends[] = {
        [](HookOp* op) { op->Kill(true); },
        [](HookOp* op) { op->Finish(WS_InvalidMessage); },
        [](HookOp* op) { op->ForceKill(); },
    };
    for (size_t i = 0; i < sizeof(ends) / sizeof(ends[0]); ++i)
    {
        SmartPtr<HookOp> op = NewOp();
        SmartPtr<Record> rec = Attach(op);
        std::vector<int> runsAtCompletion;
        rec->mAction = [&runsAtCompletion](const SmartPtr<AsyncOp>& self) {
            runsAtCompletion.push_back(static_cast<HookOp*>(self.Get())->mRuns);
            if (runsAtCompletion.size() < 3)
            {
                EXPECT_EQ(self->RunAsync(), WS_Pending);
            }
        };
        op->RunAsync();
        ends[i](op.Get());
        EXPECT_EQ(mQueue.GetCount(), 2u) << i; // start and finish entry
        mQueue.Pump(0, 0);
        EXPECT_EQ(rec->mCount, 1) << i;
        EXPECT_EQ(op->mRuns, 1) << i; // the re-run started once
        ends[i](op.Get());
        mQueue.Pump(0, 0);
        EXPECT_EQ(op->mRuns, 2) << i;
        ends[i](op.Get());
        mQueue.Pump(0, 0);
        EXPECT_EQ(rec->mCount, 3) << i;
        EXPECT_EQ(runsAtCompletion, (std::vector<int>{0, 1, 2})) << i;
        EXPECT_EQ(mQueue.GetCount(), 0u) << i;
    }
}

TEST_F(QueueTest, PumpCountingRules)
{
    // Pump(0, 0) on an empty queue returns at once.
    const uint32_t t0 = GetTickCount();
    mQueue.Pump(0, 0);
    EXPECT_LT(TicksSince(t0), 1000u); // no wait for an entry

    // Pump(50, 0) on an empty queue waits for a first entry.
    const uint32_t t1 = GetTickCount();
    mQueue.Pump(50, 0);
    EXPECT_GE(TicksSince(t1), 45u);

    // Pump(0, -1) handles only the entries present at its start.
    std::vector<SmartPtr<HookOp>> ops;
    std::vector<SmartPtr<Record>> recs;
    for (int i = 0; i < 3; ++i)
    {
        ops.push_back(NewOp(true));
        recs.push_back(Attach(ops.back()));
    }
    SmartPtr<HookOp> late = NewOp(true);
    SmartPtr<Record> lateRec = Attach(late);
    recs[0]->mAction = [late](const SmartPtr<AsyncOp>&) { late->RunAsync(); };
    for (auto& op : ops)
        op->RunAsync();
    mQueue.Pump(0, -1);
    for (auto& rec : recs)
        EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(lateRec->mCount, 0);
    EXPECT_EQ(mQueue.GetCount(), 1u);

    // Pump(0, 0) empties the queue, including entries added while it runs.
    recs[1]->mAction = nullptr;
    lateRec->mAction = [&](const SmartPtr<AsyncOp>&) { ops[1]->RunAsync(); };
    mQueue.Pump(0, 0);
    EXPECT_EQ(lateRec->mCount, 1);
    EXPECT_EQ(recs[1]->mCount, 2);
    EXPECT_EQ(mQueue.GetCount(), 0u);

    // A positive count stops after that many entries.
    recs[0]->mAction = nullptr;
    for (auto& op : ops)
        op->RunAsync();
    mQueue.Pump(0, 2);
    EXPECT_EQ(mQueue.GetCount(), 1u);
    mQueue.Pump(0, 0);
}

TEST_F(QueueTest, PumpSliceEndsAfterSlowEntriesNotInABurst)
{
    // A burst of quick entries is handled within one slice, however few
    // looks at the clock it takes.
    std::vector<SmartPtr<HookOp>> quick;
    std::vector<SmartPtr<Record>> quickRecs;
    for (int i = 0; i < 200; ++i)
    {
        quick.push_back(NewOp(true));
        quickRecs.push_back(Attach(quick.back()));
        quick.back()->RunAsync();
    }
    mQueue.Pump(5000, 0);
    for (auto& rec : quickRecs)
        EXPECT_EQ(rec->mCount, 1);

    // Entries of 10 ms each end a 30 ms slice after a few of them, also when
    // quick ones came first and spaced the looks out.
    for (auto& op : quick)
        op->RunAsync();
    std::vector<SmartPtr<HookOp>> slow;
    for (int i = 0; i < 20; ++i)
    {
        slow.push_back(NewOp());
        slow.back()->mRun = [](HookOp* self) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            self->Finish(WS_Success);
        };
        slow.back()->RunAsync();
    }
    mQueue.Pump(30, 0);
    EXPECT_GE(mQueue.GetCount(), 10u); // at most three entries past the slice
    EXPECT_LT(mQueue.GetCount(), 20u);
    mQueue.Pump(0, 0);
}

// Entries are taken in groups; counts, nested pumps and the order of
// handling behave as if they were taken one by one.
TEST_F(QueueTest, EntriesTakenInGroupsKeepCountAndOrder)
{
    const int kOps = 150; // more than one group
    std::vector<SmartPtr<HookOp>> ops;
    std::vector<int> order;
    std::vector<SmartPtr<Record>> recs;
    for (int i = 0; i < kOps; ++i)
    {
        ops.push_back(NewOp(true));
        recs.push_back(Attach(ops.back()));
        recs.back()->mAction = [&order, i](const SmartPtr<AsyncOp>&) { order.push_back(i); };
    }
    for (auto& op : ops)
        op->RunAsync();

    // Inside the first completion every other entry still counts, and a
    // nested pump takes the next ones on in order before the outer call
    // goes on.
    size_t countSeen = 0;
    recs[0]->mAction = [&](const SmartPtr<AsyncOp>&) {
        order.push_back(0);
        countSeen = mQueue.GetCount();
        mQueue.Pump(0, 3);
        EXPECT_EQ(mQueue.GetCount(), static_cast<size_t>(kOps - 4));
    };
    mQueue.Pump(0, 0);
    EXPECT_EQ(countSeen, static_cast<size_t>(kOps - 1));
    EXPECT_EQ(mQueue.GetCount(), 0u);

    // A positive count beyond one group stops exactly there.
    recs[0]->mAction = [&order](const SmartPtr<AsyncOp>&) { order.push_back(0); };
    for (auto& op : ops)
        op->RunAsync();
    mQueue.Pump(0, 100);
    EXPECT_EQ(mQueue.GetCount(), static_cast<size_t>(kOps - 100));
    mQueue.Pump(0, 0);
    EXPECT_EQ(mQueue.GetCount(), 0u);
    ASSERT_EQ(order.size(), static_cast<size_t>(2 * kOps));
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(order[i], static_cast<int>(i % kOps)) << i;
    for (auto& rec : recs)
        EXPECT_EQ(rec->mCount, 2);

    // KillAll started from a completion ends what the pumping call still held.
    for (auto& op : ops)
    {
        op->mRun = nullptr; // stays pending
        op->RunAsync();
    }
    mQueue.Pump(0, 0);
    for (auto& op : ops)
        op->Finish(WS_Success);
    SmartPtr<HookOp> late = NewOp(true); // queued behind them
    SmartPtr<Record> lateRec = Attach(late);
    late->RunAsync();
    recs[0]->mAction = [this](const SmartPtr<AsyncOp>&) { mQueue.KillAll(); };
    mQueue.Pump(0, 0);
    EXPECT_EQ(mQueue.GetCount(), 0u);
    for (size_t i = 0; i < recs.size(); ++i)
    {
        EXPECT_EQ(recs[i]->mCount, 3) << i;
        EXPECT_EQ(recs[i]->mLastStatus, WS_Success) << i;
    }
    EXPECT_EQ(lateRec->mCount, 1);
    EXPECT_EQ(lateRec->mLastStatus, WS_Killed);
    EXPECT_EQ(late->mRuns, 0);
}

TEST_F(QueueTest, PumpWakesOnEntryFromOtherThread)
{
    SmartPtr<HookOp> op = NewOp(true);
    SmartPtr<Record> rec = Attach(op);
    std::thread poster([op] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        op->RunAsync();
    });
    const uint32_t start = GetTickCount();
    for (int i = 0; i < 100 && rec->mCount == 0; ++i)
        mQueue.Pump(5000, 1);
    poster.join();
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_LT(TicksSince(start), 2000u);
}

TEST_F(QueueTest, WaitReportsEntries)
{
    EXPECT_FALSE(mQueue.Wait(5));
    SmartPtr<HookOp> op = NewOp();
    op->RunAsync();
    EXPECT_TRUE(mQueue.Wait(0));
    mQueue.Pump(0, 0);
}

TEST_F(QueueTest, KillAllDeliversEveryCompletion)
{
    SmartPtr<HookOp> a = NewOp();
    SmartPtr<HookOp> b = NewOp();
    SmartPtr<HookOp> added = NewOp();
    SmartPtr<Record> ra = Attach(a);
    SmartPtr<Record> rb = Attach(b);
    SmartPtr<Record> radded = Attach(added);
    ra->mAction = [added](const SmartPtr<AsyncOp>&) { added->RunAsync(); };
    a->RunAsync();
    b->RunAsync();
    mQueue.Pump(0, 0); // both started, pending
    b->Finish(WS_Success);
    a->Kill(true);
    mQueue.KillAll();
    EXPECT_EQ(ra->mCount, 1);
    EXPECT_EQ(ra->mLastStatus, WS_Killed);
    EXPECT_EQ(rb->mCount, 1);
    EXPECT_EQ(rb->mLastStatus, WS_Success);
    EXPECT_EQ(radded->mCount, 1); // added during KillAll, handled in the same call
    EXPECT_EQ(radded->mLastStatus, WS_Killed);
    EXPECT_EQ(added->mRuns, 0);
    EXPECT_EQ(mQueue.GetCount(), 0u);
}

TEST_F(QueueTest, KillAllHandlesRerunFromCompletion)
{
    SmartPtr<HookOp> op = NewOp();
    SmartPtr<Record> rec = Attach(op);
    rec->mAction = [](const SmartPtr<AsyncOp>& self) {
        if (self->GetStatus() != WS_Killed)
            self->RunAsync();
    };
    op->RunAsync();
    mQueue.Pump(0, 0);
    op->Finish(WS_Success);
    mQueue.KillAll();
    EXPECT_EQ(rec->mCount, 2);
    EXPECT_EQ(op->GetStatus(), WS_Killed);
    EXPECT_FALSE(op->IsPending());
}

TEST(AsyncOpBlock, RunBlockCompletesOnCaller)
{
    SmartPtr<HookOp> op(new HookOp());
    op->mRun = [](HookOp* self) { self->Finish(WS_Success); };
    SmartPtr<Record> rec = Attach(op);
    EXPECT_TRUE(op->RunBlock(500));
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(rec->mThread, CurrentThreadId());
    EXPECT_FALSE(op->IsAsync());
}

TEST(AsyncOpBlock, TimeLeft)
{
    SmartPtr<HookOp> op(new HookOp());
    uint32_t left = 0;
    op->mRun = [&left](HookOp* self) {
        left = self->TimeLeft();
        self->Finish(WS_Success);
    };
    op->RunBlock(60000);
    EXPECT_LE(left, 60000u);
    EXPECT_GE(left, 50000u);
    op->RunBlock(InfiniteMs);
    EXPECT_EQ(left, InfiniteMs);
    op->RunBlock(0);
    EXPECT_EQ(left, 0u);
    op->mRun = [&left](HookOp* self) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        left = self->TimeLeft();
        self->Finish(WS_Success);
    };
    op->RunBlock(5);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(op->TimeLeft(), 0u);
    op->SetMode(OpMode_Async);
    EXPECT_EQ(op->TimeLeft(), 0u);
}

TEST(AsyncOpBlock, HookThatDoesNotFinishLeavesPending)
{
    SmartPtr<HookOp> op(new HookOp());
    SmartPtr<Record> rec = Attach(op);
    EXPECT_EQ(op->Run(OpMode_Block, 100), WS_Pending);
    op->SetTimeout(5); // ignored while pending
    EXPECT_EQ(op->GetTimeout(), 100u);
    op->Finish(WS_Success);
    EXPECT_TRUE(op->IsAwaitingCompletion()); // blocking mode posts nothing
    EXPECT_EQ(rec->mCount, 0);
}

// Sub-operation tracking.
class TrackingOp : public AsyncOpWithTracker
{
public:
    std::vector<std::pair<AsyncOp*, int32_t>> mDone;

protected:
    bool OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param) override
    {
        mDone.emplace_back(op.Get(), param);
        return true;
    }
};

class TrackerTest : public QueueTest
{
protected:
    void SetUp() override
    {
        mOwner = new TrackingOp();
        mOwner->SetCompletionQueue(&mQueue);
        mOwnerRec = Attach(mOwner);
        mOwner->RunAsync();
        mQueue.Pump(0, 0);
        ASSERT_TRUE(mOwner->IsPending());
    }
    // Ending the owner kills what it still tracks, which breaks the cycles.
    void TearDown() override
    {
        mOwner->Kill(true);
        mQueue.Pump(0, 0);
        EXPECT_EQ(mOwner->GetTracker().GetCount(), 0u);
    }
    SmartPtr<HookOp> SubOp(int32_t param)
    {
        SmartPtr<HookOp> op = NewOp();
        mOwner->Track(op, param);
        op->RunAsync();
        return op;
    }
    SmartPtr<TrackingOp> mOwner;
    SmartPtr<Record> mOwnerRec;
};

TEST_F(TrackerTest, SelfFinishingSubOpReachesOwnerWithParam)
{
    SmartPtr<HookOp> sub = SubOp(7);
    sub->mRun = [](HookOp* self) { self->Finish(WS_Success); };
    mQueue.Pump(0, 0);
    ASSERT_EQ(mOwner->mDone.size(), 1u);
    EXPECT_EQ(mOwner->mDone[0].first, sub.Get());
    EXPECT_EQ(mOwner->mDone[0].second, 7);
    EXPECT_FALSE(mOwner->GetTracker().IsTracked(sub));
}

TEST_F(TrackerTest, KillByParamDoesNotReachOwner)
{
    SmartPtr<HookOp> a = SubOp(1);
    SmartPtr<HookOp> b = SubOp(1);
    SmartPtr<HookOp> c = SubOp(2);
    mQueue.Pump(0, 0);
    EXPECT_EQ(mOwner->GetTracker().GetCount(1), 2u);
    mOwner->GetTracker().KillByParam(1);
    mQueue.Pump(0, 0);
    EXPECT_EQ(a->GetStatus(), WS_Killed);
    EXPECT_EQ(b->GetStatus(), WS_Killed);
    EXPECT_TRUE(c->IsPending());
    EXPECT_TRUE(mOwner->mDone.empty());
    EXPECT_EQ(mOwner->GetTracker().GetCount(), 1u);

    mOwner->GetTracker().KillOp(c);
    mQueue.Pump(0, 0);
    EXPECT_EQ(c->GetStatus(), WS_Killed);
    EXPECT_TRUE(mOwner->mDone.empty());
}

TEST_F(TrackerTest, DoubleTrackKeepsFirstEntry)
{
    SmartPtr<HookOp> op = NewOp();
    mOwner->Track(op, 1);
    mOwner->Track(op, 2);
    int32_t param = 0;
    ASSERT_TRUE(mOwner->GetTracker().GetParam(op, param));
    EXPECT_EQ(param, 1);
    EXPECT_EQ(mOwner->GetTracker().GetCount(), 1u);
    EXPECT_FALSE(mOwner->GetTracker().Add(op, 3));
    mOwner->GetTracker().KillByParam(2);
    EXPECT_TRUE(mOwner->GetTracker().IsTracked(op));
}

TEST_F(TrackerTest, OwnerFinishKillsSubOpsWithoutCallback)
{
    SmartPtr<HookOp> sub = SubOp(5);
    mQueue.Pump(0, 0);
    mOwner->Finish(WS_Success);
    mQueue.Pump(0, 0);
    EXPECT_EQ(mOwnerRec->mCount, 1);
    EXPECT_EQ(sub->GetStatus(), WS_Killed);
    EXPECT_TRUE(mOwner->mDone.empty());
    EXPECT_EQ(mOwner->GetTracker().GetCount(), 0u);
}

TEST_F(TrackerTest, SubOpEndingAfterOwnerIsIgnored)
{
    SmartPtr<HookOp> sub = NewOp();
    mOwner->Track(sub, 3);
    sub->RunAsync();
    mQueue.Pump(0, 0);
    mOwner->GetTracker().Remove(sub); // left the tracker by other means
    sub->Finish(WS_Success);
    mQueue.Pump(0, 0);
    EXPECT_TRUE(mOwner->mDone.empty());
}

TEST_F(TrackerTest, CycleIsBrokenWhenSubOpEnds)
{
    AsyncOp* rawSub;
    {
        SmartPtr<HookOp> sub = SubOp(4);
        rawSub = sub.Get();
        sub->mRun = [](HookOp* self) { self->Finish(WS_Success); };
    }
    const int32_t before = mOwner->GetRefCount();
    mQueue.Pump(0, 0);
    ASSERT_EQ(mOwner->mDone.size(), 1u);
    EXPECT_EQ(mOwner->mDone[0].first, rawSub);
    EXPECT_LT(mOwner->GetRefCount(), before); // the completion holding the owner is gone
}

// Hooks and completions run with no operation lock held: another thread can
// finish or re-run the operation meanwhile.
TEST_F(QueueTest, CompletionRunsWithoutOperationLock)
{
    SmartPtr<HookOp> op = NewOp();
    op->mRun = [](HookOp* self) {
        if (self->mRuns == 1)
            self->Finish(WS_Success);
    };
    SmartPtr<Record> rec = Attach(op);
    std::atomic<bool> rerun{false};
    rec->mAction = [&rerun](const SmartPtr<AsyncOp>& self) {
        std::thread other([self, &rerun] { rerun = self->RunAsync() == WS_Pending; });
        for (int i = 0; i < 1000 && !rerun; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (rerun)
            other.join();
        else
            other.detach();
    };
    op->RunAsync();
    mQueue.Pump(0, 1);
    EXPECT_TRUE(rerun);
    EXPECT_TRUE(op->IsPending());
    op->Kill(true);
    mQueue.Pump(0, 0);
    EXPECT_EQ(rec->mCount, 2);
}

TEST(AsyncOpBlock, KillFromOtherThreadEndsBlockingHook)
{
    SmartPtr<HookOp> op(new HookOp());
    Event released(true, false);
    op->mRun = [&released](HookOp* self) {
        // A blocking hook waits for its work; the kill arrives meanwhile.
        for (int i = 0; i < 2000 && self->IsPending(); ++i)
            released.Wait(1);
    };
    SmartPtr<Record> rec = Attach(op);
    std::thread killer([op, &released] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        op->Kill(true);
        released.Set();
    });
    EXPECT_FALSE(op->RunBlock(5000));
    killer.join();
    EXPECT_EQ(op->GetStatus(), WS_Killed);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(rec->mThread, CurrentThreadId());
}
