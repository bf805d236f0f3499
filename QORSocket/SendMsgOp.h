// SendMsgOp: sends one framed message. The frame (length field included) is
// built by the caller; it passes the socket's transforms before any byte is
// sent. A frame longer than the socket's length field carries (MsgFrame.h),
// before or after the transforms, ends the run with WS_SendMsg_FrameTooLong
// and nothing sent.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_SENDMSGOP_H
#define QORAPI_QORSOCKET_SENDMSGOP_H

#include "QORSocket/SendBytesOp.h"

namespace QORAPI {

class SendMsgOp : public SendBytesOp
{
public:
    SendMsgOp(const SmartPtr<ByteBuffer>& message, const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    void SetMsg(const SmartPtr<ByteBuffer>& message) { mMessage = message; }
    const SmartPtr<ByteBuffer>& GetMsg() const { return mMessage; }

    WSStatus Start() override;

private:
    SmartPtr<ByteBuffer> mMessage;
};

} // namespace QORAPI

#endif
