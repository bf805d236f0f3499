#include "auth/ServerRequestOp.h"

#include "QORSocket/BlockingSocket.h"
#include "QORSocket/ConnectOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/MsgFrame.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/CryptTransform.h"
#include "auth/PeerAuthOp.h"
#include "auth/ServerMsgHeader.h"
#include "common/Event.h"
#include "common/ReadBuffer.h"

namespace QORAPI {

ServerRequestOp::ServerRequestOp(const SmartPtr<ServerContext>& context) : mServerContext(context)
{
    Init();
}

ServerRequestOp::ServerRequestOp(const InetAddress& address) : mSingleAddress(address)
{
    Init();
}

void ServerRequestOp::Init()
{
    mCursor = 0;
    mUsedCachedSession = false;
    mSessionExpired = false;
    mUseSecondCert = true;
    mCertStatus = WS_None;
    mSameError = false;
    mLastError = WS_None;
    mLengthFieldSize = 4;
    mAuthType = 0;
    SetTimeouts(20000, 20000, 20000);
}

ServerRequestOp::~ServerRequestOp() = default;

InetAddress ServerRequestOp::GetCurrentAddress() const
{
    ScopedLock lock(const_cast<CriticalSection&>(mLoopCrit));
    return mCurrentAddress;
}

WSStatus ServerRequestOp::BuildRequest()
{
    return WS_ServerReq_Recv;
}

WSStatus ServerRequestOp::HandleReply()
{
    return WS_Success;
}

void ServerRequestOp::ResetForServer()
{
}

WSStatus ServerRequestOp::FailOver(WSStatus status)
{
    RecordError(status);
    return WS_ServerReq_TryNextServer;
}

void ServerRequestOp::RecordError(WSStatus status)
{
    if (mLastError == WS_None)
        mSameError = true;
    else if (status != mLastError)
        mSameError = false;
    mLastError = status;
}

void ServerRequestOp::EndWith(WSStatus status)
{
    Finish(status);
    if (mAuthType == 1 && mAuthContext && mSession)
        mAuthContext->StoreSession(mCurrentAddress, mSession);
    mSession = nullptr;
}

void ServerRequestOp::RunHook()
{
    ScopedLock lock(mLoopCrit);
    mCertStatus = WS_None;
    mLastError = WS_None;
    mSameError = false;
    mAddresses.clear();
    if (mServerContext)
        mServerContext->CopyAddresses(mAddresses);
    else if (mSingleAddress.IsValid())
        mAddresses.push_back(mSingleAddress);
    if (mAddresses.empty())
    {
        Finish(WS_ServerReq_NoServersSpecified);
        return;
    }
    mCursor = 0;
    mUsedCachedSession = false;
    mSessionExpired = false;
    mSession = nullptr;
    if (mAuthType != 0 && !mAuthContext)
    {
        Finish(WS_ServerReq_NeedAuthContext);
        return;
    }
    // Frames need a length field of 1, 2 or 4 bytes; any other size could
    // neither be written nor read, so no server is tried.
    if (mLengthFieldSize != 1 && mLengthFieldSize != 2 && mLengthFieldSize != 4)
    {
        Finish(WS_RecvMsg_InvalidLengthFieldSize);
        return;
    }
    if (IsAsync())
    {
        TryNextServer();
        return;
    }
    lock.Leave();
    RunBlocking();
}

void ServerRequestOp::RunBlocking()
{
    for (;;)
    {
        if (!TryNextServer())
            return;
        WSStatus result;
        for (;;)
        {
            result = SendStepBlock();
            if (result != WS_ServerReq_Recv)
                break;
            result = RecvStepBlock();
            if (result != WS_ServerReq_Send)
                break;
        }
        if (result == WS_ServerReq_TryNextServer || result == WS_ServerReq_SessionExpired)
        {
            if (!IsPending())
                return;   // killed meanwhile
            if (TimeLeft() == 0)
            {
                EndWith(WS_TimedOut);
                return;
            }
            continue;
        }
        EndWith(result);
        return;
    }
}

bool ServerRequestOp::TryNextServer()
{
    for (;;)
    {
        mTracker.KillAll();
        ResetForServer();
        if (mSocket)
        {
            mSocket->Close();
            mSocket = nullptr;
        }
        // A session whose attempt failed may be out of step with the server:
        // it is dropped rather than cached.
        mSession = nullptr;

        if (mCursor > 0 && !mSessionExpired && mServerContext)
            mServerContext->NotifyFailed(mCurrentAddress);
        if (!IsPending())
            return false;
        if (mCursor >= mAddresses.size())
        {
            EndWith(mSameError ? mLastError : WS_ServerReq_FailedAllServers);
            return false;
        }

        SmartPtr<BlockingSocket> socket = new BlockingSocket(SocketType::Stream);
        socket->SetLengthFieldSize(mLengthFieldSize);
        mSocket = socket;
        mCurrentAddress = mAddresses[mCursor];
        const bool previousCached = mUsedCachedSession;
        mUsedCachedSession = false;
        mSessionExpired = false;
        ++mCursor;

        if (!previousCached && mAuthType == 1)
            mSession = mAuthContext->TakeSession(mCurrentAddress);

        const bool ok = (!mSession && mAuthType != 0) ? Authenticate() : Connect();
        if (ok)
            return true;
        if (!IsPending())
            return false;
        if (!IsAsync() && TimeLeft() == 0)
        {
            EndWith(WS_TimedOut);
            return false;
        }
    }
}

bool ServerRequestOp::Authenticate()
{
    SmartPtr<PeerAuthOp> auth = new PeerAuthOp(mCurrentAddress, mAuthContext, mAuthType, mSocket, mUseSecondCert);
    auth->SetTimeouts(mConnectTimeout, mSendTimeout, mRecvTimeout);
    auth->SetLengthFieldSize(mLengthFieldSize);
    if (IsAsync())
    {
        Track(auth, TrackPeerAuth);
        auth->RunAsync(InfiniteMs);
        return true;
    }
    auth->RunBlock(TimeLeft());
    const WSStatus status = auth->GetStatus();
    if (status == WS_Success)
    {
        mSession = auth->GetSession();
        return true;
    }
    if (status == WS_PeerAuth_GetCertFailure)
    {
        mCertStatus = auth->GetRenewalStatus();
        EndWith(WS_ServerReq_GetCertFailure);
        return false;
    }
    RecordError(status);
    return false;
}

bool ServerRequestOp::Connect()
{
    if (mSession)
    {
        mSocket->AddTransform(new CryptTransform(mSession));
        mUsedCachedSession = true;
    }
    if (IsAsync())
    {
        SmartPtr<ConnectOp> connect = new ConnectOp(mCurrentAddress);
        Track(connect, TrackSocketOp);
        StaticPtrCast<QueueSocket>(mSocket)->QueueOp(connect, mConnectTimeout);
        SendStepAsync();
        return IsPending();
    }
    const WSStatus status = mSocket->ConnectBlock(mCurrentAddress, StepTimeout(mConnectTimeout));
    if (status != WS_Success)
    {
        RecordError(status);
        return false;
    }
    return true;
}

WSStatus ServerRequestOp::BuildCheckedRequest()
{
    const WSStatus built = BuildRequest();
    // A request its length field cannot carry is refused before anything is
    // sent: cut to the field's width, its length would let the server read
    // the rest of it as requests of their own. Another server would not fare
    // better, so the run ends.
    if ((built == WS_ServerReq_Send || built == WS_ServerReq_Recv) &&
        !FrameFitsLengthField(ByteBuffer::LengthOf(mRequest), mLengthFieldSize))
        return WS_SendMsg_FrameTooLong;
    return built;
}

WSStatus ServerRequestOp::SendStepBlock()
{
    for (;;)
    {
        const WSStatus built = BuildCheckedRequest();
        if (built != WS_ServerReq_Send && built != WS_ServerReq_Recv)
            return built;
        const WSStatus status = mSocket->SendMsgBlock(mRequest, StepTimeout(mSendTimeout));
        if (status != WS_Success)
            return FailOver(status);
        if (built == WS_ServerReq_Recv)
            return WS_ServerReq_Recv;
    }
}

WSStatus ServerRequestOp::RecvStepBlock()
{
    WSStatus result;
    do
    {
        SmartPtr<ByteBuffer> reply;
        const WSStatus status = mSocket->RecvMsgBlock(reply, StepTimeout(mRecvTimeout));
        if (status != WS_Success)
            return FailOver(status);
        mReply = reply;
        if (CheckSessionExpired())
            return WS_ServerReq_SessionExpired;
        result = SafeHandleReply();
    } while (result == WS_ServerReq_Recv);
    return result;
}

bool ServerRequestOp::CheckSessionExpired()
{
    if (!mUsedCachedSession || !IsSessionExpiredNotice(mReply.Get()))
        return false;
    mSessionExpired = true;
    if (mCursor > 0)
        --mCursor;
    return true;
}

WSStatus ServerRequestOp::SafeHandleReply()
{
    WSStatus result;
    try
    {
        result = HandleReply();
    }
    catch (const ReadBufferException&)
    {
        return FailOver(WS_ServerReq_UnpackFailure);
    }
    // An unreadable reply or a wrong header never ends the run: next server.
    if (result == WS_ServerReq_UnpackFailure || result == WS_ServerReq_InvalidReplyHeader)
        return FailOver(result);
    return result;
}

void ServerRequestOp::SendStepAsync()
{
    SmartPtr<QueueSocket> socket = StaticPtrCast<QueueSocket>(mSocket);
    for (;;)
    {
        const WSStatus built = BuildCheckedRequest();
        if (built == WS_ServerReq_TryNextServer)
        {
            TryNextServer();
            return;
        }
        if (built != WS_ServerReq_Send && built != WS_ServerReq_Recv)
        {
            EndWith(built);
            return;
        }
        SmartPtr<SendMsgOp> send = new SendMsgOp(mRequest);
        Track(send, TrackSocketOp);
        socket->QueueOp(send, mSendTimeout);
        if (built == WS_ServerReq_Recv)
        {
            QueueRecv();
            return;
        }
    }
}

void ServerRequestOp::QueueRecv()
{
    SmartPtr<RecvMsgOp> recv = new RecvMsgOp();
    Track(recv, TrackSocketOp);
    StaticPtrCast<QueueSocket>(mSocket)->QueueOp(recv, mRecvTimeout);
}

bool ServerRequestOp::OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param)
{
    ScopedLock lock(mLoopCrit);
    if (!IsPending())
        return false;
    const WSStatus status = op->GetStatus();

    if (param == TrackPeerAuth)
    {
        PeerAuthOp* auth = static_cast<PeerAuthOp*>(op.Get());
        if (status == WS_Success)
        {
            mSession = auth->GetSession();
            SendStepAsync();
        }
        else if (status == WS_PeerAuth_GetCertFailure)
        {
            mCertStatus = auth->GetRenewalStatus();
            EndWith(WS_ServerReq_GetCertFailure);
        }
        else
        {
            RecordError(status);
            TryNextServer();
        }
        return true;
    }

    if (status != WS_Success)
    {
        RecordError(status);
        TryNextServer();
        return true;
    }
    RecvMsgOp* recv = dynamic_cast<RecvMsgOp*>(op.Get());
    if (!recv)
        return true;   // a connect or a send: the queued operations carry on
    mReply = recv->GetMsg();
    if (CheckSessionExpired())
    {
        TryNextServer();
        return true;
    }
    const WSStatus result = SafeHandleReply();
    switch (result)
    {
    case WS_ServerReq_TryNextServer:
        TryNextServer();
        break;
    case WS_ServerReq_Send:
        SendStepAsync();
        break;
    case WS_ServerReq_Recv:
        QueueRecv();
        break;
    case WS_ServerReq_ExitCommunicationLoop:
        break;
    default:
        EndWith(result);
        break;
    }
    return true;
}

void ServerRequestOp::CleanupHook()
{
    ServerOp::CleanupHook();
    ScopedLock lock(mLoopCrit);
    if (GetStatus() == WS_TimedOut && mServerContext && mCurrentAddress.IsValid())
        mServerContext->NotifyFailed(mCurrentAddress);
    if (mSocket)
    {
        mSocket->Close();
        mSocket = nullptr;
    }
    mSession = nullptr;
}

} // namespace QORAPI
