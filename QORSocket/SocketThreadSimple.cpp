#include "QORSocket/SocketThreadSimple.h"

namespace QORAPI {

void SocketThreadSimple::Pump(uint32_t ms)
{
    const uint32_t wait = ms < 20 ? ms : 20;
    if (wait > 0)
        mSignalEvent.Wait(wait);
}

uint32_t SocketThreadSimple::ThreadProc()
{
    while (!IsStopRequested())
        mSignalEvent.Wait(20);
    return 0;
}

} // namespace QORAPI
