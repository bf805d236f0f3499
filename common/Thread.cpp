#include "common/Thread.h"

namespace QORAPI {

ThreadBase::ThreadBase() : mStopRequested(true), mRunning(false), mSignalEvent(false, false) {}

ThreadBase::~ThreadBase() = default;

void ThreadBase::Start()
{
    if (mRunning.load(std::memory_order_acquire))
        return;
    mStopRequested.store(false, std::memory_order_release);
    mRunning.store(true, std::memory_order_release);
    StartThread();
}

void ThreadBase::Stop(bool wait)
{
    if (mStopRequested.exchange(true, std::memory_order_acq_rel))
        return;
    Signal();
    if (wait)
        WaitForExit();
}

bool ThreadBase::IsCurrent() const
{
    return mRunning.load(std::memory_order_acquire) && IsThreadCurrent();
}

void ThreadBase::WaitForExit()
{
    if (mRunning.load(std::memory_order_acquire) && !IsThreadCurrent())
        Join();
}

void ThreadBase::StartThread()
{
    mRunning.store(false, std::memory_order_release);
}

void ThreadBase::Join() {}

bool ThreadBase::IsThreadCurrent() const
{
    return false;
}

void ThreadBase::Signal()
{
    mSignalEvent.Set();
}

Thread::Thread() : mThreadId(0) {}

Thread::~Thread() = default;

void Thread::StartThread()
{
    if (!mThreadHandle.Create(&Thread::ThreadEntry, this))
        mRunning.store(false, std::memory_order_release);
}

void Thread::ThreadEntry(void* arg)
{
    Thread* self = static_cast<Thread*>(arg);
    self->mThreadId.store(CurrentThreadId(), std::memory_order_release);
    self->ThreadProc();
    // Last touch of the object: the owner may destroy it once this is seen.
    self->mRunning.store(false, std::memory_order_release);
}

void Thread::Join()
{
    mThreadHandle.Join();
}

bool Thread::IsThreadCurrent() const
{
    return mThreadId.load(std::memory_order_acquire) == CurrentThreadId();
}

} // namespace QORAPI
