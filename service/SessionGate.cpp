#include "service/SessionGate.h"

#include "auth/PeerAuthMsg.h"
#include "common/Endian.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

namespace QORAPI {

SessionGate::SessionGate()
    : mCredentials(new AuthPeerData), mMaxAge(300), mNextSessionId(1), mHandshakes(0), mExpiredNotices(0)
{
}

SessionGate::~SessionGate() = default;

void SessionGate::SetCredentials(const SmartPtr<AuthPeerData>& credentials)
{
    std::lock_guard<std::mutex> lock(mLock);
    mCredentials = credentials ? credentials : SmartPtr<AuthPeerData>(new AuthPeerData);
}

void SessionGate::SetSessionMaxAge(uint32_t seconds)
{
    std::lock_guard<std::mutex> lock(mLock);
    mMaxAge = seconds;
}

void SessionGate::ForgetSessions()
{
    std::lock_guard<std::mutex> lock(mLock);
    mSessions.clear();
}

uint32_t SessionGate::GetHandshakeCount() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mHandshakes;
}

uint32_t SessionGate::GetSessionExpiredCount() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mExpiredNotices;
}

size_t SessionGate::GetKeptSessionCount() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mSessions.size();
}

SessionGate::Action SessionGate::Incoming(Conn& conn, SmartPtr<ByteBuffer>& message, SmartPtr<ByteBuffer>& replyFrame,
                                          uint8_t lengthFieldSize)
{
    std::lock_guard<std::mutex> lock(mLock);
    replyFrame = nullptr;
    const uint8_t* data = ByteBuffer::DataOf(message);
    const uint32_t length = ByteBuffer::LengthOf(message);

    if (length >= 8 && LoadLE32(data) == PeerAuth_ServiceType)
    {
        if (!conn.mHandshake || conn.mHandshake->GetState() == PeerAuthServer::State_Idle)
        {
            // A new handshake replaces whatever the connection had.
            conn.mSession = nullptr;
            conn.mHandshake.reset(new PeerAuthServer);
            conn.mHandshake->SetSessionMode(true, mNextSessionId++);
            if (mNextSessionId == 0)
                mNextSessionId = 1;
            conn.mHandshake->Start(mCredentials, lengthFieldSize);
        }
        const WSStatus result = conn.mHandshake->HandleMessage(message.Get(), replyFrame);
        if (result == WS_Success && conn.mHandshake->GetState() == PeerAuthServer::State_Idle)
        {
            ++mHandshakes;
            conn.mSession = conn.mHandshake->GetSession();
            if (conn.mSession && conn.mSession->GetAuthType() == AuthSession::AuthType_Session)
                mSessions[conn.mSession->GetSessionId()] = conn.mSession;
        }
        return replyFrame ? Action_Reply : Action_Drop;
    }

    if (length == 0 || data[0] != AuthSession::kEncryptedHeaderType)
        return Action_Pass;

    if (!conn.mSession)
    {
        // A cached session of an earlier connection, named by its identifier.
        const uint32_t now = GetTimeSeconds();
        auto it = length >= 3 ? mSessions.find(LoadLE16(data + 1)) : mSessions.end();
        if (it != mSessions.end() && now - it->second->GetLastUseTime() >= mMaxAge)
        {
            mSessions.erase(it);
            it = mSessions.end();
        }
        if (it == mSessions.end())
        {
            ++mExpiredNotices;
            WriteBuffer wb(lengthFieldSize, true);
            wb.AppendLong(1);
            wb.AppendLong(15);
            wb.AppendShort(0);
            replyFrame = wb.ToByteBuffer(true);
            return Action_Reply;
        }
        conn.mSession = it->second;
    }
    return conn.mSession->Decrypt(message) == WS_Success ? Action_Pass : Action_Drop;
}

bool SessionGate::Outgoing(Conn& conn, SmartPtr<ByteBuffer>& frame)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!conn.mSession || !conn.mSession->IsEncrypting())
        return true;
    return conn.mSession->Encrypt(frame) == WS_Success;
}

} // namespace QORAPI
