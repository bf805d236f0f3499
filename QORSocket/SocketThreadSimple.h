// SocketThreadSimple: the polling socket thread.
//
// It tries every socket operation it holds at most every 20 ms. This version
// holds no operations yet: it only waits on its signal event, so that the
// core can own, start and stop it.
//
// Thread safety: as SocketThread.
#ifndef QORAPI_QORSOCKET_SOCKETTHREADSIMPLE_H
#define QORAPI_QORSOCKET_SOCKETTHREADSIMPLE_H

#include "QORSocket/SocketThread.h"

#include <cstdint>

namespace QORAPI {

class SocketThreadSimple : public SocketThread
{
public:
    SocketThreadSimple() = default;
    ~SocketThreadSimple() override = default;

    // Waits on mSignalEvent for min(ms, 20) milliseconds; not at all for 0.
    void Pump(uint32_t ms) override;

protected:
    uint32_t ThreadProc() override;
};

} // namespace QORAPI

#endif
