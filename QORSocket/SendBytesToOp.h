// SendBytesToOp: sends one datagram to an address; a connected datagram
// socket sends to its own peer instead.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_SENDBYTESTOOP_H
#define QORAPI_QORSOCKET_SENDBYTESTOOP_H

#include "QORSocket/SocketOp.h"

namespace QORAPI {

class SendBytesToOp : public SocketOp
{
public:
    SendBytesToOp(const SmartPtr<ByteBuffer>& bytes, const InetAddress& address,
                  const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    const SmartPtr<ByteBuffer>& GetBytes() const { return mBytes; }
    const InetAddress& GetAddress() const { return mAddress; }

    WSStatus Continue() override;

private:
    SmartPtr<ByteBuffer> mBytes;
    InetAddress mAddress;
};

} // namespace QORAPI

#endif
