// ConnectOp: connects a stream socket (or fixes the peer of a datagram
// socket) to an address. A refused connect ends with WS_WSAECONNREFUSED.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_CONNECTOP_H
#define QORAPI_QORSOCKET_CONNECTOP_H

#include "QORSocket/SocketOp.h"

namespace QORAPI {

class ConnectOp : public SocketOp
{
public:
    ConnectOp(const InetAddress& address, const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    void SetAddress(const InetAddress& address) { mAddress = address; }
    const InetAddress& GetAddress() const { return mAddress; }

    WSStatus Start() override;
    WSStatus Continue() override;

private:
    InetAddress mAddress;
};

} // namespace QORAPI

#endif
