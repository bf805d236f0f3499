#include "auth/PeerAuthServer.h"

#include "auth/Auth2Certificate.h"
#include "auth/AuthCertificate.h"
#include "auth/PeerAuthMsg.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"

#include <cstring>
#include <string>

namespace QORAPI {

PeerAuthServer::PeerAuthServer()
    : mPeerData(new AuthPeerData),
      mAuthType(0),
      mLengthFieldSize(4),
      mUseSecondCert(true),
      mServeSessionMode(false),
      mSessionId(0),
      mState(State_Idle)
{
}

PeerAuthServer::~PeerAuthServer() = default;

void PeerAuthServer::Start(const SmartPtr<AuthPeerData>& peerData, uint8_t lengthFieldSize)
{
    mPeerData = peerData ? peerData : SmartPtr<AuthPeerData>(new AuthPeerData);
    mLengthFieldSize = lengthFieldSize;
    mClientCert = nullptr;
    mSession = nullptr;
    mState = State_AwaitRequest;
}

SmartPtr<ByteBuffer> PeerAuthServer::BuildFailureComplete(WSStatus status, uint8_t lengthFieldSize)
{
    WriteBuffer wb(lengthFieldSize, true);
    StartPeerAuthMsg(wb, PeerAuth_Complete);
    wb.AppendShort(static_cast<uint16_t>(static_cast<int16_t>(WS_CommServ_InvalidParameters)));
    wb.AppendShort(1);
    wb.AppendString(WSStatusToString(status), 2);
    return wb.ToByteBuffer(true);
}

WSStatus PeerAuthServer::HandleMessage(const ByteBuffer* message, SmartPtr<ByteBuffer>& reply)
{
    reply = nullptr;
    if (mState == State_Idle)
        return WS_PeerAuthServer_NotStarted;
    WSStatus result;
    try
    {
        ReadBuffer rb(message);
        if (rb.ReadLong() != PeerAuth_ServiceType)
            return WS_PeerAuthServer_InvalidServiceType;
        switch (rb.ReadLong())
        {
        case PeerAuth_Request:
            if (mState != State_AwaitRequest)
                return WS_PeerAuthServer_UnexpectedRequest;
            result = HandleRequest(rb, reply);
            if (result == WS_Success)
                mState = State_AwaitChallenge2;
            break;
        case PeerAuth_Challenge2:
            if (mState != State_AwaitChallenge2)
                return WS_PeerAuthServer_UnexpectedChallenge;
            result = HandleChallenge2(rb, reply);
            break;
        default:
            return WS_PeerAuthServer_InvalidMessage;
        }
    }
    catch (const ReadBufferException&)
    {
        result = WS_PeerAuthServer_MsgUnpackFailure;
    }
    if (result != WS_Success)
    {
        mState = State_Idle;
        reply = BuildFailureComplete(result, mLengthFieldSize);
    }
    return result;
}

WSStatus PeerAuthServer::HandleRequest(ReadBuffer& rb, SmartPtr<ByteBuffer>& reply)
{
    const uint8_t mode = rb.ReadByte();
    if (mode != 1 && !(mode == 2 && mServeSessionMode))
        return WS_PeerAuthServer_InvalidAuthMode;
    const uint8_t encryption = rb.ReadByte();
    if (encryption > 1 || (mode == 2 && encryption != 1))
        return WS_PeerAuthServer_InvalidEncryptType;
    if (mode == 2)
        mAuthType = AuthSession::AuthType_Session;
    else
        mAuthType = encryption == 1 ? AuthSession::AuthType_PersistentEncrypted
                                    : AuthSession::AuthType_PersistentNotEncrypted;
    rb.ReadShort();

    SmartPtr<ByteBuffer> certBytes;
    rb.ReadBuf(certBytes, 2);
    if (mUseSecondCert)
        mClientCert = new Auth2Certificate(certBytes);
    else
        mClientCert = new AuthCertificate(certBytes);
    if (!mClientCert->IsValid())
        return WS_PeerAuthServer_InvalidClientCertificate;
    if (mClientCert->IsExpired(mPeerData->GetClockOffset()))
        return WS_PeerAuthServer_ExpiredClientCertificate;
    if (!mPeerData->VerifyPeerCertificate(*mClientCert))
        return WS_PeerAuthServer_FailedToVerifyClientCertificate;

    mSecretB.setRandomKey(PeerAuth_SecretLength);
    WriteBuffer secret;
    AppendSecret(secret, mSecretB);
    ElGamal clientKey(mClientCert->GetPublicKey());
    const SmartPtr<ByteBuffer> encrypted = clientKey.encrypt(secret.GetData(), secret.GetLength());
    if (!encrypted || encrypted->GetLength() > 0xFFFF)
        return WS_PeerAuthServer_FailedToEncryptWithClientPubKey;

    const AuthCertificateBase* own = mUseSecondCert ? static_cast<const AuthCertificateBase*>(mPeerData->GetCertificate2().Get())
                                                    : static_cast<const AuthCertificateBase*>(mPeerData->GetCertificate().Get());
    WriteBuffer wb(mLengthFieldSize, true);
    StartPeerAuthMsg(wb, PeerAuth_Challenge1);
    wb.AppendBuffer(encrypted, 2);
    wb.AppendBuffer(own->GetRaw(), 2);
    reply = wb.ToByteBuffer(true);
    return WS_Success;
}

WSStatus PeerAuthServer::HandleChallenge2(ReadBuffer& rb, SmartPtr<ByteBuffer>& reply)
{
    const SmartPtr<ByteBuffer> plain = DecryptCountedBlock(rb, mPeerData->GetPrivateKey());
    if (!plain)
        return WS_PeerAuthServer_FailedToDecryptWithPrivateKey;

    const uint32_t plainLength = plain->GetLength();
    const uint32_t n = plainLength >= 2 ? LoadLE16(plain->GetData()) : 0;
    if (plainLength < 2 || n > plainLength - 2 || n != mSecretB.getKeyLength() ||
        std::memcmp(plain->GetData() + 2, mSecretB.getKey(), n) != 0)
        return WS_PeerAuthServer_InvalidSecretB;
    if (!mSecretA.setKey(plain->GetData() + 2 + n, plainLength - 2 - n))
        return WS_PeerAuthServer_InvalidSecretA;
    return BuildSuccessComplete(reply);
}

WSStatus PeerAuthServer::BuildSuccessComplete(SmartPtr<ByteBuffer>& reply)
{
    mState = State_Idle;
    WriteBuffer secret;
    AppendSecret(secret, mSecretA);
    ElGamal clientKey(mClientCert->GetPublicKey());
    const SmartPtr<ByteBuffer> encrypted = clientKey.encrypt(secret.GetData(), secret.GetLength());
    if (!encrypted || encrypted->GetLength() > 0xFFFF)
        return WS_PeerAuthServer_FailedToEncryptWithClientPubKey;

    WriteBuffer wb(mLengthFieldSize, true);
    StartPeerAuthMsg(wb, PeerAuth_Complete);
    wb.AppendShort(0);
    wb.AppendBuffer(encrypted, 2);
    const uint16_t sessionId = mAuthType == AuthSession::AuthType_Session ? mSessionId : 0;
    if (mAuthType == AuthSession::AuthType_Session)
        wb.AppendShort(sessionId);
    reply = wb.ToByteBuffer(true);
    if (mAuthType != AuthSession::AuthType_PersistentNotEncrypted)
        mSession = new AuthSession(mAuthType, sessionId, mSecretB, mLengthFieldSize);
    return WS_Success;
}

} // namespace QORAPI
