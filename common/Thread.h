// ThreadBase and Thread: a thread object with a cooperative stop protocol.
//
// Start runs ThreadProc on a new platform thread; every ThreadProc of the
// library loops until IsStopRequested, and Stop sets that flag and Signals the
// thread so that a waiting loop sees it at once. Owners stop and join a thread
// before they destroy it.
//
// Thread safety: Start, Stop and WaitForExit belong to the owner's thread;
// Signal, IsCurrent, IsStopRequested and IsRunning may be called from any
// thread (the flags are atomic).
#ifndef QORAPI_COMMON_THREAD_H
#define QORAPI_COMMON_THREAD_H

#include "common/Event.h"
#include "platform/PlatformThread.h"

#include <atomic>
#include <cstdint>

namespace QORAPI {

class ThreadBase
{
public:
    ThreadBase();
    ThreadBase(const ThreadBase&) = delete;
    ThreadBase& operator=(const ThreadBase&) = delete;

    // Starts the thread unless it is running.
    void Start();
    // Asks the thread to end and wakes it; with wait, also WaitForExit. Does
    // nothing when a stop was already requested.
    void Stop(bool wait);
    // True when called on the running thread itself.
    bool IsCurrent() const;
    // Joins the thread when it runs and the caller is not the thread itself.
    void WaitForExit();
    bool IsStopRequested() const { return mStopRequested.load(std::memory_order_acquire); }
    bool IsRunning() const { return mRunning.load(std::memory_order_acquire); }

protected:
    // Starts the platform thread; ThreadBase has none and clears mRunning.
    virtual void StartThread();
    virtual void Join();
    virtual bool IsThreadCurrent() const;
    virtual uint32_t ThreadProc() = 0;

public:
    virtual ~ThreadBase();
    // Wakes the thread's waits.
    virtual void Signal();

protected:
    std::atomic<bool> mStopRequested; // true until Start
    std::atomic<bool> mRunning;       // started and not yet out of ThreadProc
    Event mSignalEvent;               // auto-reset
};

class Thread : public ThreadBase
{
public:
    Thread();
    // Neither stops nor joins: the owner has done both.
    ~Thread() override;

protected:
    // Clears mRunning again when the platform refuses to create the thread.
    void StartThread() override;
    void Join() override;
    bool IsThreadCurrent() const override;

private:
    static void ThreadEntry(void* arg);

    PlatformThread mThreadHandle;
    std::atomic<PlatformThreadId> mThreadId; // 0 until the thread has started
};

} // namespace QORAPI

#endif
