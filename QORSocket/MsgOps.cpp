#include "QORSocket/MsgFrame.h"
#include "QORSocket/RecvCRMsgOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "common/ReadBuffer.h"

namespace QORAPI {

SendMsgOp::SendMsgOp(const SmartPtr<ByteBuffer>& message, const SmartPtr<AsyncSocket>& socket)
    : SendBytesOp(message, socket), mMessage(message)
{
}

WSStatus SendMsgOp::Start()
{
    mBytes = mMessage;
    // A frame its length field cannot carry would put the peer out of step
    // with the frames: refuse it before the transforms (which may count it,
    // as the sequence numbers of an encrypted session do) and after them.
    const uint8_t field = GetSocket()->GetLengthFieldSize();
    const bool framed = field == 1 || field == 2 || field == 4;
    WSStatus s = WS_Success;
    if (framed && !FrameFitsLengthField(ByteBuffer::LengthOf(mMessage), field))
        s = WS_SendMsg_FrameTooLong;
    if (s == WS_Success)
        s = GetSocket()->ApplySendTransforms(mBytes);
    if (s == WS_Success && framed && !FrameFitsLengthField(ByteBuffer::LengthOf(mBytes), field))
        s = WS_SendMsg_FrameTooLong;
    if (s != WS_Success)
    {
        mBytes = mMessage;
        Rewind();
        return s;
    }
    Rewind();
    return Continue();
}

RecvMsgOp::RecvMsgOp(const SmartPtr<AsyncSocket>& socket) : RecvBytesOp(0, socket), mPhase(1), mFieldSize(4)
{
}

WSStatus RecvMsgOp::Start()
{
    mPhase = 1;
    mMessage = nullptr;
    mFieldSize = GetSocket()->GetLengthFieldSize();
    if (mFieldSize != 1 && mFieldSize != 2 && mFieldSize != 4)
        return WS_RecvMsg_InvalidLengthFieldSize;
    mCount = mFieldSize;
    WSStatus s = StartRecv();
    if (s == WS_Success)
        s = ContinueRecv();
    if (s != WS_Success)
        return s;
    return LengthStep();
}

WSStatus RecvMsgOp::Continue()
{
    const WSStatus s = ContinueRecv();
    if (s != WS_Success)
        return s;
    return mPhase == 1 ? LengthStep() : MessageStep();
}

WSStatus RecvMsgOp::LengthStep()
{
    mPhase = 2;
    uint32_t length = 0;
    try
    {
        ReadBuffer field(mResult);
        // Signed values of the field's width, widened with their sign.
        switch (mFieldSize)
        {
        case 1: length = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(field.ReadByte()))); break;
        case 2: length = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(field.ReadShort()))); break;
        default: length = field.ReadLong(); break;
        }
    }
    catch (const ReadBufferException&)
    {
        return WS_RecvMsg_InvalidMessageLength;
    }
    if (!(length > mFieldSize && length < kMaxFrameLength))
        return WS_RecvMsg_InvalidMessageLength;
    mCount = length - mFieldSize;
    WSStatus s = StartRecv();
    if (s == WS_Success)
        s = ContinueRecv();
    if (s != WS_Success)
        return s;
    return MessageStep();
}

WSStatus RecvMsgOp::MessageStep()
{
    mMessage = mResult;
    return GetSocket()->ApplyRecvTransforms(mMessage);
}

SmartPtr<SocketOp> RecvMsgOp::Duplicate()
{
    return SmartPtr<SocketOp>(new RecvMsgOp(GetSocket()));
}

RecvCRMsgOp::RecvCRMsgOp(const SmartPtr<AsyncSocket>& socket) : SocketOp(socket), mBuffer(0, false)
{
    mWaitFor[SocketWait_Read] = true;
}

WSStatus RecvCRMsgOp::Start()
{
    mBuffer.Reset();
    mMessage = nullptr;
    return Continue();
}

WSStatus RecvCRMsgOp::Continue()
{
    AsyncSocket& socket = *GetSocket();
    bool wait = false;   // try first: a ready socket needs no poll
    for (;;)
    {
        if (wait)
            socket.WaitForRead(TimeLeft());
        wait = true;
        uint8_t c = 0;
        const WSStatus s = socket.Recv(&c, 1);
        if (s != WS_Success)
        {
            if (s == WS_TimedOut && TimeLeft() > 0)
                continue;
            return s;
        }
        wait = false;
        mBuffer.AppendByte(c);
        const uint32_t n = mBuffer.GetLength();
        if (c == '\n' && n >= 2 && mBuffer.GetData()[n - 2] == '\r')
        {
            mBuffer.SetByte(n - 2, 0);
            mBuffer.SetLength(n - 1);
            mMessage = mBuffer.ToByteBuffer(true);
            return WS_Success;
        }
        // A line may not grow without bound: refuse one longer than a frame
        // may be (a trailing CR may still begin the line end).
        const uint32_t content = c == '\r' ? n - 1 : n;
        if (content > kMaxFrameLength)
            return WS_RecvMsg_InvalidMessageLength;
    }
}

SmartPtr<SocketOp> RecvCRMsgOp::Duplicate()
{
    return SmartPtr<SocketOp>(new RecvCRMsgOp(GetSocket()));
}

} // namespace QORAPI
