#include "auth/GetCertOp.h"

#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

#include <cstring>

namespace QORAPI {

GetCertOp::GetCertOp(const SmartPtr<AuthContext>& context)
    : ServerRequestOp(context ? context->GetServerContext() : SmartPtr<ServerContext>()), mContext(context),
      mClockOffset(0), mOptionFlag(false), mState(1), mRetriedAfterBadBlock(false), mChallengeCount(0),
      mPubKeyRequests(0)
{
}

GetCertOp::~GetCertOp() = default;

SmartPtr<AuthPeerData> GetCertOp::GetNewPeerData() const
{
    ScopedLock lock(mCrit);
    return mNewPeerData;
}

void GetCertOp::RunHook()
{
    {
        ScopedLock lock(mCrit);
        mNewPeerData = nullptr;
    }
    mRetriedAfterBadBlock = false;
    mPubKeyRequests = 0;
    mChallengeCount = 0;
    if (!mContext)
    {
        Finish(WS_ServerReq_NeedAuthContext);
        return;
    }
    mVerifier = AuthContext::GetVerifierKey();
    if (!mVerifier.hasPublicKey())
    {
        Finish(WS_GetCert_NeedVerifierKey);
        return;
    }
    SmartPtr<AuthPeerData> peerData = mContext->GetPeerData();
    mPubKeyBlock = peerData->GetPubKeyBlock();
    mClockOffset = peerData->GetClockOffset();
    mContext->LoadKeyStore();
    ServerRequestOp::RunHook();
}

void GetCertOp::ResetForServer()
{
    mState = 1;
    mChallenge.clear();
    mChallengeCount = 0;
}

void GetCertOp::WriteHeader(WriteBuffer& out, uint16_t type) const
{
    out.AppendByte(HeaderByte);
    out.AppendShort(ServiceType);
    out.AppendShort(type);
}

WSStatus GetCertOp::BuildRequest()
{
    if (!mPubKeyBlock || !mPubKeyBlock->IsValid())
    {
        WriteBuffer out(4, true);
        WriteHeader(out, Msg_PubKeyRequest);
        mRequest = out.ToByteBuffer(true);
        mState = 1;
        ++mPubKeyRequests;
        return WS_ServerReq_Recv;
    }
    if (mState != 2)
    {
        const WSStatus status = BuildLoginRequest();
        if (status != WS_ServerReq_Recv)
            return status;
        mState = 2;
        return WS_ServerReq_Recv;
    }
    // The answer to a challenge: no integrity records.
    const uint8_t none = 0;
    SmartPtr<ByteBuffer> sealed = mSessionKey.encrypt(&none, 1);
    if (!sealed)
        return FailOver(WS_GetCert_DecryptFailure);
    WriteBuffer out(4, true);
    WriteHeader(out, Msg_ChallengeReply);
    out.AppendBuffer(sealed, 2);
    mRequest = out.ToByteBuffer(true);
    return WS_ServerReq_Recv;
}

WSStatus GetCertOp::BuildLoginRequest()
{
    if (!mSessionKey.setRandomKey(SessionKeyLength))
        return WS_GetCert_PubKeyEncryptFailure;
    const std::vector<ElGamal>& keys = mPubKeyBlock->GetKeys();
    if (keys.empty())
        return WS_GetCert_PubKeyEncryptFailure;
    ElGamal serverKey(keys.front());
    SmartPtr<ByteBuffer> sealedKey = serverKey.encrypt(mSessionKey.getKey(), mSessionKey.getKeyLength());
    if (ByteBuffer::LengthOf(sealedKey) == 0 || ByteBuffer::LengthOf(sealedKey) > 0xFFFF)
        return WS_GetCert_PubKeyEncryptFailure;

    WriteBuffer login;
    login.AppendBytes(mSessionKey.getKey(), 2);
    login.AppendShort(mPubKeyBlock->GetBlockId());
    login.AppendLong(LoginFlags | (mOptionFlag ? 1u : 0u));
    login.AppendWString(mContext->GetUserName(), 2);
    login.AppendWString(mContext->GetPassword(), 2);
    login.AppendWString(mNewPassword, 2);
    mContext->WriteLoginData(login);
    SmartPtr<ByteBuffer> sealedLogin = mSessionKey.encrypt(login.GetData(), login.GetLength());
    // The sealed login must fit its 2-byte count; a bigger one cannot be sent.
    if (ByteBuffer::LengthOf(sealedLogin) == 0 || ByteBuffer::LengthOf(sealedLogin) > 0xFFFF)
        return WS_CommServ_InvalidParameters;

    WriteBuffer out(4, true);
    WriteHeader(out, Msg_LoginRequest);
    out.AppendShort(mPubKeyBlock->GetBlockId());
    out.AppendBuffer(sealedKey, 2);
    out.AppendBuffer(sealedLogin, 2);
    mRequest = out.ToByteBuffer(true);
    return WS_ServerReq_Recv;
}

WSStatus GetCertOp::HandleReply()
{
    ReadBuffer reader(mReply);
    const uint8_t first = reader.ReadByte();
    const uint16_t service = reader.ReadShort();
    const uint16_t type = reader.ReadShort();
    if (first != HeaderByte || service != ServiceType)
        return FailOver(WS_ServerReq_InvalidReplyHeader);
    if (mState == 1)
    {
        if (type != Msg_PubKeyReply)
            return FailOver(WS_ServerReq_InvalidReplyHeader);
        return HandlePubKeyReply(reader);
    }
    if (type == Msg_Challenge)
        return HandleChallenge(reader);
    if (type == Msg_LoginReply)
        return HandleLoginReply(reader);
    return FailOver(WS_ServerReq_InvalidReplyHeader);
}

WSStatus GetCertOp::HandlePubKeyReply(ReadBuffer& reader)
{
    const int16_t status = static_cast<int16_t>(reader.ReadShort());
    if (status < 0)
        return FailOver(static_cast<WSStatus>(status));
    const uint16_t length = reader.ReadShort();
    const uint8_t* data = reader.ReadBytes(length);
    // A block is kept only once the verifier key vouches for it: an
    // unverified one would have the password sent under a key nobody signed.
    SmartPtr<AuthPubKeyBlock> block = new AuthPubKeyBlock(data, length);
    if (!block->IsValid() || !block->Verify(mVerifier))
        return FailOver(WS_GetCert_InvalidPubKeyBlock);
    mPubKeyBlock = block;
    return WS_ServerReq_Send;
}

WSStatus GetCertOp::HandleChallenge(ReadBuffer& reader)
{
    const uint16_t length = reader.ReadShort();
    const uint8_t* data = reader.ReadBytes(length);
    SmartPtr<ByteBuffer> plain = mSessionKey.decrypt(data, length);
    if (!plain)
        return FailOver(WS_GetCert_DecryptFailure);
    ReadBuffer inner(plain);
    const uint8_t* value = inner.ReadBytes(ChallengeLength);
    mChallenge.assign(value, value + ChallengeLength);
    mContext->AddPendingLoginKey(mChallenge.data());
    ++mChallengeCount;
    return WS_ServerReq_Send;
}

WSStatus GetCertOp::HandleLoginReply(ReadBuffer& reader)
{
    const int16_t status = static_cast<int16_t>(reader.ReadShort());
    if (status < 0)
    {
        if (!mChallenge.empty())
            mContext->RemovePendingLoginKey(mChallenge.data());
        if (status == WS_CommServ_Failure)
            return FailOver(WS_CommServ_Failure);
        // After a key rotation a well-formed but outdated block is refused:
        // fetch the current one from the same server, once per run.
        if (status == WS_AuthServ_BadPubKeyBlock && !mRetriedAfterBadBlock)
        {
            mRetriedAfterBadBlock = true;
            mPubKeyBlock = new AuthPubKeyBlock();
            mState = 1;
            mChallenge.clear();
            return WS_ServerReq_Send;
        }
        return static_cast<WSStatus>(status);
    }

    const uint8_t messages = reader.ReadByte();
    for (uint8_t i = 0; i < messages; ++i)
        reader.ReadBytes(reader.ReadShort());

    SmartPtr<AuthCertificate> certificate;
    SmartPtr<Auth2Certificate> certificate2;
    SmartPtr<AuthPubKeyBlock> block = mPubKeyBlock;
    int32_t clockOffset = mClockOffset;
    const uint8_t items = reader.ReadByte();
    for (uint8_t i = 0; i < items; ++i)
    {
        const uint8_t itemType = reader.ReadByte();
        const uint16_t length = reader.ReadShort();
        const uint8_t* data = reader.ReadBytes(length);
        if (itemType == Item_Certificate || itemType == Item_Certificate2)
        {
            SmartPtr<AuthCertificateBase> cert;
            if (itemType == Item_Certificate)
                cert = certificate = new AuthCertificate(data, length);
            else
                cert = certificate2 = new Auth2Certificate(data, length);
            if (!cert->IsValid() || !block || !block->Verify(*cert))
                return FailOver(WS_GetCert_InvalidCertificate);
            clockOffset = static_cast<int32_t>(cert->GetIssueTime() - GetTimeSeconds());
        }
        else if (itemType == Item_PubKeyBlock)
        {
            SmartPtr<AuthPubKeyBlock> received = new AuthPubKeyBlock(data, length);
            if (!received->IsValid() || !received->Verify(mVerifier))
                return FailOver(WS_GetCert_InvalidPubKeyBlock);
            block = received;
        }
    }

    // With no certificate there is nothing to date the keys by: no commit.
    const AuthCertificateBase* dated = certificate2 ? static_cast<const AuthCertificateBase*>(certificate2.Get())
                                                    : certificate.Get();
    if (dated)
        mContext->CommitLoginKeys(dated->GetIssueTime(), dated->GetExpiryTime() - dated->GetIssueTime());

    const uint32_t rest = reader.Remaining();
    SmartPtr<ByteBuffer> secret = mSessionKey.decrypt(reader.ReadBytes(rest), rest);
    if (!secret)
        return FailOver(WS_GetCert_DecryptFailure);
    ReadBuffer inner(secret);
    SmartPtr<ElGamal> privateKey;
    const uint8_t secretItems = inner.ReadByte();
    for (uint8_t i = 0; i < secretItems; ++i)
    {
        const uint8_t itemType = inner.ReadByte();
        const uint16_t length = inner.ReadShort();
        const uint8_t* data = inner.ReadBytes(length);
        if (itemType == Item_PrivateKey)
        {
            privateKey = new ElGamal();
            if (!privateKey->setPrivateKey(data, length))
                return FailOver(WS_GetCert_InvalidPrivateKey);
        }
        else if (itemType == Item_SecretConfirm)
        {
            if (length != mSessionKey.getKeyLength() + 2 ||
                std::memcmp(data + 2, mSessionKey.getKey(), mSessionKey.getKeyLength()) != 0)
                return FailOver(WS_GetCert_InvalidSecretConfirm);
        }
    }
    if (!certificate || !certificate2)
        return FailOver(WS_GetCert_MissingCertificate);
    // Credentials without their private key could never be used.
    if (!privateKey)
        return FailOver(WS_GetCert_InvalidPrivateKey);

    SmartPtr<AuthPeerData> peerData = new AuthPeerData(certificate, block, privateKey, clockOffset, certificate2);
    {
        ScopedLock lock(mCrit);
        mNewPeerData = peerData;
    }
    mPubKeyBlock = block;
    mClockOffset = clockOffset;
    if (!mNewPassword.empty())
        mContext->SetPassword(mNewPassword);
    mContext->SetPeerData(peerData);
    mContext->ClearLoginData();
    return WS_Success;
}

} // namespace QORAPI
