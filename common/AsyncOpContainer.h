// AsyncOpContainer: the completion queue through which asynchronous operations
// are started and completed.
//
// Run and Finish post an operation here; Pump takes the entries in order,
// starts those that are pending and delivers the completions of those that
// are finished. An operation may stand in the queue more than once; each entry
// carries the number of the run that posted it and is handled by the
// operation's state when it comes up, unless the operation has begun another
// run since: such a stale entry is dropped, so that a finish entry of a killed
// run never starts the next run a second time. (A run cannot begin before the
// completion of the previous one is delivered, so a dropped entry owes
// nothing.)
//
// Thread safety: Add, Wait and Pump may be called from any thread; mCrit
// guards the queue and is never held while an operation is started or
// delivered. A pumping call takes up to kBatchSize entries under one hold of
// mCrit and handles them without it; a thread that finishes an operation
// while a call handles it marks that call's current entry instead of queuing
// a second one. KillAll is meant for when no thread pumps any more.
#ifndef QORAPI_COMMON_ASYNCOPCONTAINER_H
#define QORAPI_COMMON_ASYNCOPCONTAINER_H

#include "common/AsyncOp.h"
#include "common/CriticalSection.h"
#include "common/Event.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace QORAPI {

class AsyncOpContainer
{
public:
    AsyncOpContainer();
    // Runs KillAll.
    virtual ~AsyncOpContainer();
    AsyncOpContainer(const AsyncOpContainer&) = delete;
    AsyncOpContainer& operator=(const AsyncOpContainer&) = delete;

    // Adds an entry for op's current run.
    void Add(const SmartPtr<AsyncOp>& op);
    // Adds an entry for the given run of op.
    void Add(const SmartPtr<AsyncOp>& op, uint32_t run);
    // The same for a caller that holds op: the entry takes its own reference.
    void Add(AsyncOp* op, uint32_t run);
    // True at once when the queue holds entries; else waits up to ms for one.
    bool Wait(uint32_t ms);
    // Handles entries: waits up to waitMs for a first one when the queue is
    // empty; stops when the queue is empty, after maxCount entries (maxCount
    // < 0: as many as stood in the queue at the start; 0: no limit) or once
    // waitMs has passed.
    void Pump(uint32_t waitMs, int32_t maxCount);
    // Kills every queued pending operation and delivers every completion,
    // including those of operations added meanwhile.
    void KillAll();

    // Entries waiting, in the queue or taken by a pumping call and not yet
    // handled.
    size_t GetCount() const;

private:
    struct Entry
    {
        SmartPtr<AsyncOp> mOp;
        uint32_t mRun; // the run that posted the entry
    };

    // The most entries one Pump or KillAll call takes out of the queue under
    // one hold of mCrit.
    static constexpr uint32_t kBatchSize = 64;

    // One running Pump or KillAll call. Each call has its own, so that
    // several threads may pump one queue.
    struct Handler
    {
        AsyncOpContainer* mQueue = nullptr;
        // The operation being handled, held by the handling call. The low bit
        // is set by another thread that posts it meanwhile: the call then
        // delivers again before it lets the operation go. Written by the
        // handling thread and, under mCrit, by posting threads.
        std::atomic<uintptr_t> mCur{0};
        bool mRepostedHere = false;    // posted again by the handling thread itself
        bool mKillingAll = false;
        Handler* mNext = nullptr;      // guarded by mCrit
        Handler* mOuter = nullptr;     // the handler this thread ran before (nested pumps)
        // Entries taken from the queue and not handled yet, in queue order:
        // mBatch[mBatchNext..mBatchEnd). Only the handling thread touches
        // them; mHeld mirrors their number for GetCount.
        Entry mBatch[kBatchSize];
        uint32_t mBatchNext = 0;
        uint32_t mBatchEnd = 0;
        std::atomic<uint32_t> mHeld{0};
    };

    // Waits up to ms for the queue to hold an entry; true when it does or
    // the event was set. Counted in mSleepers meanwhile.
    bool WaitForEntry(uint32_t ms);
    void AddHandler(Handler& handler);
    void RemoveHandler(Handler& handler);
    // Moves up to limit entries from the front of the queue into handler's
    // batch; called with mCrit held.
    void TakeBatch(Handler& handler, uint32_t limit);
    // Puts the entries handler took and did not handle back at the front of
    // the queue; called with mCrit held.
    void ReturnBatch(Handler& handler);
    // Handles the next entry of handler's batch without mCrit: starts or
    // kills it as the handler does, delivers, and delivers again for every
    // repost made while it was being handled.
    void HandleNext(Handler& handler);
    // Delivers the operation being handled, again as long as the handling
    // thread itself posts it anew; called without mCrit.
    void DeliverOwn(Handler& handler, AsyncOp* op);

    mutable CriticalSection mCrit;
    Event mEvent;                          // auto-reset; set on empty -> one entry while a call sleeps
    std::atomic<uint32_t> mSleepers{0};    // calls in (or about to enter) a wait on mEvent
    std::deque<Entry> mQueue;              // guarded by mCrit
    Handler* mHandlers;                    // guarded by mCrit; the running calls
    uint32_t mKillingAllCount = 0;         // guarded by mCrit; running KillAll calls
    std::atomic<uint32_t> mAdds{0};        // entries ever added; written under mCrit, watched without it
};

} // namespace QORAPI

#endif
