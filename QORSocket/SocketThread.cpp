#include "QORSocket/SocketThread.h"

namespace QORAPI {

void SocketThread::AddOp(const SmartPtr<SocketOp>&) {}

void SocketThread::RemoveOp(const SmartPtr<SocketOp>&) {}

void SocketThread::Pump(uint32_t) {}

void SocketThread::PurgeOps() {}

bool SocketThread::NeedsOwnThread()
{
    return true;
}

uint32_t SocketThread::ThreadProc()
{
    while (!IsStopRequested())
        Pump(1000);
    return 0;
}

} // namespace QORAPI
