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
// delivered. KillAll is meant for when no thread pumps any more.
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

    size_t GetCount() const;

private:
    struct Entry
    {
        SmartPtr<AsyncOp> mOp;
        uint32_t mRun; // the run that posted the entry
    };

    // The operation one Pump or KillAll call is handling right now. Each call
    // has its own, so that several threads may pump one queue.
    struct Handler
    {
        AsyncOpContainer* mQueue = nullptr;
        AsyncOp* mCurOp = nullptr;     // held by the handling call
        bool mReposted = false;        // posted again by another thread; guarded by mCrit
        bool mRepostedHere = false;    // posted again by the handling thread itself
        bool mKillingAll = false;
        Handler* mNext = nullptr;      // guarded by mCrit
        Handler* mOuter = nullptr;     // the handler this thread ran before (nested pumps)
    };

    void AddHandler(Handler& handler);
    void RemoveHandler(Handler& handler);
    // Takes the first entry into handler; called with mCrit held.
    Entry TakeFirst(Handler& handler);
    // Delivers the operation being handled, again as long as the handling
    // thread itself posts it anew; called without mCrit.
    void DeliverOwn(Handler& handler, AsyncOp* op);
    // Delivers again when the current operation was finished by another
    // thread while it was being handled; called and returns with mCrit held.
    void HandleRepost(Handler& handler);

    mutable CriticalSection mCrit;
    Event mEvent;                          // auto-reset; set on empty -> one entry
    std::deque<Entry> mQueue;              // guarded by mCrit
    Handler* mHandlers;                    // guarded by mCrit; the running calls
    uint32_t mKillingAllCount = 0;         // guarded by mCrit; running KillAll calls
    std::atomic<uint32_t> mAdds{0};        // entries ever added; written under mCrit, watched without it
};

} // namespace QORAPI

#endif
