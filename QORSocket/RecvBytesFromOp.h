// RecvBytesFromOp: receives one datagram of at most maxLength bytes and its
// sender. A longer datagram ends the operation with WS_WSAEMSGSIZE.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_RECVBYTESFROMOP_H
#define QORAPI_QORSOCKET_RECVBYTESFROMOP_H

#include "QORSocket/SocketOp.h"

namespace QORAPI {

class RecvBytesFromOp : public SocketOp
{
public:
    explicit RecvBytesFromOp(uint16_t maxLength, const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());
    ~RecvBytesFromOp() override;

    const SmartPtr<ByteBuffer>& GetBytes() const { return mResult; }
    const InetAddress& GetAddr() const { return mFrom; }
    uint16_t GetMaxLength() const { return mMaxLength; }

    WSStatus Continue() override;
    SmartPtr<SocketOp> Duplicate() override;

protected:
    void RunHook() override;

private:
    uint8_t* mRawBuffer;            // owned; handed to mResult on success
    SmartPtr<ByteBuffer> mResult;
    uint16_t mMaxLength;
    InetAddress mFrom;
};

} // namespace QORAPI

#endif
