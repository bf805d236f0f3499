// OpTracker: the sub-operations an operation runs, each with the param its
// owner gave it.
//
// The index is searchable both ways: by param (several operations may share
// one) and by operation (each occurs at most once). Killing through the
// tracker removes the operation first, so its completion finds it untracked
// and the owner never hears of operations it killed itself.
//
// Thread safety: every member may be called from any thread; mCrit guards the
// index and is held while operations are killed (tracker lock, then
// operation lock).
#ifndef QORAPI_COMMON_OPTRACKER_H
#define QORAPI_COMMON_OPTRACKER_H

#include "common/AsyncOp.h"
#include "common/CriticalSection.h"

#include <cstddef>
#include <cstdint>
#include <map>

namespace QORAPI {

class OpTracker
{
public:
    OpTracker() = default;
    ~OpTracker() = default;
    OpTracker(const OpTracker&) = delete;
    OpTracker& operator=(const OpTracker&) = delete;

    // False when op is already tracked (it keeps its first entry).
    bool Add(const SmartPtr<AsyncOp>& op, int32_t param);
    // Whether op was tracked.
    bool Remove(const SmartPtr<AsyncOp>& op);
    // Kills op when it was tracked.
    void KillOp(const SmartPtr<AsyncOp>& op);
    // Kills every operation tracked with param, in index order.
    void KillByParam(int32_t param);
    void KillAll();

    bool IsTracked(const SmartPtr<AsyncOp>& op) const;
    // The param op is tracked with; false when it is not tracked.
    bool GetParam(const SmartPtr<AsyncOp>& op, int32_t& param) const;
    size_t GetCount() const;
    size_t GetCount(int32_t param) const;

private:
    using ParamIndex = std::multimap<int32_t, SmartPtr<AsyncOp>>;

    mutable CriticalSection mCrit;
    ParamIndex mByParam;                                  // guarded by mCrit
    std::map<const AsyncOp*, ParamIndex::iterator> mByOp; // guarded by mCrit
};

} // namespace QORAPI

#endif
