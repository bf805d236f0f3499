#include "service/ServerListener.h"

namespace QORAPI {

WSStatus OpenListener(const InetAddress& address, int backlog, SmartPtr<AsyncSocket>& listener)
{
    SmartPtr<AsyncSocket> socket = new AsyncSocket(SocketType::Stream);
    WSStatus status = socket->Bind(address, true);
    if (status == WS_Success)
        status = socket->Listen(backlog);
    if (status != WS_Success)
    {
        socket->Close();
        listener = nullptr;
        return status;
    }
    listener = socket;
    return WS_Success;
}

} // namespace QORAPI
