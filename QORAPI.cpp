#include "QORAPI.h"

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/SocketThreadEx.h"
#include "QORSocket/SocketThreadSimple.h"
#include "platform/FileSystem.h"
#include "platform/Tick.h"

#include <cstdio>
#include <cstdlib>

namespace QORAPI {

std::atomic<QORAPICore*> QORAPICore::mInstance{nullptr};
std::atomic<bool> QORAPICore::mVersionFileWritten{false};

uint32_t QORAPICore::PumpThread::ThreadProc()
{
    QORAPICore* core = QORAPICore::GetInstance();
    while (core && !IsStopRequested())
        core->Pump(20, 0);
    return 0;
}

QORAPICore::QORAPICore(bool usePumpThread, bool threaded, bool useSocketThreadEx)
{
    Initialize();
    mUsePumpThread = usePumpThread;
    mThreaded = threaded;
    if (useSocketThreadEx)
        mSocketThread.reset(new SocketThreadEx());
    else
        mSocketThread.reset(new SocketThreadSimple());
    Startup();
}

QORAPICore::QORAPICore(NoStartup)
{
    Initialize();
}

void QORAPICore::Initialize()
{
    QORAPICore* expected = nullptr;
    if (!mInstance.compare_exchange_strong(expected, this))
    {
        std::fprintf(stderr, "Assertion failed: mInstance==NULL, file QORAPI, line 32\n");
        std::abort();
    }
    mVersion = "qorapi052201";
    mStarted.store(false);
    mUsePumpThread = false;
    mThreaded = true;
    mSocketThread.reset();
    StartSockets();
}

QORAPICore::~QORAPICore()
{
    Shutdown();
    // A Shutdown called on one of the core's own threads could not wait for
    // that thread; it must be gone before the members are.
    mPumpThread.WaitForExit();
    mTimerThread.WaitForExit();
    if (mSocketThread)
        mSocketThread->WaitForExit();
    // What was posted or armed since Shutdown ends here, while the core
    // still exists.
    KillHeld();
    mSocketThread.reset();
    StopSockets();
    mInstance.store(nullptr);
}

void QORAPICore::Startup()
{
    if (IsStarted())
        return;
    mStarted.store(true, std::memory_order_release);
    WriteVersionFile();
    if (!mSocketThread)
        mSocketThread.reset(new SocketThreadSimple());
    if (mThreaded)
    {
        if (mSocketThread->NeedsOwnThread())
            mSocketThread->Start();
        mTimerThread.Start();
    }
    if (mUsePumpThread)
        mPumpThread.Start();
}

void QORAPICore::Shutdown()
{
    if (!IsStarted())
        return;
    // From here on timers and socket operations are refused (the operation is
    // killed); the queue still takes every post, so that each run that ends
    // meanwhile, on a worker thread that has not stopped yet or here, is
    // delivered below.
    mStarted.store(false, std::memory_order_release);

    mPumpThread.Stop(false);
    mTimerThread.Stop(false);
    if (mSocketThread)
        mSocketThread->Stop(false);

    mPumpThread.WaitForExit();
    mTimerThread.WaitForExit();
    if (mSocketThread)
        mSocketThread->WaitForExit();

    KillHeld();
}

void QORAPICore::KillHeld()
{
    // No worker thread runs: the kills post to the queue, and its KillAll
    // delivers every completion on this thread. A completion that starts new
    // work has it refused or queued again, and delivered in the same KillAll.
    mTimerThread.KillAll();
    if (mSocketThread)
        mSocketThread->PurgeOps();
    mQueue.KillAll();
}

void QORAPICore::SetUsePumpThread(bool usePumpThread)
{
    if (!IsStarted())
        mUsePumpThread = usePumpThread;
}

void QORAPICore::SetThreaded(bool threaded)
{
    if (!IsStarted())
        mThreaded = threaded;
}

void QORAPICore::SetSocketThread(SocketThread* thread)
{
    if (IsStarted())
    {
        delete thread;
        return;
    }
    mSocketThread.reset(thread);
}

void QORAPICore::SetFileDirectory(const std::string& path)
{
    if (IsStarted())
        return;
    mFileDirectory = path;
    if (!mFileDirectory.empty() && mFileDirectory.back() != '\\' && mFileDirectory.back() != '/')
        mFileDirectory += '/';
}

bool QORAPICore::IsActive()
{
    QORAPICore* core = GetInstance();
    return core && core->IsStarted();
}

std::string QORAPICore::GetFileDirectory()
{
    QORAPICore* core = GetInstance();
    return core ? core->mFileDirectory : std::string();
}

void QORAPICore::WriteVersionFile()
{
    if (mVersionFileWritten.exchange(true))
        return;
    const std::string path = mFileDirectory + "_qorapiversion.txt";
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return;
    std::fclose(file);
    const std::string line = mVersion + "\n";
    WriteFileAtomic(path, line.data(), line.size());
}

void QORAPICore::Pump(uint32_t timeout, int32_t maxCount)
{
    const uint32_t start = GetTickCount();
    uint32_t elapsed = 0;
    do
    {
        const uint32_t remaining = timeout - elapsed;
        if (mThreaded)
        {
            mQueue.Pump(remaining, maxCount);
        }
        else
        {
            const uint32_t timerWait = mTimerThread.GetWaitTime();
            const uint32_t wait = remaining < timerWait ? remaining : timerWait;
            if (mSocketThread)
                mSocketThread->Pump(wait);
            mTimerThread.ProcessTimers();
            mQueue.Pump(0, maxCount);
        }
        elapsed = TicksSince(start);
    } while (elapsed < timeout);
}

bool QORAPICore::WaitForCompletion(uint32_t ms)
{
    return mQueue.Wait(ms);
}

void QORAPICore::QueueCompletion(const SmartPtr<AsyncOp>& op)
{
    if (op)
        QueueCompletion(op, op->GetRunNumber());
}

void QORAPICore::QueueCompletion(const SmartPtr<AsyncOp>& op, uint32_t run)
{
    QueueCompletion(op.Get(), run);
}

void QORAPICore::QueueCompletion(AsyncOp* op, uint32_t run)
{
    if (!op)
        return;
    if (QORAPICore* core = GetInstance())
    {
        // Started or not: what is queued while the core is stopped is
        // delivered by Shutdown, the destructor or the next Startup's pump.
        core->mQueue.Add(op, run);
        return;
    }
    // Without a core no pump could ever deliver a finished run: its completion
    // is called at once, on this thread. A run that is not finished stays
    // pending until something finishes it. The operation is held meanwhile:
    // its completion may drop the caller's last reference.
    const SmartPtr<AsyncOp> hold(op);
    if (!op->IsPending() && op->GetRunNumber() == run)
        op->DeliverCompletion();
}

void QORAPICore::AddTimer(const SmartPtr<AsyncOp>& op, uint32_t ms)
{
    if (!op)
        return;
    QORAPICore* core = GetInstance();
    if (core && core->IsStarted())
        core->mTimerThread.Add(op, ms);
    else
        op->Kill(true);
}

void QORAPICore::RemoveTimer(const SmartPtr<AsyncOp>& op)
{
    // Removing is safe at any time; an entry armed just before Shutdown may
    // still be there.
    if (QORAPICore* core = GetInstance())
        core->mTimerThread.Remove(op);
}

void QORAPICore::RemoveSocketOp(const SmartPtr<SocketOp>& op)
{
    QORAPICore* core = GetInstance();
    if (core && core->mSocketThread)
        core->mSocketThread->RemoveOp(op);
}

} // namespace QORAPI
