#include "auth/PeerAuthClient.h"

#include "auth/Auth2Certificate.h"
#include "auth/AuthCertificate.h"
#include "auth/PeerAuthMsg.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"

#include <cstring>

namespace QORAPI {

PeerAuthClient::PeerAuthClient()
    : mPeerData(new AuthPeerData), mAuthType(0), mLengthFieldSize(4), mUseSecondCert(true), mState(State_Idle)
{
}

PeerAuthClient::~PeerAuthClient() = default;

void PeerAuthClient::Start(SmartPtr<ByteBuffer>& out, const SmartPtr<AuthPeerData>& peerData, int32_t authType,
                           uint8_t lengthFieldSize)
{
    mState = State_RequestSent;
    mPeerData = peerData ? peerData : SmartPtr<AuthPeerData>(new AuthPeerData);
    mAuthType = authType;
    mLengthFieldSize = lengthFieldSize;
    mServerCert = nullptr;
    mSession = nullptr;

    const AuthCertificateBase* certificate = mPeerData->GetCertificate().Get();
    if (mUseSecondCert && mPeerData->GetCertificate2()->IsValid())
        certificate = mPeerData->GetCertificate2().Get();
    else
        mUseSecondCert = false;

    WriteBuffer wb(mLengthFieldSize, true);
    StartPeerAuthMsg(wb, PeerAuth_Request);
    wb.AppendByte(authType == AuthSession::AuthType_Session ? 2 : 1);
    wb.AppendByte(authType == AuthSession::AuthType_Session || authType == AuthSession::AuthType_PersistentEncrypted
                      ? 1
                      : 0);
    wb.AppendShort(authType == AuthSession::AuthType_Session ? 0 : 1);
    wb.AppendBuffer(certificate->GetRaw(), 2);
    out = wb.ToByteBuffer(true);
}

WSStatus PeerAuthClient::HandleMessage(const ByteBuffer* message, SmartPtr<ByteBuffer>& reply)
{
    reply = nullptr;
    try
    {
        ReadBuffer rb(message);
        if (rb.ReadLong() != PeerAuth_ServiceType)
            return WS_PeerAuthClient_InvalidServiceType;
        switch (rb.ReadLong())
        {
        case PeerAuth_Complete:
            return HandleComplete(rb);
        case PeerAuth_Challenge1:
            if (mState != State_RequestSent)
                return WS_PeerAuthClient_UnexpectedChallenge;
            return HandleChallenge1(rb, reply);
        default:
            return WS_PeerAuthClient_InvalidMessage;
        }
    }
    catch (const ReadBufferException&)
    {
        reply = nullptr;
        return WS_PeerAuthClient_MsgUnpackFailure;
    }
}

WSStatus PeerAuthClient::HandleChallenge1(ReadBuffer& rb, SmartPtr<ByteBuffer>& reply)
{
    const SmartPtr<ByteBuffer> plain = DecryptCountedBlock(rb, mPeerData->GetPrivateKey());
    if (!plain)
        return WS_PeerAuthClient_Challenge1DecryptFailure;

    // A plain text too short for its own length field has no valid length.
    const uint32_t plainLength = plain->GetLength();
    const uint32_t n = plainLength >= 2 ? LoadLE16(plain->GetData()) : 0;
    if (plainLength < 2 || n > plainLength - 2)
        return WS_PeerAuthClient_Challenge1InvalidSecretLen;

    mSecretA.setRandomKey(PeerAuth_SecretLength);
    if (!mSecretB.setKey(plain->GetData() + 2, n))
        return WS_PeerAuthClient_Challenge1InvalidSecretKey;

    SmartPtr<ByteBuffer> certBytes;
    rb.ReadBuf(certBytes, 2);
    if (mUseSecondCert)
        mServerCert = new Auth2Certificate(certBytes);
    else
        mServerCert = new AuthCertificate(certBytes);
    if (!mServerCert->IsValid())
        return WS_PeerAuthClient_Challenge1CertificateUnpackFailure;
    if (!mPeerData->VerifyPeerCertificate(*mServerCert))
        return WS_PeerAuthClient_Challenge1CertificateVerifyFailure;

    mState = State_ChallengeAnswered;
    WriteBuffer secrets;
    AppendSecret(secrets, mSecretB);
    secrets.AppendBytes(mSecretA.getKey(), mSecretA.getKeyLength());
    ElGamal serverKey(mServerCert->GetPublicKey());
    const SmartPtr<ByteBuffer> encrypted = serverKey.encrypt(secrets.GetData(), secrets.GetLength());
    if (!encrypted || encrypted->GetLength() > 0xFFFF)
        return WS_PeerAuthClient_Challenge2EncryptFailure;

    WriteBuffer wb(mLengthFieldSize, true);
    StartPeerAuthMsg(wb, PeerAuth_Challenge2);
    wb.AppendBuffer(encrypted, 2);
    reply = wb.ToByteBuffer(true);
    return WS_Success;
}

WSStatus PeerAuthClient::HandleComplete(ReadBuffer& rb)
{
    const int16_t status = static_cast<int16_t>(rb.ReadShort());
    if (status < 0)
    {
        const uint16_t count = rb.ReadShort();
        for (uint16_t i = 0; i < count; ++i)
        {
            std::string text;
            rb.ReadString(text, 2);
        }
        return static_cast<WSStatus>(status);
    }
    // A complete that accepts is only meaningful once challenge 2 has proved
    // the server's certificate: before that, secret A is not even drawn.
    if (mState != State_ChallengeAnswered)
        return WS_PeerAuthClient_InvalidMessage;

    const SmartPtr<ByteBuffer> plain = DecryptCountedBlock(rb, mPeerData->GetPrivateKey());
    if (!plain)
        return WS_PeerAuthClient_CompleteDecryptFailure;
    const uint32_t plainLength = plain->GetLength();
    if (plainLength < 2)
        return WS_PeerAuthClient_CompleteInvalidSecretLen;
    const uint32_t n = LoadLE16(plain->GetData());
    if (n > plainLength - 2 || n != mSecretA.getKeyLength() ||
        std::memcmp(plain->GetData() + 2, mSecretA.getKey(), n) != 0)
        return WS_PeerAuthClient_CompleteInvalidSecretKey;

    const uint16_t sessionId = mAuthType == AuthSession::AuthType_Session ? rb.ReadShort() : 0;
    if (mAuthType != AuthSession::AuthType_PersistentNotEncrypted)
        mSession = new AuthSession(mAuthType, sessionId, mSecretB, mLengthFieldSize);
    return WS_Success;
}

} // namespace QORAPI
