// RecvCRMsgOp: receives one text line ended by CR LF. The line handed out is
// the characters before the CR LF followed by one zero byte. A line longer
// than kMaxFrameLength bytes is refused with WS_RecvMsg_InvalidMessageLength.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_RECVCRMSGOP_H
#define QORAPI_QORSOCKET_RECVCRMSGOP_H

#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SocketOp.h"
#include "common/WriteBuffer.h"

namespace QORAPI {

class RecvCRMsgOp : public SocketOp
{
public:
    explicit RecvCRMsgOp(const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    const SmartPtr<ByteBuffer>& GetBytes() const { return mMessage; }

    WSStatus Start() override;
    WSStatus Continue() override;
    SmartPtr<SocketOp> Duplicate() override;

private:
    WriteBuffer mBuffer;
    SmartPtr<ByteBuffer> mMessage;
};

} // namespace QORAPI

#endif
