// QORAPI: the library core, and the header that reaches the whole library.
//
// QORAPICore is the one process-wide object that makes asynchronous operation
// possible: it owns the completion queue, the timer thread, the socket thread
// and the optional pump thread. Without a started core, timers and socket
// operations are refused by killing the operation. The queue takes posts for
// as long as the core exists, so every run ends with one completion: Shutdown
// and the destructor kill what the threads and the queue hold and deliver
// every completion before they return, on the calling thread. Without any
// core, a finished asynchronous run is delivered at once on the thread that
// finished it. QORAPICoreEx is the same core built unstarted, so that options
// can be set before Startup.
//
// Thread safety: construction, destruction, Startup, Shutdown and the option
// setters belong to one application thread. The static calls (QueueCompletion,
// AddTimer, RemoveTimer, AddSocketOp, RemoveSocketOp) and Pump may be called
// from any thread; they use the locks of the queue, the timer thread and the
// socket thread.
#ifndef QORAPI_QORAPI_H
#define QORAPI_QORAPI_H

#include "QORSocket/AcceptOp.h"
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/BlockingSocket.h"
#include "QORSocket/CloseOp.h"
#include "QORSocket/ConnectOp.h"
#include "QORSocket/InetAddress.h"
#include "QORSocket/MsgTransform.h"
#include "QORSocket/QueueSocket.h"
#include "QORSocket/RecvBytesFromOp.h"
#include "QORSocket/RecvBytesOp.h"
#include "QORSocket/RecvCRMsgOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendBytesOp.h"
#include "QORSocket/SendBytesToOp.h"
#include "QORSocket/SendMsgOp.h"
#include "QORSocket/SocketOp.h"
#include "QORSocket/SocketThread.h"
#include "QORSocket/SocketThreadEx.h"
#include "QORSocket/SocketThreadSimple.h"
#include "common/AsyncOp.h"
#include "common/AsyncOpContainer.h"
#include "common/AsyncOpWithTracker.h"
#include "common/ByteBuffer.h"
#include "common/Completion.h"
#include "common/CriticalSection.h"
#include "common/Event.h"
#include "common/OpTracker.h"
#include "common/ReadBuffer.h"
#include "common/RefCount.h"
#include "common/Thread.h"
#include "common/TimerThread.h"
#include "common/WSStatus.h"
#include "common/WriteBuffer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace QORAPI {

class SocketOp;

class QORAPICore
{
public:
    // Calls Pump(20, 0) until its stop is requested.
    class PumpThread : public Thread
    {
    public:
        PumpThread() = default;
        ~PumpThread() override = default;

    protected:
        uint32_t ThreadProc() override;
    };

    // Builds the core with the given options and starts it. useSocketThreadEx
    // chooses the select-driven socket thread over the polling one.
    explicit QORAPICore(bool usePumpThread = true, bool threaded = true, bool useSocketThreadEx = true);
    // Shutdown, then the socket thread is deleted and the instance cleared.
    virtual ~QORAPICore();
    QORAPICore(const QORAPICore&) = delete;
    QORAPICore& operator=(const QORAPICore&) = delete;

    // Writes the version file, creates a socket thread if none was given and
    // starts the threads. Runs once until Shutdown.
    virtual void Startup();
    // Stops and joins the pump, timer and socket threads in that order, then
    // kills every timed, socket-held and queued operation and delivers every
    // completion (WS_Killed unless the run had ended already) on this thread.
    virtual void Shutdown();

    // Options; ignored once started.
    void SetUsePumpThread(bool usePumpThread);
    void SetThreaded(bool threaded);
    // Takes ownership; when started the thread is deleted at once.
    void SetSocketThread(SocketThread* thread);
    // A non-empty path without a trailing '\' or '/' gets a '/'.
    void SetFileDirectory(const std::string& path);

    const std::string& GetVersion() const { return mVersion; }
    bool IsStarted() const { return mStarted.load(std::memory_order_acquire); }
    bool IsThreaded() const { return mThreaded; }
    bool GetUsePumpThread() const { return mUsePumpThread; }
    SocketThread* GetSocketThread() const { return mSocketThread.get(); }
    TimerThread& GetTimerThread() { return mTimerThread; }
    AsyncOpContainer& GetQueue() { return mQueue; }
    bool IsPumpThreadCurrent() const { return mPumpThread.IsCurrent(); }

    static QORAPICore* GetInstance() { return mInstance.load(std::memory_order_acquire); }
    // A core exists and is started.
    static bool IsActive();
    // The core's file directory; empty when there is no core.
    static std::string GetFileDirectory();

    // Handles completions, asynchronous starts, and when not threaded the
    // socket work and timers, for timeout milliseconds (at least one pass).
    void Pump(uint32_t timeout, int32_t maxCount);
    // The queue's Wait.
    bool WaitForCompletion(uint32_t ms);

    // Calls of the operations. QueueCompletion queues while a core exists
    // (the second form posts an entry of the given run); AddTimer and
    // AddSocketOp kill the operation when no core is active.
    static void QueueCompletion(const SmartPtr<AsyncOp>& op);
    static void QueueCompletion(const SmartPtr<AsyncOp>& op, uint32_t run);
    // The same for a caller that holds op.
    static void QueueCompletion(AsyncOp* op, uint32_t run);
    static void AddTimer(const SmartPtr<AsyncOp>& op, uint32_t ms);
    static void RemoveTimer(const SmartPtr<AsyncOp>& op);
    // Op is a SocketOp or derived from it (a template, so that this header
    // needs only the declaration of SocketOp).
    template <class Op>
    static void AddSocketOp(const SmartPtr<Op>& op);
    static void RemoveSocketOp(const SmartPtr<SocketOp>& op);

    // The version file is refreshed once per process; tests reset that.
    static void ResetVersionFileFlag() { mVersionFileWritten.store(false); }

protected:
    struct NoStartup
    {
    };
    // The common initialisation only: unstarted, no pump thread, threaded, no
    // socket thread.
    explicit QORAPICore(NoStartup);

private:
    void Initialize();
    void WriteVersionFile();
    // Kills what the timer and socket threads hold and everything queued, and
    // delivers the completions; no worker thread may run.
    void KillHeld();

    static std::atomic<QORAPICore*> mInstance;
    static std::atomic<bool> mVersionFileWritten;

    // Declared in reverse order of destruction: the queue goes last, and its
    // KillAll delivers what still stands in it.
    AsyncOpContainer mQueue;
    TimerThread mTimerThread;
    std::unique_ptr<SocketThread> mSocketThread;
    std::atomic<bool> mStarted;
    bool mThreaded;
    bool mUsePumpThread;
    std::string mVersion;
    std::string mFileDirectory;
    PumpThread mPumpThread;
};

class QORAPICoreEx : public QORAPICore
{
public:
    // Unstarted: set the options, then call Startup.
    QORAPICoreEx() : QORAPICore(NoStartup()) {}
    ~QORAPICoreEx() override = default;
};

template <class Op>
void QORAPICore::AddSocketOp(const SmartPtr<Op>& op)
{
    if (!op)
        return;
    QORAPICore* core = GetInstance();
    if (core && core->IsStarted() && core->mSocketThread)
        core->mSocketThread->AddOp(op);
    else
        op->Kill(true);
}

} // namespace QORAPI

#endif
