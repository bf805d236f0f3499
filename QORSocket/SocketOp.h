// SocketOp: the base of every operation that works on one AsyncSocket. Start
// begins the work and Continue carries it on; both return WS_TimedOut while
// the work is not finished. Blocking runs loop on the caller's thread; an
// asynchronous run makes one attempt and hands the rest to the socket thread.
//
// Thread safety: an operation is run by one caller at a time. In asynchronous
// mode Start runs on the pump and Continue on the socket thread under that
// thread's lock; the socket-thread fields below are guarded by the same lock.
#ifndef QORAPI_QORSOCKET_SOCKETOP_H
#define QORAPI_QORSOCKET_SOCKETOP_H

#include "QORSocket/AsyncSocket.h"
#include "common/AsyncOp.h"

#include <atomic>
#include <cstdint>

namespace QORAPI {

// Readiness kinds, the index of waitFor and threadIndex.
enum SocketWaitKind
{
    SocketWait_Read = 0,
    SocketWait_Write = 1,
    SocketWait_Except = 2
};

class SocketOp : public AsyncOp
{
public:
    explicit SocketOp(const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());
    ~SocketOp() override;

    void SetSocket(const SmartPtr<AsyncSocket>& socket) { mSocket = socket; }
    const SmartPtr<AsyncSocket>& GetSocket() const { return mSocket; }

    virtual WSStatus Start();
    virtual WSStatus Continue() = 0;
    // A fresh operation of the same kind and settings on the same socket, or none.
    virtual SmartPtr<SocketOp> Duplicate();

    bool WaitsFor(int kind) const { return mWaitFor[kind]; }
    bool IsInSocketThread() const { return mInSocketThread.load(); }
    int32_t GetThreadIndex(int kind) const { return mThreadIndex[kind]; }

    // The socket thread's attempt: Continue when still running, Finish with
    // any result but WS_TimedOut. True when the operation is done and leaves
    // the thread. Called under the socket thread's lock.
    bool TryOp();

protected:
    void RunHook() override;
    void CleanupHook() override;

    bool mWaitFor[3];

private:
    friend class SocketThreadSimple;
    friend class SocketThreadEx;

    std::atomic<bool> mInSocketThread;
    int32_t mThreadIndex[3];        // guarded by the socket thread's lock
    SmartPtr<AsyncSocket> mSocket;
};

typedef SmartPtr<SocketOp> SocketOpPtr;

} // namespace QORAPI

#endif
