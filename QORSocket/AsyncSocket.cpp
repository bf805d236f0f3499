#include "QORSocket/AsyncSocket.h"

#include <atomic>

namespace QORAPI {

namespace {
std::atomic<int32_t> gSocketStartups{0};
}

WSStatus StartSockets()
{
    // The POSIX socket layer needs no start-up; only the count is kept.
    gSocketStartups.fetch_add(1);
    return WS_Success;
}

WSStatus StopSockets()
{
    int32_t count = gSocketStartups.load();
    while (count >= 1 && !gSocketStartups.compare_exchange_weak(count, count - 1))
    {
    }
    return WS_Success;
}

WSStatus SocketErrorToStatus(int32_t err)
{
    if (err == SOCK_ERR_WOULDBLOCK || err == SOCK_ERR_INPROGRESS)
        return WS_TimedOut;
    return static_cast<WSStatus>(err);
}

typedef std::lock_guard<std::recursive_mutex> Lock;

AsyncSocket::AsyncSocket(SocketType type)
    : mHandle(INVALID_SOCKET), mType(type), mLengthFieldSize(4), mConnected(false)
{
}

AsyncSocket::~AsyncSocket()
{
    CloseHandle();
}

SmartPtr<AsyncSocket> AsyncSocket::Duplicate()
{
    return SmartPtr<AsyncSocket>(new AsyncSocket(GetType()));
}

WSStatus AsyncSocket::Open()
{
    Lock lock(mCrit);
    if (mHandle != INVALID_SOCKET)
        Close();
    SOCKET h;
    int32_t err = SockCreate(mType == SocketType::Stream ? SOCK_KIND_STREAM : SOCK_KIND_DATAGRAM, h);
    if (err != 0)
        return SocketErrorToStatus(err);
    mHandle = h;
    if (mType == SocketType::Stream)
        err = SockSetLinger(h, false, 0);
    else
        err = SockSetBroadcast(h, true);
    if (err != 0)
        return SocketErrorToStatus(err);
    // Created non-blocking; nothing more to switch.
    OnOpen();
    return WS_Success;
}

WSStatus AsyncSocket::Bind(uint16_t port, bool reuseAddress)
{
    return Bind(InetAddress(0u, port), reuseAddress);
}

WSStatus AsyncSocket::Bind(const InetAddress& local, bool reuseAddress)
{
    Lock lock(mCrit);
    if (mHandle == INVALID_SOCKET)
    {
        const WSStatus s = Open();
        if (s != WS_Success)
            return s;
    }
    if (reuseAddress)
    {
        const int32_t err = SockSetReuseAddr(mHandle, true);
        if (err != 0)
            return SocketErrorToStatus(err);
    }
    const int32_t err = SockBindTo(mHandle, local.GetSockAddr());
    return err == 0 ? WS_Success : SocketErrorToStatus(err);
}

WSStatus AsyncSocket::Listen(int32_t backlog)
{
    Lock lock(mCrit);
    if (mHandle == INVALID_SOCKET)
        return WS_AsyncSocket_InvalidSocket;
    if (mType == SocketType::Datagram)
        return WS_AsyncSocket_DatagramNotAllowed;
    const int32_t err = SockListen(mHandle, backlog);
    return err == 0 ? WS_Success : SocketErrorToStatus(err);
}

WSStatus AsyncSocket::Connect(const InetAddress& address)
{
    Lock lock(mCrit);
    if (mType == SocketType::Stream && mConnected)
        Disconnect();
    if (mHandle == INVALID_SOCKET)
    {
        const WSStatus s = Open();
        if (s != WS_Success)
            return s;
    }
    mDestAddr = address;
    mConnected = true;
    const int32_t err = SockConnect(mHandle, address.GetSockAddr());
    return err == 0 ? WS_Success : SocketErrorToStatus(err);
}

WSStatus AsyncSocket::Accept(SmartPtr<AsyncSocket>& out)
{
    Lock lock(mCrit);
    // A closed socket is no socket at all (the system would say "bad
    // descriptor" for the invalid handle).
    if (mHandle == INVALID_SOCKET)
        return WS_WSAENOTSOCK;
    SOCKET h;
    SockAddrIn peer;
    const int32_t err = SockAccept(mHandle, h, peer);
    if (err != 0)
        return SocketErrorToStatus(err);
    SockSetLinger(h, false, 0);
    SmartPtr<AsyncSocket> s = Duplicate();
    {
        Lock other(s->mCrit);
        s->mHandle = h;
        s->mDestAddr = InetAddress(peer);
        s->mConnected = true;
    }
    out = s;
    return WS_Success;
}

WSStatus AsyncSocket::Send(const void* data, uint32_t length, uint32_t* sent)
{
    Lock lock(mCrit);
    if (mHandle == INVALID_SOCKET)
        return WS_AsyncSocket_InvalidSocket;
    uint32_t n = 0;
    const int32_t err = SockSend(mHandle, data, length, n);
    if (err != 0)
        return SocketErrorToStatus(err);
    if (n > 0)
        mSentSinceRecv.store(true, std::memory_order_relaxed);
    if (sent)
        *sent = n;
    if (n < length)
        return mType == SocketType::Datagram ? WS_AsyncSocket_PartialSendTo : WS_TimedOut;
    return WS_Success;
}

WSStatus AsyncSocket::Recv(void* buffer, uint32_t length, uint32_t* received)
{
    Lock lock(mCrit);
    if (mHandle == INVALID_SOCKET)
        return WS_AsyncSocket_InvalidSocket;
    const bool datagram = mType == SocketType::Datagram;
    uint32_t n = 0;
    const int32_t err = SockRecv(mHandle, buffer, length, datagram, n);
    if (err != 0)
        return SocketErrorToStatus(err);
    if (n > 0)
        mSentSinceRecv.store(false, std::memory_order_relaxed);
    // An empty datagram is a datagram, not a close.
    if (n == 0 && !datagram && length > 0)
        return WS_AsyncSocket_Shutdown;
    if (received)
        *received = n;
    if (!datagram && n < length)
        return WS_TimedOut;
    return WS_Success;
}

WSStatus AsyncSocket::SendTo(const void* data, uint32_t length, const InetAddress& address)
{
    Lock lock(mCrit);
    if (mType == SocketType::Stream)
        return WS_AsyncSocket_StreamNotAllowed;
    if (mHandle == INVALID_SOCKET)
    {
        const WSStatus s = Open();
        if (s != WS_Success)
            return s;
    }
    uint32_t n = 0;
    const int32_t err = SockSendTo(mHandle, data, length, address.GetSockAddr(), n);
    if (err != 0)
        return SocketErrorToStatus(err);
    return n == length ? WS_Success : WS_AsyncSocket_PartialSendTo;
}

WSStatus AsyncSocket::RecvFrom(void* buffer, uint32_t length, InetAddress* from, uint32_t* received)
{
    Lock lock(mCrit);
    if (mType == SocketType::Stream)
        return WS_AsyncSocket_StreamNotAllowed;
    if (mHandle == INVALID_SOCKET)
        return WS_AsyncSocket_InvalidSocket;
    SockAddrIn sa;
    uint32_t n = 0;
    const int32_t err = SockRecvFrom(mHandle, buffer, length, sa, n);
    if (err != 0)
    {
        if (from && err == SOCK_ERR_MSGSIZE)
            *from = InetAddress(sa);
        return SocketErrorToStatus(err);
    }
    if (from)
        *from = InetAddress(sa);
    if (received)
        *received = n;
    return WS_Success;
}

WSStatus AsyncSocket::Wait(bool read, bool write, uint32_t ms, int16_t* revents)
{
    SockPollFd fd;
    {
        Lock lock(mCrit);
        if (mHandle == INVALID_SOCKET)
            return WS_AsyncSocket_InvalidSocket;
        fd.fd = mHandle;
    }
    fd.events = static_cast<int16_t>((read ? SOCK_POLL_READ : 0) | (write ? SOCK_POLL_WRITE | SOCK_POLL_EXCEPT : 0));
    fd.revents = 0;
    const int32_t n = SockPoll(&fd, 1, ms);
    if (revents)
        *revents = n > 0 ? fd.revents : 0;
    return n == 1 ? WS_Success : WS_TimedOut;
}

void AsyncSocket::WaitForRead(uint32_t ms)
{
    if (ms != 0)
        Wait(true, false, ms, nullptr);
}

void AsyncSocket::WaitForWrite(uint32_t ms)
{
    if (ms != 0)
        Wait(false, true, ms, nullptr);
}

WSStatus AsyncSocket::WaitForConnect(uint32_t ms)
{
    int16_t revents = 0;
    const WSStatus s = Wait(false, true, ms, &revents);
    if (s == WS_AsyncSocket_InvalidSocket)
        return s;
    if (revents == 0)
        return WS_TimedOut;
    // Linux reports a failed connect as writable with an error: read SO_ERROR
    // whenever the socket signals anything.
    int32_t pending = 0;
    SOCKET h;
    {
        Lock lock(mCrit);
        h = mHandle;
    }
    if (h == INVALID_SOCKET)
        return WS_AsyncSocket_InvalidSocket;
    const int32_t err = SockGetPendingError(h, pending);
    if (err != 0)
        return SocketErrorToStatus(err);
    if (pending != 0)
        return static_cast<WSStatus>(pending);
    if (revents & SOCK_POLL_FAILED)
        return WS_AsyncSocket_ConnectFailed;
    return (revents & SOCK_POLL_WRITE) ? WS_Success : WS_TimedOut;
}

WSStatus AsyncSocket::Disconnect()
{
    Lock lock(mCrit);
    if (mType == SocketType::Stream)
    {
        Close();
        return WS_Success;
    }
    if (mHandle != INVALID_SOCKET && SockDissolvePeer(mHandle) != 0)
        Close();
    return WS_Success;
}

void AsyncSocket::Close()
{
    Lock lock(mCrit);
    KillOps();
    CloseHandle();
}

void AsyncSocket::CloseForReconnect(const AsyncOp*)
{
    Close();
}

void AsyncSocket::CloseAndClear()
{
    Lock lock(mCrit);
    KillOps();
    ClearCompletions();
    CloseHandle();
}

void AsyncSocket::CloseHandle()
{
    Lock lock(mCrit);
    if (mHandle != INVALID_SOCKET)
    {
        SockShutdownSend(mHandle);
        const int32_t err = SockClose(mHandle);
        if (err != 0 && SocketErrorToStatus(err) == WS_TimedOut)
        {
            SockSetLinger(mHandle, true, 0);
            SockClose(mHandle);
        }
        mHandle = INVALID_SOCKET;
    }
    mConnected = false;
}

bool AsyncSocket::IsValid() const
{
    Lock lock(mCrit);
    return mHandle != INVALID_SOCKET;
}

bool AsyncSocket::IsConnected() const
{
    Lock lock(mCrit);
    return mConnected;
}

InetAddress AsyncSocket::GetDestAddr() const
{
    Lock lock(mCrit);
    return mDestAddr;
}

SocketType AsyncSocket::GetType() const
{
    Lock lock(mCrit);
    return mType;
}

void AsyncSocket::SetType(SocketType type)
{
    Lock lock(mCrit);
    if (type != mType)
    {
        Close();
        mType = type;
    }
}

WSStatus AsyncSocket::SetNagling(bool enable)
{
    Lock lock(mCrit);
    if (mHandle == INVALID_SOCKET)
        return WS_AsyncSocket_InvalidSocket;
    const int32_t err = SockSetNoDelay(mHandle, !enable);
    return err == 0 ? WS_Success : SocketErrorToStatus(err);
}

uint16_t AsyncSocket::GetLocalPort() const
{
    Lock lock(mCrit);
    if (mHandle == INVALID_SOCKET)
        return 0;
    SockAddrIn sa;
    if (SockGetLocalAddr(mHandle, sa) != 0)
        return 0;
    return InetAddress(sa).GetPort();
}

InetAddress AsyncSocket::GetLocalAddress() const
{
    Lock lock(mCrit);
    SockAddrIn sa;
    if (mHandle == INVALID_SOCKET || SockGetLocalAddr(mHandle, sa) != 0)
        return InetAddress();
    return InetAddress(sa);
}

uint8_t AsyncSocket::GetLengthFieldSize() const
{
    Lock lock(mCrit);
    return mLengthFieldSize;
}

void AsyncSocket::SetLengthFieldSize(uint8_t size)
{
    Lock lock(mCrit);
    mLengthFieldSize = size;
}

SOCKET AsyncSocket::GetHandle() const
{
    Lock lock(mCrit);
    return mHandle;
}

void AsyncSocket::AddTransform(std::unique_ptr<MsgTransform> transform)
{
    if (!transform)
        return;
    Lock lock(mCrit);
    mTransforms.push_back(std::move(transform));
}

void AsyncSocket::ClearTransforms()
{
    Lock lock(mCrit);
    mTransforms.clear();
}

size_t AsyncSocket::GetTransformCount() const
{
    Lock lock(mCrit);
    return mTransforms.size();
}

WSStatus AsyncSocket::ApplySendTransforms(SmartPtr<ByteBuffer>& message)
{
    Lock lock(mCrit);
    for (auto& t : mTransforms)
    {
        const WSStatus s = t->SendTransform(message);
        if (s != WS_Success)
            return s;
    }
    return WS_Success;
}

WSStatus AsyncSocket::ApplyRecvTransforms(SmartPtr<ByteBuffer>& message)
{
    Lock lock(mCrit);
    for (auto it = mTransforms.rbegin(); it != mTransforms.rend(); ++it)
    {
        const WSStatus s = (*it)->RecvTransform(message);
        if (s != WS_Success)
            return s;
    }
    return WS_Success;
}

} // namespace QORAPI
