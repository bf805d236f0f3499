#include "QORSocket/SocketOp.h"

#include "QORAPI.h"

namespace QORAPI {

SocketOp::SocketOp(const SmartPtr<AsyncSocket>& socket) : mInSocketThread(false), mSocket(socket)
{
    for (int k = 0; k < 3; ++k)
    {
        mWaitFor[k] = false;
        mThreadIndex[k] = -1;
    }
}

SocketOp::~SocketOp() = default;

WSStatus SocketOp::Start()
{
    return Continue();
}

SmartPtr<SocketOp> SocketOp::Duplicate()
{
    return SmartPtr<SocketOp>();
}

void SocketOp::RunHook()
{
    if (!mSocket)
    {
        Finish(WS_SocketOp_InvalidSocket);
        return;
    }
    const WSStatus r = Start();
    if (r != WS_TimedOut)
    {
        Finish(r);
        return;
    }
    if (IsAsync())
        QORAPICore::AddSocketOp(SmartPtr<SocketOp>(this));
    else
        Finish(Continue());
}

void SocketOp::CleanupHook()
{
    if (mInSocketThread.load())
        QORAPICore::RemoveSocketOp(SmartPtr<SocketOp>(this));
}

bool SocketOp::TryOp()
{
    if (IsPending())
    {
        const WSStatus r = Continue();
        if (r != WS_TimedOut)
        {
            mInSocketThread = false;
            Finish(r);
        }
    }
    if (IsPending())
        return false;
    mInSocketThread = false;
    return true;
}

} // namespace QORAPI
