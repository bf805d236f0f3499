#include "auth/PeerAuthOp.h"

#include "QORSocket/ConnectOp.h"
#include "QORSocket/QueueSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/CryptTransform.h"

namespace QORAPI {

PeerAuthOp::PeerAuthOp(const InetAddress& address, const SmartPtr<AuthContext>& context, int32_t authType,
                       const SmartPtr<AsyncSocket>& socket, bool useSecondCertificate)
    : mAddress(address), mUseSecondCertificate(useSecondCertificate), mRenewalStatus(WS_None)
{
    mAuthContext = context;
    mAuthType = authType;
    mSocket = socket;
}

PeerAuthOp::~PeerAuthOp() = default;

SmartPtr<AuthSession> PeerAuthOp::GetSession() const
{
    ScopedLock lock(mRunCrit);
    return mClient.GetSession();
}

WSStatus PeerAuthOp::GetRenewalStatus() const
{
    ScopedLock lock(mRunCrit);
    return mRenewalStatus;
}

SmartPtr<AuthCertificateBase> PeerAuthOp::GetServerCertificate() const
{
    ScopedLock lock(mRunCrit);
    return mClient.GetServerCertificate();
}

void PeerAuthOp::RunHook()
{
    ScopedLock lock(mRunCrit);
    mRenewalStatus = WS_None;
    mClient.Reset();
    if (!mSocket)
    {
        Finish(WS_SocketOp_InvalidSocket);
        return;
    }
    mLengthFieldSize = mSocket->GetLengthFieldSize();
    if (mAuthType != 0)
    {
        if (!mAuthContext)
        {
            Finish(WS_ServerReq_NeedAuthContext);
            return;
        }
        mPeerData = mAuthContext->GetPeerData();
    }
    if (!IsAsync())
    {
        lock.Leave();
        RunBlocking();
        return;
    }
    if (!dynamic_cast<QueueSocket*>(mSocket.Get()))
    {
        Finish(WS_SocketOp_InvalidSocket);
        return;
    }
    if (mAuthType != 0 && mPeerData->IsCertExpired(RenewAheadSeconds))
    {
        StartRenewal();
        if (mPeerData->IsCertExpired(RenewBeforeStartSeconds))
            return;   // the renewal's completion starts the exchange
    }
    QueueAttempt();
}

// Sends request, receives one message and hands it to the engine; a socket
// failure is returned, the engine's verdict goes to result.
WSStatus PeerAuthOp::Exchange(SmartPtr<ByteBuffer>& request, SmartPtr<ByteBuffer>& reply, WSStatus& result)
{
    WSStatus status = mSocket->SendMsgBlock(request, StepTimeout(mSendTimeout));
    if (status != WS_Success)
        return status;
    SmartPtr<ByteBuffer> message;
    status = mSocket->RecvMsgBlock(message, StepTimeout(mRecvTimeout));
    if (status != WS_Success)
        return status;
    ScopedLock lock(mRunCrit);
    result = mClient.HandleMessage(message.Get(), reply);
    return WS_Success;
}

void PeerAuthOp::RunBlocking()
{
    if (mAuthType != 0 && mPeerData->IsCertExpired(RenewBeforeStartSeconds))
    {
        const WSStatus renewal = mAuthContext->Refresh(TimeLeft());
        ScopedLock lock(mRunCrit);
        mRenewalStatus = renewal;
        if (renewal != WS_Success)
        {
            Finish(WS_PeerAuth_GetCertFailure);
            return;
        }
        mPeerData = mAuthContext->GetPeerData();
    }

    WSStatus result = WS_Success;
    SmartPtr<ByteBuffer> reply;
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        if (!IsPending())
            return;
        if (attempt > 0)
        {
            // The server has closed its end: a fresh connection.
            mSocket->CloseForReconnect(this);
            if (!IsPending())
                return;
        }
        WSStatus status = mSocket->ConnectBlock(mAddress, StepTimeout(mConnectTimeout));
        if (status != WS_Success)
        {
            Finish(status);
            return;
        }
        if (mAuthType == 0)
        {
            Finish(WS_Success);
            return;
        }
        SmartPtr<ByteBuffer> request;
        {
            ScopedLock lock(mRunCrit);
            mClient.SetUseSecondCertificate(mUseSecondCertificate);
            mClient.Start(request, mPeerData, mAuthType, mLengthFieldSize);
        }
        status = Exchange(request, reply, result);
        if (status != WS_Success)
        {
            Finish(status);
            return;
        }
        if (attempt > 0 || !IsRefusal(result))
            break;

        mClient.Reset();
        const WSStatus renewal = mAuthContext->Refresh(TimeLeft());
        ScopedLock lock(mRunCrit);
        mRenewalStatus = renewal;
        if (renewal != WS_Success)
        {
            Finish(WS_PeerAuth_GetCertFailure);
            return;
        }
        mPeerData = mAuthContext->GetPeerData();
    }
    if (result != WS_Success)
    {
        Finish(result);
        return;
    }
    if (!reply)
    {
        Finish(WS_PeerAuthClient_InvalidMessage);
        return;
    }
    SmartPtr<ByteBuffer> complete;
    const WSStatus status = Exchange(reply, complete, result);
    if (status != WS_Success)
        Finish(status);
    else if (result != WS_Success)
        Finish(result);
    else if (complete)
        Finish(WS_PeerAuthClient_InvalidMessage);   // a second challenge 2 is never asked for
    else
        Succeed();
}

void PeerAuthOp::Succeed()
{
    const SmartPtr<AuthSession> session = mClient.GetSession();
    if (session && session->IsEncrypting())
        mSocket->AddTransform(new CryptTransform(session));
    Finish(WS_Success);
}

void PeerAuthOp::StartRenewal()
{
    mRenewalStatus = WS_Pending;
    SmartPtr<LightGetCertOp> waiter = new LightGetCertOp();
    Track(waiter, TrackRenewal);
    mAuthContext->RefreshAsync(waiter, InfiniteMs);
}

void PeerAuthOp::QueueAttempt()
{
    QueueSocket* socket = static_cast<QueueSocket*>(mSocket.Get());
    SmartPtr<ConnectOp> connect = new ConnectOp(mAddress);
    Track(connect, TrackSocketOp);
    socket->QueueOp(connect, mConnectTimeout);
    if (mAuthType == 0)
        return;
    SmartPtr<ByteBuffer> request;
    mClient.SetUseSecondCertificate(mUseSecondCertificate);
    mClient.Start(request, mPeerData, mAuthType, mLengthFieldSize);
    SmartPtr<SendMsgOp> send = new SendMsgOp(request);
    Track(send, TrackSocketOp);
    socket->QueueOp(send, mSendTimeout);
    SmartPtr<RecvMsgOp> recv = new RecvMsgOp();
    Track(recv, TrackSocketOp);
    socket->QueueOp(recv, mRecvTimeout);
}

void PeerAuthOp::Restart()
{
    mRenewalStatus = RestartedMarker;
    mSocket->CloseForReconnect(this);   // the refusing server has closed its end
    if (IsPending())
        QueueAttempt();
}

bool PeerAuthOp::OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param)
{
    ScopedLock lock(mRunCrit);
    if (!IsPending())
        return false;
    const WSStatus status = op->GetStatus();

    if (param == TrackRenewal)
    {
        mRenewalStatus = status;
        const SmartPtr<AuthPeerData> renewed = static_cast<LightGetCertOp*>(op.Get())->GetPeerData();
        if (renewed)
            mPeerData = renewed;
        else if (status == WS_Success)
            mPeerData = mAuthContext->GetPeerData();
        if (mClient.GetState() == PeerAuthClient::State_Idle)
        {
            if (status != WS_Success)
                Finish(WS_PeerAuth_GetCertFailure);
            else
                Restart();
        }
        return true;
    }

    if (status != WS_Success)
    {
        Finish(status);
        return true;
    }
    if (mAuthType == 0)
    {
        Finish(WS_Success);
        return true;
    }
    RecvMsgOp* recv = dynamic_cast<RecvMsgOp*>(op.Get());
    if (!recv)
        return true;   // a connect or a send: the queued operations carry on

    SmartPtr<ByteBuffer> reply;
    const WSStatus result = mClient.HandleMessage(recv->GetMsg().Get(), reply);
    if (IsRefusal(result))
    {
        mClient.Reset();
        if (mRenewalStatus == WS_Success)
            Restart();
        else if (mRenewalStatus == WS_Pending)
        {
            // the renewal's completion restarts
        }
        else if (mRenewalStatus == WS_None)
            StartRenewal();
        else
            Finish(WS_PeerAuth_GetCertFailure);
        return true;
    }
    if (result != WS_Success)
    {
        Finish(result);
        return true;
    }
    if (!reply)
    {
        Succeed();
        return true;
    }
    QueueSocket* socket = static_cast<QueueSocket*>(mSocket.Get());
    SmartPtr<SendMsgOp> send = new SendMsgOp(reply);
    Track(send, TrackSocketOp);
    socket->QueueOp(send, mSendTimeout);
    SmartPtr<RecvMsgOp> next = new RecvMsgOp();
    Track(next, TrackSocketOp);
    socket->QueueOp(next, mRecvTimeout);
    return true;
}

} // namespace QORAPI
