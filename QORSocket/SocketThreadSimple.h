// SocketThreadSimple: the socket thread that polls. Every pass (at most 20 ms
// apart) it makes one non-blocking attempt on each operation it holds.
//
// Thread safety: AddOp, RemoveOp and Pump may be called from any thread and
// take the thread's lock; PurgeOps runs only when nothing pumps any more.
#ifndef QORAPI_QORSOCKET_SOCKETTHREADSIMPLE_H
#define QORAPI_QORSOCKET_SOCKETTHREADSIMPLE_H

#include "QORSocket/SocketOp.h"
#include "QORSocket/SocketThread.h"

#include <cstdint>
#include <set>

namespace QORAPI {

class SocketThreadSimple : public SocketThread
{
public:
    SocketThreadSimple();
    ~SocketThreadSimple() override;

    void AddOp(const SmartPtr<SocketOp>& op) override;
    void RemoveOp(const SmartPtr<SocketOp>& op) override;
    void Pump(uint32_t ms) override;
    void PurgeOps() override;

    size_t GetOpCount() const;

protected:
    uint32_t ThreadProc() override;

private:
    std::set<SmartPtr<SocketOp>> mOps;   // guarded by mCrit
};

} // namespace QORAPI

#endif
