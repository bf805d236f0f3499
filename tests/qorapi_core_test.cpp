#include "QORAPI.h"
#include "platform/Tick.h"
#include "CoreTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <filesystem>
#include <memory>
#include <utility>

using namespace QORAPI;
using namespace QORAPI::Test;

namespace {

// Pumps core until rec has seen count calls, at most about two seconds.
bool PumpUntil(QORAPICore& core, const SmartPtr<Record>& rec, int count = 1)
{
    for (int i = 0; i < 200 && rec->mCount < count; ++i)
        core.Pump(10, 0);
    return rec->mCount >= count;
}

bool WaitUntil(const SmartPtr<Record>& rec, int count = 1)
{
    for (int i = 0; i < 1000 && rec->mCount < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return rec->mCount >= count;
}

std::string TempDir()
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qorapi_core_test_" + std::to_string(GetTickCount()));
    std::error_code ec;
    fs::create_directories(dir, ec);
    return ec ? std::string() : dir.string();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

TEST(Core, PumpThreadDeliversOnPumpThread)
{
    QORAPICore core(true, true, false);
    EXPECT_TRUE(QORAPICore::IsActive());
    EXPECT_EQ(QORAPICore::GetInstance(), &core);
    EXPECT_TRUE(core.GetTimerThread().IsRunning());
    ASSERT_NE(core.GetSocketThread(), nullptr);
    EXPECT_TRUE(core.GetSocketThread()->IsRunning());

    SmartPtr<HookOp> op(new HookOp());
    PlatformThreadId hookThread = 0;
    op->mRun = [&hookThread](HookOp* self) {
        hookThread = CurrentThreadId();
        self->Finish(WS_Success);
    };
    SmartPtr<Record> rec = Attach(op);
    bool onPump = false;
    rec->mAction = [&core, &onPump](const SmartPtr<AsyncOp>&) { onPump = core.IsPumpThreadCurrent(); };
    op->RunAsync(); // the pump thread may be done with it before this returns
    ASSERT_TRUE(WaitUntil(rec));
    EXPECT_TRUE(onPump);
    EXPECT_NE(rec->mThread, CurrentThreadId());
    EXPECT_EQ(hookThread, rec->mThread);
    EXPECT_EQ(rec->mLastStatus, WS_Success);
}

TEST(Core, TimerOpCompletesWithTimedOut)
{
    QORAPICore core(true, true, false);
    SmartPtr<AsyncOp> op(new AsyncOp());
    SmartPtr<Record> rec = Attach(op);
    const uint32_t start = GetTickCount();
    EXPECT_EQ(op->RunAsync(100), WS_Pending);
    ASSERT_TRUE(WaitUntil(rec));
    EXPECT_GE(TicksSince(start), 95u);
    EXPECT_EQ(rec->mLastStatus, WS_TimedOut);
    EXPECT_FALSE(core.GetTimerThread().HasEntry(op));

    // RunAsTimer: no hook, the same timeout.
    SmartPtr<HookOp> timer(new HookOp());
    SmartPtr<Record> timerRec = Attach(timer);
    EXPECT_EQ(timer->RunAsTimer(30), WS_Pending);
    ASSERT_TRUE(WaitUntil(timerRec));
    EXPECT_EQ(timerRec->mLastStatus, WS_TimedOut);
    EXPECT_EQ(timer->mRuns, 0);
}

TEST(Core, EarlyFinishRemovesTimerEntry)
{
    QORAPICore core(false, true, false);
    SmartPtr<AsyncOp> op(new AsyncOp());
    SmartPtr<Record> rec = Attach(op);
    op->RunAsync(10000);
    core.Pump(0, 0);
    EXPECT_TRUE(core.GetTimerThread().HasEntry(op));
    op->Finish(WS_Success);
    ASSERT_TRUE(PumpUntil(core, rec));
    EXPECT_FALSE(core.GetTimerThread().HasEntry(op));
    EXPECT_EQ(core.GetTimerThread().GetDeadlineCount(), 0u);
    EXPECT_EQ(rec->mLastStatus, WS_Success);
}

TEST(Core, ZeroTimeoutTimesOutAtFirstPump)
{
    QORAPICore core(false, true, false);
    SmartPtr<AsyncOp> op(new AsyncOp());
    SmartPtr<Record> rec = Attach(op);
    op->RunAsync(0);
    core.Pump(0, 0);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_EQ(rec->mLastStatus, WS_TimedOut);

    // unless the hook finished it already
    SmartPtr<HookOp> quick(new HookOp());
    quick->mRun = [](HookOp* self) { self->Finish(WS_Success); };
    SmartPtr<Record> quickRec = Attach(quick);
    quick->RunAsync(0);
    core.Pump(0, 0);
    EXPECT_EQ(quickRec->mLastStatus, WS_Success);
}

TEST(Core, NoTimeoutStaysPendingUntilFinish)
{
    QORAPICore core(false, true, false);
    SmartPtr<AsyncOp> op(new AsyncOp());
    SmartPtr<Record> rec = Attach(op);
    op->RunAsync();
    core.Pump(30, 0);
    EXPECT_TRUE(op->IsPending());
    EXPECT_EQ(rec->mCount, 0);
    EXPECT_FALSE(core.GetTimerThread().HasEntry(op));
    op->Finish(WS_Success);
    ASSERT_TRUE(PumpUntil(core, rec));
}

TEST(Core, NotThreadedDeliversOnlyInsidePumpOnCaller)
{
    QORAPICore core(false, false, false);
    EXPECT_FALSE(core.GetTimerThread().IsRunning());
    EXPECT_FALSE(core.GetSocketThread()->IsRunning());
    SmartPtr<AsyncOp> op(new AsyncOp());
    SmartPtr<Record> rec = Attach(op);
    op->RunAsync(30);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(rec->mCount, 0); // nothing runs between pumps
    core.Pump(0, 0);           // starts it: the timeout counts from here
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(rec->mCount, 0);
    ASSERT_TRUE(PumpUntil(core, rec));
    EXPECT_EQ(rec->mLastStatus, WS_TimedOut);
    EXPECT_EQ(rec->mThread, CurrentThreadId());
}

TEST(Core, PumpWaitsForTimeout)
{
    QORAPICore core(false, true, false);
    const uint32_t start = GetTickCount();
    core.Pump(0, 0);
    EXPECT_LT(TicksSince(start), 1000u); // one pass, no wait
    const uint32_t start2 = GetTickCount();
    core.Pump(40, 0);
    EXPECT_GE(TicksSince(start2), 38u);
}

TEST(Core, StartupTwiceAndShutdownUnstarted)
{
    QORAPICoreEx core;
    EXPECT_FALSE(QORAPICore::IsActive());
    EXPECT_EQ(QORAPICore::GetInstance(), &core);
    EXPECT_EQ(core.GetSocketThread(), nullptr);
    core.Shutdown(); // nothing
    core.SetUsePumpThread(true);
    core.Startup();
    EXPECT_TRUE(QORAPICore::IsActive());
    ASSERT_NE(core.GetSocketThread(), nullptr);
    SocketThread* first = core.GetSocketThread();
    core.Startup(); // runs once
    EXPECT_EQ(core.GetSocketThread(), first);
    core.SetThreaded(false); // ignored once started
    EXPECT_TRUE(core.IsThreaded());
    core.SetSocketThread(new SocketThreadSimple()); // deleted at once
    EXPECT_EQ(core.GetSocketThread(), first);
    core.Shutdown();
    EXPECT_FALSE(QORAPICore::IsActive());
    EXPECT_FALSE(core.GetTimerThread().IsRunning());
    EXPECT_FALSE(first->IsRunning());
    // A core can be started again.
    core.Startup();
    EXPECT_TRUE(core.GetTimerThread().IsRunning());
}

TEST(Core, AddTimerWithoutActiveCoreKills)
{
    // No core, so no queue: the killed run is delivered at once.
    SmartPtr<AsyncOp> op(new AsyncOp());
    SmartPtr<Record> rec = Attach(op);
    EXPECT_EQ(op->RunAsTimer(100), WS_Killed);
    EXPECT_EQ(rec->mCount, 1);
    EXPECT_TRUE(rec->mKilledSeen);
    EXPECT_EQ(rec->mThread, CurrentThreadId());

    std::unique_ptr<QORAPICore> core(new QORAPICore(false, true, false));
    core->Shutdown();
    // A stopped core refuses the timer; the queue still takes the completion.
    SmartPtr<AsyncOp> late(new AsyncOp());
    SmartPtr<Record> lateRec = Attach(late);
    EXPECT_EQ(late->RunAsTimer(100), WS_Killed);
    EXPECT_EQ(lateRec->mCount, 0); // never from inside the call that started it
    EXPECT_FALSE(core->GetTimerThread().HasEntry(late));
    core->Pump(0, 0);
    EXPECT_EQ(lateRec->mCount, 1);
    EXPECT_EQ(lateRec->mLastStatus, WS_Killed);

    // Run while stopped: queued, and killed when the core goes.
    SmartPtr<AsyncOp> idle(new AsyncOp());
    SmartPtr<Record> idleRec = Attach(idle);
    EXPECT_EQ(idle->RunAsync(10), WS_Pending);
    EXPECT_EQ(core->GetQueue().GetCount(), 1u);
    core.reset();
    EXPECT_EQ(idleRec->mCount, 1);
    EXPECT_EQ(idleRec->mLastStatus, WS_Killed);
}

TEST(Core, ShutdownOrderAndKills)
{
    QORAPICore core(false, true, false);
    // finished, awaiting delivery in the queue: delivered by Shutdown
    SmartPtr<HookOp> done(new HookOp());
    SmartPtr<Record> doneRec = Attach(done);
    done->RunAsync();
    core.Pump(0, 0);
    done->Finish(WS_Success);
    // waiting for its timeout: killed and delivered by Shutdown
    SmartPtr<AsyncOp> timed(new AsyncOp());
    SmartPtr<Record> timedRec = Attach(timed);
    timed->RunAsTimer(10000);
    // queued and pending: killed and delivered by Shutdown
    SmartPtr<AsyncOp> queued(new AsyncOp());
    SmartPtr<Record> queuedRec = Attach(queued);
    queued->RunAsync();
    ASSERT_EQ(core.GetQueue().GetCount(), 2u);

    core.Shutdown();
    const std::pair<const Record*, int32_t> expected[] = {
        {queuedRec.Get(), WS_Killed}, {doneRec.Get(), WS_Success}, {timedRec.Get(), WS_Killed}};
    for (const auto& e : expected)
    {
        EXPECT_EQ(e.first->mCount, 1);
        EXPECT_EQ(e.first->mLastStatus, e.second);
        EXPECT_EQ(e.first->mThread, CurrentThreadId());
    }
    EXPECT_FALSE(timed->IsAwaitingCompletion());
    EXPECT_EQ(core.GetTimerThread().GetDeadlineCount(), 0u);
    EXPECT_EQ(core.GetQueue().GetCount(), 0u);

    // Started again, the core runs the same operations.
    core.Startup();
    EXPECT_EQ(timed->RunAsTimer(10), WS_Pending);
    ASSERT_TRUE(PumpUntil(core, timedRec, 2));
    EXPECT_EQ(timedRec->mLastStatus, WS_TimedOut);
}

TEST(Core, ShutdownFromCompletionOnPumpThread)
{
    SmartPtr<AsyncOp> op(new AsyncOp());
    SmartPtr<Record> rec = Attach(op);
    {
        QORAPICore core(true, true, false);
        rec->mAction = [&core](const SmartPtr<AsyncOp>&) { core.Shutdown(); };
        op->RunAsync(0);
        ASSERT_TRUE(WaitUntil(rec));
        for (int i = 0; i < 500 && QORAPICore::IsActive(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_FALSE(QORAPICore::IsActive());
    }
    EXPECT_EQ(QORAPICore::GetInstance(), nullptr);
}

TEST(Core, SecondCoreAsserts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QORAPICoreEx core;
    EXPECT_DEATH({ QORAPICoreEx second; }, "mInstance==NULL");
}

TEST(Core, FileDirectoryRules)
{
    EXPECT_EQ(QORAPICore::GetFileDirectory(), "");
    QORAPICoreEx core;
    const std::pair<const char*, const char*> cases[] = {
        {"keys", "keys/"}, {"keys/", "keys/"}, {"keys\\", "keys\\"}, {"", ""}};
    for (const auto& c : cases)
    {
        core.SetFileDirectory(c.first);
        EXPECT_EQ(QORAPICore::GetFileDirectory(), c.second) << c.first;
    }
    core.SetFileDirectory("a/b");
    core.Startup();
    core.SetFileDirectory("other");
    EXPECT_EQ(QORAPICore::GetFileDirectory(), "a/b/");
    EXPECT_EQ(core.GetVersion(), "qorapi052201");
}

TEST(Core, VersionFileRules)
{
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/_qorapiversion.txt";
    const auto startCore = [&dir] {
        QORAPICoreEx core;
        core.SetFileDirectory(dir);
        core.Startup();
    };

    // Absent: nothing is created.
    QORAPICore::ResetVersionFileFlag();
    startCore();
    EXPECT_FALSE(std::filesystem::exists(path));

    // Present: rewritten with the version and a line end.
    {
        std::ofstream out(path);
        out << "old contents that are longer than the version\n";
    }
    QORAPICore::ResetVersionFileFlag();
    startCore();
    EXPECT_EQ(ReadFile(path), "qorapi052201\n");

    // Once per process: a second core leaves the file alone.
    {
        std::ofstream out(path);
        out << "x";
    }
    startCore();
    EXPECT_EQ(ReadFile(path), "x");

    // No temporary file is left behind.
    std::remove(path.c_str());
    EXPECT_TRUE(std::filesystem::remove(dir));
}
