#include "common/AsyncOp.h"
#include "common/AsyncOpContainer.h"
#include "common/CriticalSection.h"
#include "common/Event.h"
#include "common/Thread.h"
#include "common/TimerThread.h"
#include "platform/PlatformThread.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace QORAPI;

namespace {

// Moves the tick counter so that it reads target now.
void SetTickTo(uint32_t target)
{
    const uint32_t raw = GetTickCount() - GetTickOffset();
    SetTickOffset(target - raw);
}

struct TickOffsetGuard
{
    ~TickOffsetGuard() { SetTickOffset(0); }
};

// A blocking run whose hook returns without finishing leaves the operation
// pending, and a Finish then posts nothing: the timer's effect shows in the status.
SmartPtr<AsyncOp> PendingBlockingOp()
{
    SmartPtr<AsyncOp> op(new AsyncOp());
    EXPECT_EQ(op->Run(OpMode_Block, InfiniteMs), WS_Pending);
    return op;
}

class CountingThread : public Thread
{
public:
    std::atomic<int> mLoops{0};
    std::atomic<bool> mStopSelf{false};
    std::atomic<bool> mSawCurrent{false};

protected:
    uint32_t ThreadProc() override
    {
        mSawCurrent = IsCurrent();
        while (!IsStopRequested())
        {
            ++mLoops;
            if (mStopSelf)
                Stop(true); // must not wait for itself
            mSignalEvent.Wait(1000);
        }
        return 0;
    }
};

} // namespace

TEST(CriticalSection, RecursiveAndScopedCounts)
{
    CriticalSection crit;
    {
        ScopedLock lock(crit);
        lock.Enter();
        lock.Leave();
        lock.Leave();
        lock.Leave(); // more leaves than enters do nothing
        std::atomic<bool> taken{false};
        std::thread other([&] {
            ScopedLock inner(crit);
            taken = true;
        });
        other.join();
        EXPECT_TRUE(taken);
    }
    ScopedLock notEntered(crit, false);
    notEntered.Leave();
}

TEST(Event, AutoAndManualReset)
{
    Event ev(false, true);  // auto-reset: one wait is released
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_FALSE(ev.Wait(0));
    ev.Set();
    EXPECT_TRUE(ev.Wait(10));
    EXPECT_FALSE(ev.Wait(10));

    Event manual(true, false);  // manual reset: stays set
    EXPECT_FALSE(manual.Wait(1));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(InfiniteMs));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ev.Set();
    });
    EXPECT_TRUE(ev.Wait(5000));  // a set from another thread wakes the wait
    setter.join();
}

TEST(Thread, StartStopAndRestart)
{
    CountingThread t;
    EXPECT_TRUE(t.IsStopRequested());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.IsCurrent());
    t.Start();
    t.Start(); // second start while running does nothing
    t.Stop(true);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_TRUE(t.mSawCurrent);
    t.Stop(true); // second stop does nothing
    t.Start();
    EXPECT_TRUE(t.IsRunning() || t.mLoops > 0);
    t.Stop(true);
    EXPECT_FALSE(t.IsRunning());
}

TEST(Thread, StopFromInsideReturnsWithoutWaiting)
{
    CountingThread t;
    t.mStopSelf = true;
    t.Start();
    for (int i = 0; i < 500 && t.IsRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.mLoops, 1);
    t.WaitForExit();
}

TEST(Thread, RefusedCreationClearsRunning)
{
    CountingThread t;
    SetThreadCreationFailsForTest(true);
    t.Start();
    SetThreadCreationFailsForTest(false);
    EXPECT_FALSE(t.IsRunning());
    t.Stop(true); // must not wait for a thread that never ran
    t.Start();
    EXPECT_TRUE(t.IsRunning() || t.mLoops > 0);
    t.Stop(true);
    EXPECT_FALSE(t.IsRunning());
}

// The timer tests drive a TimerThread without its thread, so that every
// processing step is explicit.
class TimerTest : public ::testing::Test
{
protected:
    SmartPtr<AsyncOp> PendingOp() { return PendingBlockingOp(); }
    // Moves the counter to tick and processes the entries due then.
    void At(uint32_t tick)
    {
        SetTickTo(tick);
        mTimer.ProcessTimers();
    }

    TickOffsetGuard mGuard;
    TimerThread mTimer;
};

// Every step below leaves seconds of margin, so that a slow machine does not
// move the counter past a deadline between two steps.
TEST_F(TimerTest, EntryFiresAtDeadline)
{
    At(0x10000000);
    SmartPtr<AsyncOp> op = PendingOp();
    mTimer.Add(op, 10000);
    uint32_t key = 0;
    bool wrapped = true;
    ASSERT_TRUE(mTimer.GetEntryKey(op, key, wrapped));
    EXPECT_FALSE(wrapped);
    EXPECT_GE(key, 0x10000000u + 10000);
    EXPECT_GE(mTimer.GetWaitTime(), 10000u);
    EXPECT_LE(mTimer.GetWaitTime(), 15000u);

    At(key - 5000);
    EXPECT_TRUE(op->IsPending());
    At(key + 1);
    EXPECT_EQ(op->GetStatus(), WS_TimedOut);
    EXPECT_FALSE(mTimer.HasEntry(op));
    EXPECT_EQ(mTimer.GetDeadlineCount(), 0u);
}

TEST_F(TimerTest, RearmingReplacesEntry)
{
    At(0x20000000);
    SmartPtr<AsyncOp> op = PendingOp();
    mTimer.Add(op, 50);
    mTimer.Add(op, 20000);
    EXPECT_EQ(mTimer.GetDeadlineCount(), 1u);
    At(0x20000000 + 5000);
    EXPECT_TRUE(op->IsPending());
    At(0x20000000 + 30000);
    EXPECT_EQ(op->GetStatus(), WS_TimedOut);
}

// Removed entries leave their nodes for later entries: entries armed after
// many removals, across both maps, keep their own keys, fire once, and hold
// no reference to an operation once removed.
TEST_F(TimerTest, EntriesAfterRemovalsKeepTheirKeysAndReferences)
{
    At(0xFFFE0000u);
    std::vector<SmartPtr<AsyncOp>> ops;
    for (int i = 0; i < 100; ++i)
        ops.push_back(PendingOp());
    for (size_t i = 0; i < ops.size(); ++i)
        mTimer.Add(ops[i], 10000);
    for (auto& op : ops)
        mTimer.Remove(op);
    for (auto& op : ops)
        EXPECT_EQ(op->GetRefCount(), 1); // only this test holds it
    EXPECT_EQ(mTimer.GetDeadlineCount(), 0u);

    // Even ones fall due before the wrap, odd ones after it.
    for (size_t i = 0; i < ops.size(); ++i)
        mTimer.Add(ops[i], i % 2 == 0 ? 10000 + static_cast<uint32_t>(i) : 0x30000);
    EXPECT_EQ(mTimer.GetDeadlineCount(), 50u);
    EXPECT_EQ(mTimer.GetWrappedDeadlineCount(), 50u);
    for (size_t i = 0; i < ops.size(); ++i)
    {
        uint32_t key = 0;
        bool wrapped = false;
        ASSERT_TRUE(mTimer.GetEntryKey(ops[i], key, wrapped)) << i;
        EXPECT_EQ(wrapped, i % 2 == 1) << i;
        if (i % 2 == 0)
        {
            // Its own time limit, from a counter that keeps running.
            EXPECT_GE(key - 0xFFFE0000u - i, 10000u) << i;
            EXPECT_LE(key - 0xFFFE0000u - i, 15000u) << i;
        }
    }
    At(0xFFFE0000u + 20000);
    for (size_t i = 0; i < ops.size(); i += 2)
        EXPECT_EQ(ops[i]->GetStatus(), WS_TimedOut) << i;
    for (size_t i = 1; i < ops.size(); i += 2)
        EXPECT_TRUE(ops[i]->IsPending()) << i;
    mTimer.KillAll();
    for (size_t i = 1; i < ops.size(); i += 2)
        EXPECT_EQ(ops[i]->GetStatus(), WS_Killed) << i;
}

TEST_F(TimerTest, WrappedEntryFiresOnlyAfterWrap)
{
    At(0xFFFF0000u);
    SmartPtr<AsyncOp> op = PendingOp();
    mTimer.Add(op, 0x20000);
    uint32_t key = 0;
    bool wrapped = false;
    ASSERT_TRUE(mTimer.GetEntryKey(op, key, wrapped));
    EXPECT_TRUE(wrapped);
    EXPECT_GE(key, 0x10000u); // modulo 2^32
    EXPECT_LT(key, 0x10000u + 5000);
    EXPECT_EQ(mTimer.GetWrappedDeadlineCount(), 1u);

    At(0xFFFFE000u);
    EXPECT_TRUE(op->IsPending()); // the key is small but lies after the wrap

    SetTickTo(0x1000);
    mTimer.ProcessTimers(); // wrap: moved over, not yet due
    EXPECT_TRUE(op->IsPending());
    EXPECT_EQ(mTimer.GetWrappedDeadlineCount(), 0u);
    EXPECT_EQ(mTimer.GetDeadlineCount(), 1u);

    At(key + 10);
    EXPECT_EQ(op->GetStatus(), WS_TimedOut);
    EXPECT_EQ(mTimer.GetDeadlineCount(), 0u);
}

TEST_F(TimerTest, WrapFiresEveryEntryBeforeIt)
{
    At(0xFFFF0000u);
    SmartPtr<AsyncOp> a = PendingOp();
    SmartPtr<AsyncOp> b = PendingOp();
    mTimer.Add(a, 0xE000); // due just before the wrap
    mTimer.Add(b, 0x10);
    SetTickTo(0x20); // the counter wrapped since the last processing
    mTimer.ProcessTimers();
    EXPECT_EQ(a->GetStatus(), WS_TimedOut);
    EXPECT_EQ(b->GetStatus(), WS_TimedOut);
}

TEST_F(TimerTest, EntryMovedAtWrapIsRemovableAndRearmable)
{
    At(0xFFFF0000u);
    SmartPtr<AsyncOp> op = PendingOp();
    SmartPtr<AsyncOp> rearmed = PendingOp();
    mTimer.Add(op, 0x20000);
    mTimer.Add(rearmed, 0x20000);
    At(0x1000);
    ASSERT_EQ(mTimer.GetDeadlineCount(), 2u);
    ASSERT_TRUE(mTimer.HasEntry(op));

    mTimer.Remove(op);
    EXPECT_EQ(mTimer.GetDeadlineCount(), 1u);
    EXPECT_FALSE(mTimer.HasEntry(op));
    mTimer.Add(rearmed, 0x100000);  // the moved entry is erased, not kept beside the new one
    EXPECT_EQ(mTimer.GetDeadlineCount(), 1u);
    At(0x30000);
    EXPECT_TRUE(op->IsPending());
    EXPECT_TRUE(rearmed->IsPending());
}

TEST_F(TimerTest, EntryArmedAfterUnprocessedWrapIsNotDueAtOnce)
{
    At(0xFFFFF000u);
    SetTickTo(0x100); // wrapped, not yet processed
    SmartPtr<AsyncOp> op = PendingOp();
    mTimer.Add(op, 10000);
    mTimer.ProcessTimers();
    EXPECT_TRUE(op->IsPending());
    At(0x100 + 20000);
    EXPECT_EQ(op->GetStatus(), WS_TimedOut);
}

TEST_F(TimerTest, WaitTimeWithoutEntries)
{
    At(0xFFFF0000u);
    const uint32_t wait = mTimer.GetWaitTime();
    // until 10 ms past the next wrap
    EXPECT_LE(wait, 0x10000u + 10);
    EXPECT_GE(wait, 0x10000u + 10 - 5000);

    At(0x1000);
    const uint32_t far = mTimer.GetWaitTime();
    EXPECT_LE(far, 0xFFFFFFFFu - 0x1000u + 10u);
    EXPECT_GE(far, 0xFFFFFFFFu - 0x1000u + 10u - 5000u);
}

TEST_F(TimerTest, KillAllKillsBothMapsOnce)
{
    At(0xFFFF0000u);
    SmartPtr<AsyncOp> a = PendingOp();
    SmartPtr<AsyncOp> b = PendingOp();
    mTimer.Add(a, 1000);
    mTimer.Add(b, 0x20000);
    EXPECT_EQ(mTimer.GetDeadlineCount(), 1u);
    EXPECT_EQ(mTimer.GetWrappedDeadlineCount(), 1u);
    mTimer.KillAll();
    EXPECT_EQ(a->GetStatus(), WS_Killed);
    EXPECT_EQ(b->GetStatus(), WS_Killed);
    EXPECT_TRUE(a->IsKilled());
    EXPECT_EQ(mTimer.GetDeadlineCount(), 0u);
    EXPECT_EQ(mTimer.GetWrappedDeadlineCount(), 0u);
    EXPECT_FALSE(mTimer.HasEntry(a));
}

TEST(TimerThreadRunning, FiresAcrossRealWrap)
{
    TickOffsetGuard guard;
    TimerThread timer;
    SetTickTo(0xFFFFFFFFu - 500);
    timer.Start();
    SmartPtr<AsyncOp> op = PendingBlockingOp();
    timer.Add(op, 700); // deadline about 200 ms beyond the wrap
    EXPECT_EQ(timer.GetWrappedDeadlineCount(), 1u);
    for (int i = 0; i < 2000 && op->IsPending(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(op->GetStatus(), WS_TimedOut);
    EXPECT_LT(GetTickCount(), 0x80000000u); // fired after the wrap
    timer.Stop(true);
    EXPECT_FALSE(timer.IsRunning());
}
