// The blocking calls of AsyncSocket: each runs one operation with RunBlock.
#include "QORSocket/AcceptOp.h"
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/ConnectOp.h"
#include "QORSocket/RecvBytesFromOp.h"
#include "QORSocket/RecvBytesOp.h"
#include "QORSocket/RecvCRMsgOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendBytesOp.h"
#include "QORSocket/SendBytesToOp.h"
#include "QORSocket/SendMsgOp.h"

namespace QORAPI {

WSStatus AsyncSocket::ConnectBlock(const InetAddress& address, uint32_t timeout)
{
    SmartPtr<ConnectOp> op = new ConnectOp(address, SmartPtr<AsyncSocket>(this));
    op->RunBlock(timeout);
    return op->GetStatus();
}

WSStatus AsyncSocket::AcceptBlock(SmartPtr<AsyncSocket>& out, uint32_t timeout)
{
    SmartPtr<AcceptOp> op = new AcceptOp(SmartPtr<AsyncSocket>(this));
    if (op->RunBlock(timeout))
        out = op->GetAcceptedSocket();
    return op->GetStatus();
}

WSStatus AsyncSocket::SendBytesBlock(const SmartPtr<ByteBuffer>& bytes, uint32_t timeout)
{
    SmartPtr<SendBytesOp> op = new SendBytesOp(bytes, SmartPtr<AsyncSocket>(this));
    op->RunBlock(timeout);
    return op->GetStatus();
}

WSStatus AsyncSocket::RecvBytesBlock(SmartPtr<ByteBuffer>& out, uint32_t count, uint32_t timeout)
{
    SmartPtr<RecvBytesOp> op = new RecvBytesOp(count, SmartPtr<AsyncSocket>(this));
    if (op->RunBlock(timeout))
        out = op->GetBytes();
    return op->GetStatus();
}

WSStatus AsyncSocket::SendBytesToBlock(const SmartPtr<ByteBuffer>& bytes, const InetAddress& address, uint32_t timeout)
{
    SmartPtr<SendBytesToOp> op = new SendBytesToOp(bytes, address, SmartPtr<AsyncSocket>(this));
    op->RunBlock(timeout);
    return op->GetStatus();
}

WSStatus AsyncSocket::RecvBytesFromBlock(SmartPtr<ByteBuffer>& out, uint16_t maxLength, InetAddress& from,
                                         uint32_t timeout)
{
    SmartPtr<RecvBytesFromOp> op = new RecvBytesFromOp(maxLength, SmartPtr<AsyncSocket>(this));
    if (op->RunBlock(timeout))
    {
        out = op->GetBytes();
        from = op->GetAddr();
    }
    return op->GetStatus();
}

WSStatus AsyncSocket::SendMsgBlock(const SmartPtr<ByteBuffer>& message, uint32_t timeout)
{
    SmartPtr<SendMsgOp> op = new SendMsgOp(message, SmartPtr<AsyncSocket>(this));
    op->RunBlock(timeout);
    return op->GetStatus();
}

WSStatus AsyncSocket::RecvMsgBlock(SmartPtr<ByteBuffer>& out, uint32_t timeout)
{
    SmartPtr<RecvMsgOp> op = new RecvMsgOp(SmartPtr<AsyncSocket>(this));
    if (op->RunBlock(timeout))
        out = op->GetMsg();
    return op->GetStatus();
}

WSStatus AsyncSocket::RecvCRMsgBlock(SmartPtr<ByteBuffer>& out, uint32_t timeout)
{
    SmartPtr<RecvCRMsgOp> op = new RecvCRMsgOp(SmartPtr<AsyncSocket>(this));
    if (op->RunBlock(timeout))
        out = op->GetBytes();
    return op->GetStatus();
}

} // namespace QORAPI
