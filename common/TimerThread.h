// TimerThread: enforces the timeouts of asynchronous operations.
//
// Each armed operation has one entry keyed by its deadline tick. Deadlines that
// lie beyond the next wrap of the 32-bit tick counter wait in a second map and
// move over when the counter wraps. The thread sleeps until the next deadline
// and finishes expired operations with WS_TimedOut; without its own thread the
// core drives GetWaitTime and ProcessTimers from its pump.
//
// Thread safety: every member may be called from any thread; mCrit guards the
// maps, the spare entry nodes, mLastTick and the timer fields of the
// operations. Operations are finished and killed with mCrit held (timer lock,
// then operation lock, then queue lock).
#ifndef QORAPI_COMMON_TIMERTHREAD_H
#define QORAPI_COMMON_TIMERTHREAD_H

#include "common/AsyncOp.h"
#include "common/CriticalSection.h"
#include "common/Thread.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QORAPI {

class TimerThread : public Thread
{
public:
    TimerThread();
    // Kills what is still armed; the owner has stopped and joined the thread.
    ~TimerThread() override;

    // Arms op's entry ms milliseconds from now, replacing one it has, and
    // wakes the thread so that it recomputes its wait when the new entry is
    // the first and falls due before the thread would wake by itself (it
    // looks at the maps at least once a second).
    void Add(const SmartPtr<AsyncOp>& op, uint32_t ms);
    // Removes op's entry if it has one here.
    void Remove(const SmartPtr<AsyncOp>& op);
    // Finishes every operation whose deadline has passed with WS_TimedOut.
    void ProcessTimers();
    // Milliseconds until the next deadline; with none, until 10 ms past the
    // next wrap of the counter.
    uint32_t GetWaitTime();
    // Kills every armed operation and empties both maps.
    void KillAll();

    // Introspection for tests and diagnostics.
    size_t GetDeadlineCount() const;
    size_t GetWrappedDeadlineCount() const;
    bool HasEntry(const SmartPtr<AsyncOp>& op) const;
    // The key of op's entry; false when it has none here.
    bool GetEntryKey(const SmartPtr<AsyncOp>& op, uint32_t& key, bool& wrapped) const;

protected:
    uint32_t ThreadProc() override;

private:
    using Node = AsyncOpDeadlineMap::node_type;

    bool OwnsMap(const AsyncOpDeadlineMap* map) const { return map == &mDeadlines || map == &mWrappedDeadlines; }
    // The processing step at tick now; entries it takes end up in done, to be
    // released after mCrit is left.
    void ProcessLocked(uint32_t now, std::vector<Node>& done);

    mutable CriticalSection mCrit;
    AsyncOpDeadlineMap mDeadlines;        // before the next wrap
    AsyncOpDeadlineMap mWrappedDeadlines; // beyond the next wrap
    uint32_t mLastTick;                   // tick of the last processing
    bool mWaiting;                        // the thread is in (or about to enter) its wait
    uint32_t mWakeTick;                   // tick at which that wait ends by itself
    std::vector<Node> mSpareNodes;        // removed entry nodes kept for reuse; empty mapped values
};

} // namespace QORAPI

#endif
