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
    mStarted.store(false, std::memory_order_release);

    mPumpThread.Stop(false);
    mTimerThread.Stop(false);
    if (mSocketThread)
        mSocketThread->Stop(false);

    mPumpThread.WaitForExit();
    mTimerThread.WaitForExit();
    if (mSocketThread)
        mSocketThread->WaitForExit();

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
    QORAPICore* core = GetInstance();
    if (core && core->IsStarted())
        core->mQueue.Add(op);
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
    QORAPICore* core = GetInstance();
    if (core && core->IsStarted())
        core->mTimerThread.Remove(op);
}

void QORAPICore::RemoveSocketOp(const SmartPtr<SocketOp>& op)
{
    QORAPICore* core = GetInstance();
    if (core && core->IsStarted() && core->mSocketThread)
        core->mSocketThread->RemoveOp(op);
}

} // namespace QORAPI
