#include "auth/PeerAuthServerOp.h"

#include "QORSocket/QueueSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/CryptTransform.h"

namespace QORAPI {

PeerAuthServerOp::PeerAuthServerOp(const SmartPtr<AuthContext>& context, const SmartPtr<AsyncSocket>& socket)
    : mUseSecondCertificate(true), mServeSessionMode(false), mSessionId(0), mFinishAfterSend(false), mFinalStatus(WS_None)
{
    mAuthContext = context;
    mSocket = socket;
}

PeerAuthServerOp::~PeerAuthServerOp() = default;

int32_t PeerAuthServerOp::GetClientAuthType() const
{
    ScopedLock lock(mRunCrit);
    return mServer.GetAuthType();
}

SmartPtr<AuthSession> PeerAuthServerOp::GetSession() const
{
    ScopedLock lock(mRunCrit);
    return mServer.GetSession();
}

SmartPtr<AuthCertificateBase> PeerAuthServerOp::GetClientCertificate() const
{
    ScopedLock lock(mRunCrit);
    return mServer.GetClientCertificate();
}

void PeerAuthServerOp::RunHook()
{
    ScopedLock lock(mRunCrit);
    mFinishAfterSend = false;
    mFinalStatus = WS_None;
    if (!mSocket || (IsAsync() && !dynamic_cast<QueueSocket*>(mSocket.Get())))
    {
        Finish(WS_SocketOp_InvalidSocket);
        return;
    }
    mLengthFieldSize = mSocket->GetLengthFieldSize();
    mServer.SetUseSecondCertificate(mUseSecondCertificate);
    mServer.SetSessionMode(mServeSessionMode, mSessionId);
    mServer.Start(mAuthContext ? mAuthContext->GetPeerData() : SmartPtr<AuthPeerData>(), mLengthFieldSize);
    if (IsAsync())
    {
        QueueRecv();
        return;
    }
    lock.Leave();
    RunBlocking();
}

void PeerAuthServerOp::RunBlocking()
{
    // Request, then challenge 2: two messages at most.
    for (int step = 0; step < 2 && IsPending(); ++step)
    {
        SmartPtr<ByteBuffer> message;
        WSStatus status = mSocket->RecvMsgBlock(message, StepTimeout(mRecvTimeout));
        if (status != WS_Success)
        {
            Finish(status);
            return;
        }
        SmartPtr<ByteBuffer> reply;
        WSStatus result;
        {
            ScopedLock lock(mRunCrit);
            result = mServer.HandleMessage(message.Get(), reply);
        }
        if (reply)
            status = mSocket->SendMsgBlock(reply, StepTimeout(mSendTimeout));
        if (result != WS_Success)
        {
            Finish(result);
            return;
        }
        if (status != WS_Success)
        {
            Finish(status);
            return;
        }
        if (mServer.GetState() == PeerAuthServer::State_Idle)
        {
            Succeed();
            return;
        }
    }
}

void PeerAuthServerOp::Succeed()
{
    const SmartPtr<AuthSession> session = mServer.GetSession();
    if (session && session->IsEncrypting())
        mSocket->AddTransform(new CryptTransform(session));
    Finish(WS_Success);
}

void PeerAuthServerOp::QueueRecv()
{
    SmartPtr<RecvMsgOp> recv = new RecvMsgOp();
    Track(recv, TrackSocketOp);
    static_cast<QueueSocket*>(mSocket.Get())->QueueOp(recv, mRecvTimeout);
}

bool PeerAuthServerOp::OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param)
{
    (void)param;
    ScopedLock lock(mRunCrit);
    if (!IsPending())
        return false;
    const WSStatus status = op->GetStatus();
    RecvMsgOp* recv = dynamic_cast<RecvMsgOp*>(op.Get());
    if (!recv)
    {
        // A send. The complete, success or failure, ends the run once it is
        // out: the transform must not touch it, and killing it on the way
        // would keep the failure's status from the client.
        if (!mFinishAfterSend)
        {
            if (status != WS_Success)
                Finish(status);
        }
        else if (mFinalStatus != WS_Success)
            Finish(mFinalStatus);
        else if (status != WS_Success)
            Finish(status);
        else
            Succeed();
        return true;
    }
    if (status != WS_Success)
    {
        Finish(status);
        return true;
    }

    SmartPtr<ByteBuffer> reply;
    const WSStatus result = mServer.HandleMessage(recv->GetMsg().Get(), reply);
    const bool done = result != WS_Success || mServer.GetState() == PeerAuthServer::State_Idle;
    if (!reply)
    {
        if (result != WS_Success)
            Finish(result);
        else if (done)
            Succeed();
        else
            QueueRecv();
        return true;
    }
    mFinishAfterSend = done;
    mFinalStatus = result;
    SmartPtr<SendMsgOp> send = new SendMsgOp(reply);
    Track(send, TrackSocketOp);
    static_cast<QueueSocket*>(mSocket.Get())->QueueOp(send, mSendTimeout);
    if (!done)
        QueueRecv();
    return true;
}

} // namespace QORAPI
