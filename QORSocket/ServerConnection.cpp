#include "QORSocket/ServerConnection.h"

#include "QORSocket/ConnectOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/PeerAuthOp.h"
#include "common/WriteBuffer.h"

#include <mutex>
#include <utility>

namespace QORAPI {

typedef std::lock_guard<std::recursive_mutex> Lock;
typedef ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>> ConnCompletion;

namespace {

// The keep-alive timer runs at most this long (the timeout 0xFFFFFFFF would
// mean no limit).
const uint32_t kMaxTimerMs = 0xFFFFFFFEu;

} // namespace

// What a killed connection attempt reports to: the connect completion taken
// at the kill, unless the connection's completions were cleared since.
class ServerConnection::KilledAttemptCompletion : public CompletionBase<SmartPtr<AsyncOp>>
{
public:
    KilledAttemptCompletion(ServerConnection* connection, const CompletionPtr& completion, uint32_t clearEpoch)
        : mConnection(connection), mCompletion(completion), mClearEpoch(clearEpoch)
    {
    }

    // Called once, for the killed run; the references are dropped before the
    // call so that a completion holding the operation makes no lasting cycle.
    void Complete(SmartPtr<AsyncOp> op) override
    {
        SmartPtr<ServerConnection> connection;
        CompletionPtr completion;
        {
            std::lock_guard<std::mutex> hold(mLock);
            connection = std::move(mConnection);
            completion = std::move(mCompletion);
        }
        if (connection)
            connection->OnKilledAttempt(op, completion, mClearEpoch);
    }

private:
    std::mutex mLock;
    SmartPtr<ServerConnection> mConnection;
    CompletionPtr mCompletion;
    const uint32_t mClearEpoch;
};

ServerConnection::ServerConnection()
    : BlockingSocket(SocketType::Stream),
      mAuthType(0),
      mKeepAliveInterval(300),
      mGeneration(0),
      mClearEpoch(0)
{
}

ServerConnection::~ServerConnection() = default;

void ServerConnection::SetAuth(const SmartPtr<AuthContext>& authContext, int32_t authType)
{
    Lock lock(GetLock());
    mAuthContext = authContext;
    mAuthType = authType;
}

void ServerConnection::SetKeepAliveInterval(uint32_t seconds)
{
    Lock lock(GetLock());
    mKeepAliveInterval = seconds;
}

uint32_t ServerConnection::GetKeepAliveInterval() const
{
    Lock lock(GetLock());
    return mKeepAliveInterval;
}

void ServerConnection::SetConnectCompletion(const CompletionPtr& completion)
{
    Lock lock(GetLock());
    mConnectCompletion = completion;
}

void ServerConnection::SetClosedCompletion(const CompletionPtr& completion)
{
    Lock lock(GetLock());
    mClosedCompletion = completion;
    if (GetRepeatOp())
        BlockingSocket::SetClosedCompletion(completion);
}

SmartPtr<AsyncOp> ServerConnection::GetConnectOp() const
{
    Lock lock(GetLock());
    return mConnectOp;
}

bool ServerConnection::IsKeepAliveRunning() const
{
    Lock lock(GetLock());
    return static_cast<bool>(mKeepAliveTimer);
}

SmartPtr<ByteBuffer> ServerConnection::MakeKeepAliveFrame(uint8_t lengthFieldSize)
{
    WriteBuffer frame(lengthFieldSize, true);
    frame.AppendByte(3);
    frame.AppendByte(1);
    frame.AppendByte(7);
    return frame.ToByteBuffer(true);
}

SmartPtr<AsyncOp> ServerConnection::MakeConnectOp(const InetAddress& address)
{
    // Without authentication the attempt is a plain connect on this socket;
    // otherwise peer authentication connects, authenticates and installs the
    // message encryption.
    if (mAuthType == 0)
        return SmartPtr<AsyncOp>(new ConnectOp(address, SmartPtr<AsyncSocket>(this)));
    return SmartPtr<AsyncOp>(new PeerAuthOp(address, mAuthContext, mAuthType, SmartPtr<AsyncSocket>(this), true));
}

void ServerConnection::CloseForConnect()
{
    Lock lock(GetLock());
    Close();
    BlockingSocket::SetClosedCompletion(CompletionPtr());
    // The encryption of the last connection's session would garble the new
    // connection's handshake: the new session installs its own.
    ClearTransforms();
}

WSStatus ServerConnection::ConnectAsync(const InetAddress& address, uint32_t timeout)
{
    Lock lock(GetLock());
    CloseForConnect();
    SmartPtr<AsyncOp> op = MakeConnectOp(address);
    op->SetCompletion(CompletionPtr(new ConnCompletion(&ServerConnection::ConnectDoneCallback, SmartPtr<RefCount>(this))));
    mConnectOp = op;
    return op->RunAsync(timeout);
}

WSStatus ServerConnection::ConnectBlock(const InetAddress& address, uint32_t timeout)
{
    SmartPtr<AsyncOp> op;
    {
        Lock lock(GetLock());
        CloseForConnect();
        op = MakeConnectOp(address);
        mConnectOp = op;
    }
    op->RunBlock(timeout);
    OnConnectDone(op);
    return op->GetStatus();
}

void ServerConnection::QueueOp(const SmartPtr<SocketOp>& op, uint32_t timeout)
{
    if (!op)
        return;
    Lock lock(GetLock());
    if (!mConnectOp)
    {
        BlockingSocket::QueueOp(op, timeout);
        return;
    }
    op->SetSocket(SmartPtr<AsyncSocket>(this));
    op->SetTimeout(timeout);
    if (!op->GetCompletion())
        op->SetCompletion(GetDefaultOpCompletion());
    mHeldOps.push_back(op);
}

void ServerConnection::ReleaseHeldOps()
{
    Lock lock(GetLock());
    std::deque<SmartPtr<SocketOp>> held;
    held.swap(mHeldOps);
    for (auto& op : held)
        BlockingSocket::QueueOp(op, op->GetTimeout());
}

void ServerConnection::KillHeldOps()
{
    Lock lock(GetLock());
    std::deque<SmartPtr<SocketOp>> held;
    held.swap(mHeldOps);
    for (auto& op : held)
        op->ForceKill();
}

void ServerConnection::ConnectDoneCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> connection)
{
    static_cast<ServerConnection*>(connection.Get())->OnConnectDone(op);
}

void ServerConnection::KeepAliveCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> connection)
{
    static_cast<ServerConnection*>(connection.Get())->OnKeepAliveTimer(op);
}

void ServerConnection::MessageCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> connection)
{
    static_cast<ServerConnection*>(connection.Get())->OnMessage(op);
}

void ServerConnection::OnConnectDone(const SmartPtr<AsyncOp>& op)
{
    CompletionPtr completion;
    uint32_t generation;
    const bool ok = op->GetStatus() == WS_Success;
    {
        Lock lock(GetLock());
        if (!mConnectOp || mConnectOp.Get() != op.Get())
            return;   // a stale attempt
        mConnectOp = nullptr;
        completion = mConnectCompletion;
        // A connection that did not come up (or was not authenticated) is
        // closed, so nothing can be sent on it.
        if (!ok)
            Close();
        else
            ReleaseHeldOps();
        generation = mGeneration;
    }
    if (completion)
        completion->Complete(op);
    if (!ok)
        return;

    Lock lock(GetLock());
    // The completion may have closed the connection or started a new attempt.
    if (generation != mGeneration || !IsValid())
        return;
    SetRepeatOpCompletion(
        CompletionPtr(new ConnCompletion(&ServerConnection::MessageCallback, SmartPtr<RefCount>(this))));
    BlockingSocket::SetClosedCompletion(mClosedCompletion);
    SetRepeatOp(SmartPtr<SocketOp>(new RecvMsgOp()));
    StartKeepAliveTimer();
}

void ServerConnection::OnKilledAttempt(const SmartPtr<AsyncOp>& op, const CompletionPtr& completion,
                                       uint32_t clearEpoch)
{
    {
        Lock lock(GetLock());
        if (clearEpoch != mClearEpoch)
            return;
    }
    if (completion)
        completion->Complete(op);
}

void ServerConnection::OnMessage(const SmartPtr<AsyncOp>& op)
{
    if (op->GetStatus() != WS_Success)
        return;   // the socket closes the connection and reports it
    RecvMsgOp* recv = dynamic_cast<RecvMsgOp*>(op.Get());
    if (recv)
        MsgReceived(recv->GetMsg());
}

void ServerConnection::MsgReceived(const SmartPtr<ByteBuffer>&)
{
}

void ServerConnection::StartKeepAliveTimer()
{
    Lock lock(GetLock());
    if (mKeepAliveTimer)
    {
        SmartPtr<AsyncOp> old = mKeepAliveTimer;
        mKeepAliveTimer = nullptr;
        old->Kill(true);
    }
    if (mKeepAliveInterval == 0)
        return;
    const uint64_t ms = static_cast<uint64_t>(mKeepAliveInterval) * 1000u;
    SmartPtr<AsyncOp> timer = new AsyncOp();
    timer->SetCompletion(
        CompletionPtr(new ConnCompletion(&ServerConnection::KeepAliveCallback, SmartPtr<RefCount>(this))));
    mKeepAliveTimer = timer;
    timer->RunAsync(ms > kMaxTimerMs ? kMaxTimerMs : static_cast<uint32_t>(ms));
}

void ServerConnection::OnKeepAliveTimer(const SmartPtr<AsyncOp>& op)
{
    Lock lock(GetLock());
    if (!mKeepAliveTimer || mKeepAliveTimer.Get() != op.Get())
        return;
    mKeepAliveTimer = nullptr;
    if (op->IsKilled() || op->GetStatus() != WS_TimedOut)
        return;
    QueueOp(SmartPtr<SocketOp>(new SendMsgOp(MakeKeepAliveFrame(GetLengthFieldSize()))), InfiniteMs);
    // The send may have failed at once and closed the connection.
    if (IsValid())
        StartKeepAliveTimer();
}

void ServerConnection::KillOps()
{
    Lock lock(GetLock());
    ++mGeneration;
    if (mKeepAliveTimer)
    {
        SmartPtr<AsyncOp> timer = mKeepAliveTimer;
        mKeepAliveTimer = nullptr;
        timer->Kill(true);
    }
    if (mConnectOp)
    {
        SmartPtr<AsyncOp> attempt = mConnectOp;
        mConnectOp = nullptr;
        attempt->SetCompletion(CompletionPtr(new KilledAttemptCompletion(this, mConnectCompletion, mClearEpoch)));
        attempt->Kill(true);
    }
    // The killed receive reports to nobody.
    SetRepeatOpCompletion(CompletionPtr());
    BlockingSocket::KillOps();
    KillHeldOps();
}

void ServerConnection::CloseForReconnect(const AsyncOp* requester)
{
    Lock lock(GetLock());
    // A killed attempt (KillOps marks it under this lock) leaves the socket to
    // whatever replaced it.
    if (requester && requester->IsKilled())
        return;
    if (!mConnectOp || mConnectOp.Get() != requester)
    {
        Close();
        return;
    }
    // Everything else a close does still happens; the attempt stays.
    const SmartPtr<AsyncOp> attempt = mConnectOp;
    std::deque<SmartPtr<SocketOp>> held;
    held.swap(mHeldOps);
    mConnectOp = nullptr;
    Close();
    mConnectOp = attempt;
    held.swap(mHeldOps);
}

void ServerConnection::ClearCompletions()
{
    Lock lock(GetLock());
    BlockingSocket::ClearCompletions();
    mConnectCompletion = nullptr;
    mClosedCompletion = nullptr;
    mAuthContext = nullptr;
    ++mClearEpoch;
}

} // namespace QORAPI
