// SocketThread: the base of the threads that drive asynchronous socket
// operations.
//
// The library core owns one socket thread. It hands over socket operations
// whose first attempt would block (AddOp), takes back those that ended
// elsewhere (RemoveOp), drives it from its own pump when it runs without
// worker threads (Pump), and kills what it still holds at shutdown (PurgeOps).
// The base class holds nothing; the kinds derived from it do the work.
//
// Thread safety: AddOp, RemoveOp and Pump may be called from any thread and
// take mCrit (socket-thread lock, then socket lock). PurgeOps runs only once
// the thread no longer pumps.
#ifndef QORAPI_QORSOCKET_SOCKETTHREAD_H
#define QORAPI_QORSOCKET_SOCKETTHREAD_H

#include "common/CriticalSection.h"
#include "common/RefCount.h"
#include "common/Thread.h"

#include <cstdint>

namespace QORAPI {

class SocketOp;

class SocketThread : public Thread
{
public:
    SocketThread() = default;
    ~SocketThread() override = default;

    virtual void AddOp(const SmartPtr<SocketOp>& op);
    virtual void RemoveOp(const SmartPtr<SocketOp>& op);
    // Tries the held operations and may wait up to ms milliseconds.
    virtual void Pump(uint32_t ms);
    // Kills every held operation (WS_Killed) and drops it.
    virtual void PurgeOps();
    // Whether the core starts a thread for it.
    virtual bool NeedsOwnThread();

protected:
    // Pump(1000) until the stop is requested.
    uint32_t ThreadProc() override;

    CriticalSection mCrit; // guards the collections of the derived kinds
};

} // namespace QORAPI

#endif
