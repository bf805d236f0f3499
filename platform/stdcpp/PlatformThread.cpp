#include "platform/PlatformThread.h"

#include <atomic>

namespace QORAPI {

namespace {
std::atomic<bool> gCreationFails{false};
std::atomic<PlatformThreadId> gNextThreadId{1};
}

namespace Detail {

PlatformThreadId AssignThreadId()
{
    tCurrentThreadId = gNextThreadId.fetch_add(1, std::memory_order_relaxed);
    return tCurrentThreadId;
}

} // namespace Detail

PlatformThread::~PlatformThread()
{
    if (mThread.joinable())
        mThread.detach();
}

bool PlatformThread::Create(Proc proc, void* arg)
{
    if (mThread.joinable())
    {
        if (mThread.get_id() == std::this_thread::get_id())
            mThread.detach();
        else
            mThread.join();
    }
    if (gCreationFails.load(std::memory_order_relaxed))
        return false;
    try
    {
        mThread = std::thread(proc, arg);
    }
    catch (...)
    {
        return false;
    }
    return true;
}

void PlatformThread::Join()
{
    if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id())
        mThread.join();
}

void SetThreadCreationFailsForTest(bool fails)
{
    gCreationFails.store(fails, std::memory_order_relaxed);
}

} // namespace QORAPI
