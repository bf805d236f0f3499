#include "QORSocket/AcceptOp.h"
#include "QORSocket/CloseOp.h"
#include "QORSocket/ConnectOp.h"
#include "QORSocket/RecvBytesFromOp.h"
#include "QORSocket/SendBytesOp.h"
#include "QORSocket/SendBytesToOp.h"

#include <exception>

namespace QORAPI {

ConnectOp::ConnectOp(const InetAddress& address, const SmartPtr<AsyncSocket>& socket)
    : SocketOp(socket), mAddress(address)
{
    mWaitFor[SocketWait_Write] = true;
    mWaitFor[SocketWait_Except] = true;
}

WSStatus ConnectOp::Start()
{
    return GetSocket()->Connect(mAddress);
}

WSStatus ConnectOp::Continue()
{
    return GetSocket()->WaitForConnect(TimeLeft());
}

AcceptOp::AcceptOp(const SmartPtr<AsyncSocket>& socket) : SocketOp(socket)
{
    mWaitFor[SocketWait_Read] = true;
}

WSStatus AcceptOp::Continue()
{
    GetSocket()->WaitForRead(TimeLeft());
    return GetSocket()->Accept(mAcceptedSocket);
}

SmartPtr<SocketOp> AcceptOp::Duplicate()
{
    return SmartPtr<SocketOp>(new AcceptOp(GetSocket()));
}

CloseOp::CloseOp(const SmartPtr<AsyncSocket>& socket) : SocketOp(socket)
{
}

WSStatus CloseOp::Continue()
{
    GetSocket()->Close();
    return WS_Success;
}

SendBytesOp::SendBytesOp(const SmartPtr<ByteBuffer>& bytes, const SmartPtr<AsyncSocket>& socket)
    : SocketOp(socket), mBytes(bytes)
{
    mWaitFor[SocketWait_Write] = true;
    Rewind();
}

void SendBytesOp::Rewind()
{
    mCursor.Set(ByteBuffer::DataOf(mBytes), ByteBuffer::LengthOf(mBytes));
}

WSStatus SendBytesOp::Start()
{
    Rewind();
    return Continue();
}

WSStatus SendBytesOp::Continue()
{
    AsyncSocket& socket = *GetSocket();
    bool wait = false;   // try first: a ready socket needs no poll
    while (mCursor.Remaining() > 0)
    {
        if (wait)
            socket.WaitForWrite(TimeLeft());
        wait = true;
        uint32_t sent = 0;
        const WSStatus s = socket.Send(mCursor.GetData() + mCursor.GetPos(), mCursor.Remaining(), &sent);
        if (sent > 0)
        {
            try
            {
                mCursor.ReadBytes(sent);
            }
            catch (const ReadBufferException&)
            {
                return WS_Incomplete;   // the system cannot report more than was asked
            }
        }
        if (s != WS_TimedOut)
            return s;
        if (TimeLeft() == 0)
            return WS_TimedOut;
    }
    return WS_Success;
}

SendBytesToOp::SendBytesToOp(const SmartPtr<ByteBuffer>& bytes, const InetAddress& address,
                             const SmartPtr<AsyncSocket>& socket)
    : SocketOp(socket), mBytes(bytes), mAddress(address)
{
    mWaitFor[SocketWait_Write] = true;
}

WSStatus SendBytesToOp::Continue()
{
    AsyncSocket& socket = *GetSocket();
    socket.WaitForWrite(TimeLeft());
    if (socket.IsConnected())
        return socket.Send(ByteBuffer::DataOf(mBytes), ByteBuffer::LengthOf(mBytes));
    return socket.SendTo(ByteBuffer::DataOf(mBytes), ByteBuffer::LengthOf(mBytes), mAddress);
}

RecvBytesFromOp::RecvBytesFromOp(uint16_t maxLength, const SmartPtr<AsyncSocket>& socket)
    : SocketOp(socket), mRawBuffer(nullptr), mMaxLength(maxLength)
{
    mWaitFor[SocketWait_Read] = true;
}

RecvBytesFromOp::~RecvBytesFromOp()
{
    ByteBuffer::FreeBlock(mRawBuffer);
}

void RecvBytesFromOp::RunHook()
{
    mResult = nullptr;
    if (!mRawBuffer)
    {
        try
        {
            mRawBuffer = ByteBuffer::AllocBlock(mMaxLength > 0 ? mMaxLength : 1);
        }
        catch (const std::exception&)
        {
            Finish(WS_WSAENOBUFS);
            return;
        }
    }
    SocketOp::RunHook();
}

WSStatus RecvBytesFromOp::Continue()
{
    AsyncSocket& socket = *GetSocket();
    socket.WaitForRead(TimeLeft());
    uint32_t got = 0;
    WSStatus s;
    if (socket.IsConnected())
    {
        mFrom = socket.GetDestAddr();
        s = socket.Recv(mRawBuffer, mMaxLength, &got);
    }
    else
    {
        s = socket.RecvFrom(mRawBuffer, mMaxLength, &mFrom, &got);
    }
    if (s == WS_Success)
    {
        mResult = new ByteBuffer(mRawBuffer, got, true);
        mRawBuffer = nullptr;
    }
    return s;
}

SmartPtr<SocketOp> RecvBytesFromOp::Duplicate()
{
    return SmartPtr<SocketOp>(new RecvBytesFromOp(mMaxLength, GetSocket()));
}

} // namespace QORAPI
