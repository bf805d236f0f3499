// RecvMsgOp: receives one framed message: a little-endian length field of the
// socket's size (1, 2 or 4 bytes) counting the whole frame, then the message.
// A length outside the frame rules ends it with WS_RecvMsg_InvalidMessageLength
// before anything of that size is allocated. The message handed out has
// passed the socket's transforms and has no length field.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_RECVMSGOP_H
#define QORAPI_QORSOCKET_RECVMSGOP_H

#include "QORSocket/MsgFrame.h"
#include "QORSocket/RecvBytesOp.h"

namespace QORAPI {

class RecvMsgOp : public RecvBytesOp
{
public:
    explicit RecvMsgOp(const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    const SmartPtr<ByteBuffer>& GetMsg() const { return mMessage; }

    WSStatus Start() override;
    WSStatus Continue() override;
    SmartPtr<SocketOp> Duplicate() override;

private:
    WSStatus LengthStep();
    WSStatus MessageStep();

    SmartPtr<ByteBuffer> mMessage;
    int32_t mPhase;                 // 1: length field, 2: message
    uint8_t mFieldSize;
};

} // namespace QORAPI

#endif
