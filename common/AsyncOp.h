// AsyncOp: the base of every operation of the library.
//
// An operation is run blocking (RunBlock: it ends inside the call and its
// completion is called on the caller's thread) or asynchronously (RunAsync:
// it is posted to a completion queue; the thread that pumps the queue starts
// it, and later calls its completion). Each run ends with exactly one status.
// A plain AsyncOp run asynchronously with a timeout is a timer; with none it
// waits until someone calls Finish.
//
// Thread safety: Run, Finish, ForceFinish, Kill and the accessors may be
// called from any thread; status, flags and the completion are guarded by
// mCrit, the timer fields by the timer thread's lock. SetTimeout, SetMode and
// SetCompletionQueue are meant for the caller before a run. Hooks and the
// completion run with no operation lock held, so they may start, finish or
// kill any operation, this one included. Lock order: timer thread, then
// operation, then queue; an operation never holds its lock while it posts.
//
// Every run has a number. Each queue entry carries the number of the run that
// posted it, and an entry of an earlier run is ignored: a stale entry can
// never start or complete a later run.
#ifndef QORAPI_COMMON_ASYNCOP_H
#define QORAPI_COMMON_ASYNCOP_H

#include "common/Completion.h"
#include "common/CriticalSection.h"
#include "common/Event.h"
#include "common/RefCount.h"
#include "common/WSStatus.h"

#include <atomic>
#include <cstdint>
#include <map>

namespace QORAPI {

class AsyncOp;
class AsyncOpContainer;
class TimerThread;

enum OpMode : int32_t {
    OpMode_Async = 1, // completion through a queue and a pump
    OpMode_Block = 2  // runs to its end inside Run, on the caller's thread
};

using AsyncOpCompletion = CompletionBase<SmartPtr<AsyncOp>>;

// The timer thread's deadline maps: tick of the deadline to the operation.
using AsyncOpDeadlineMap = std::multimap<uint32_t, SmartPtr<AsyncOp>>;

class AsyncOp : public RefCount
{
public:
    AsyncOp();
    ~AsyncOp() override;
    AsyncOp(const AsyncOp&) = delete;
    AsyncOp& operator=(const AsyncOp&) = delete;

    // Run(OpMode_Async, timeout); normally returns WS_Pending.
    WSStatus RunAsync(uint32_t timeout = InfiniteMs);
    // Run(OpMode_Block, timeout); true when the result is WS_Success.
    bool RunBlock(uint32_t timeout = InfiniteMs);
    // Starts an idle operation. WS_Pending when it is already running,
    // WS_AwaitingCompletion when its completion is not yet delivered;
    // otherwise the status after the start.
    WSStatus Run(OpMode mode, uint32_t timeout);
    // Runs as a plain timer: pending, asynchronous, finished with WS_TimedOut
    // after ms unless finished earlier; RunHook is not called. Returns as Run.
    WSStatus RunAsTimer(uint32_t ms);

    // Ends a pending operation with status; nothing when it is not pending.
    void Finish(WSStatus status);
    // Like Finish, but an idle operation is first made pending so that it ends
    // with status; nothing while a completion awaits delivery.
    void ForceFinish(WSStatus status);
    // Marks the operation killed; with finish, Finish(WS_Killed).
    void Kill(bool finish = true);
    // Kill that also ends an idle operation: it is made pending (asynchronous)
    // and finished with WS_Killed, so that its completion is delivered;
    // nothing while a completion awaits delivery.
    void ForceKill();

    void SetCompletion(const SmartPtr<AsyncOpCompletion>& completion);
    SmartPtr<AsyncOpCompletion> GetCompletion() const;
    // A queue of the operation's own in place of the core's (null: the core's).
    void SetCompletionQueue(AsyncOpContainer* queue);
    // Change only while the operation is not pending.
    void SetTimeout(uint32_t ms);
    void SetMode(OpMode mode);

    WSStatus GetStatus() const { return mStatus.load(std::memory_order_acquire); }
    uint32_t GetTimeout() const { return mTimeout.load(std::memory_order_relaxed); }
    OpMode GetMode() const { return mMode.load(std::memory_order_relaxed); }
    bool IsPending() const { return GetStatus() == WS_Pending; }
    bool IsAwaitingCompletion() const { return mAwaitingCompletion.load(std::memory_order_acquire); }
    bool IsKilled() const { return mKilled.load(std::memory_order_acquire); }
    bool IsAsync() const { return GetMode() == OpMode_Async; }
    // The number of the current (or last) run; it changes whenever the
    // operation becomes pending from idle.
    uint32_t GetRunNumber() const { return mRunNumber.load(std::memory_order_acquire); }
    // Milliseconds the run may still take: 0 in asynchronous mode; in blocking
    // mode the rest of the timeout (InfiniteMs when there is none), 0 once spent.
    uint32_t TimeLeft() const;

    // Used by the completion queue: starts a posted pending operation (RunHook,
    // then the timeout rule), and delivers an awaited completion.
    void StartPosted();
    void DeliverCompletion();

protected:
    // The operation's work; does nothing here.
    virtual void RunHook();
    // Releases what the run holds; called before the completion is delivered.
    virtual void CleanupHook();

    // Hands the operation to its queue, or to the core's, as an entry of run.
    void Post(uint32_t run);

    mutable CriticalSection mCrit; // guards status, flags and mCompletion

private:
    friend class TimerThread;

    // Makes an idle operation pending as a new run; called with mCrit held.
    void BeginRunLocked(OpMode mode, uint32_t timeout);
    // ForceFinish and ForceKill.
    void ForceEnd(WSStatus status, bool kill);

    SmartPtr<AsyncOpCompletion> mCompletion;    // guarded by mCrit
    std::atomic<AsyncOpContainer*> mCompletionQueue;
    std::atomic<uint32_t> mStartTick;
    std::atomic<uint32_t> mTimeout;
    std::atomic<OpMode> mMode;
    std::atomic<WSStatus> mStatus;              // written under mCrit
    std::atomic<bool> mAwaitingCompletion;      // written under mCrit
    std::atomic<bool> mKilled;                  // written under mCrit
    std::atomic<uint32_t> mRunNumber;           // written under mCrit
    // The timeout entry; written under the timer thread's lock.
    std::atomic<AsyncOpDeadlineMap*> mTimerMap;
    AsyncOpDeadlineMap::iterator mTimerEntry;
};

} // namespace QORAPI

#endif
