// PlatformThread: creation and joining of a platform thread, and the id of the
// calling thread.
//
// Creation can fail (the platform refuses, or a test asks it to); the caller
// then learns it from Create's result and no thread exists.
//
// Thread safety: a PlatformThread object belongs to the thread that owns it;
// CurrentThreadId and SetThreadCreationFailsForTest may be called from any thread.
#ifndef QORAPI_PLATFORM_PLATFORMTHREAD_H
#define QORAPI_PLATFORM_PLATFORMTHREAD_H

#include <cstdint>
#include <thread>

namespace QORAPI {

// A process-unique id of a thread; never 0.
using PlatformThreadId = uint64_t;

namespace Detail {
// Constant-initialised and defined here, so every reader accesses it directly
// rather than through a TLS wrapper call.
inline thread_local PlatformThreadId tCurrentThreadId = 0;
PlatformThreadId AssignThreadId();
}

inline PlatformThreadId CurrentThreadId()
{
    const PlatformThreadId id = Detail::tCurrentThreadId;
    return id != 0 ? id : Detail::AssignThreadId();
}

// Tells the processor that the calling thread is spinning on a value another
// thread will change (a pause hint where the processor has one).
inline void CpuRelax()
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#endif
}

class PlatformThread
{
public:
    using Proc = void (*)(void* arg);

    PlatformThread() = default;
    // A thread that was never joined is detached.
    ~PlatformThread();
    PlatformThread(const PlatformThread&) = delete;
    PlatformThread& operator=(const PlatformThread&) = delete;

    // Starts proc(arg) on a new thread with the default stack size; a thread
    // started earlier is joined first. False when no thread could be created.
    bool Create(Proc proc, void* arg);
    // Waits without limit until the thread has ended; nothing when there is no
    // thread or when called from the thread itself.
    void Join();

private:
    std::thread mThread;
};

// Makes every later Create fail while set (tests only).
void SetThreadCreationFailsForTest(bool fails);

} // namespace QORAPI

#endif
