#include "service/CertIssuer.h"

#include "common/WriteBuffer.h"

namespace QORAPI {

CertIssuer::CertIssuer() = default;

CertIssuer::CertIssuer(const void* privateKey, uint32_t length)
{
    SetSigningKey(privateKey, length);
}

CertIssuer::CertIssuer(const ElGamal& privateKey)
{
    SetSigningKey(privateKey);
}

CertIssuer::~CertIssuer() = default;

bool CertIssuer::SetSigningKey(const ElGamal& privateKey)
{
    std::lock_guard<std::mutex> lock(mLock);
    mKey = privateKey;
    return mKey.hasPrivateKey();
}

bool CertIssuer::SetSigningKey(const void* privateKey, uint32_t length)
{
    std::lock_guard<std::mutex> lock(mLock);
    return mKey.setPrivateKey(privateKey, length);
}

bool CertIssuer::HasKey() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mKey.hasPrivateKey();
}

SmartPtr<ByteBuffer> CertIssuer::GetPublicKey() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mKey.getPublicKey();
}

SmartPtr<ByteBuffer> CertIssuer::Sign(const ByteBuffer* body)
{
    if (ByteBuffer::LengthOf(body) == 0)
        return nullptr;
    SmartPtr<ByteBuffer> signature;
    {
        std::lock_guard<std::mutex> lock(mLock);
        signature = mKey.sign(body->GetData(), body->GetLength());
    }
    if (ByteBuffer::LengthOf(signature) == 0)
        return nullptr;
    return AppendSignature(body, signature->GetData(), signature->GetLength());
}

SmartPtr<ByteBuffer> CertIssuer::IssueCertificate(const AuthBlockHeader& header, uint32_t userId,
                                                  uint32_t communityId, uint16_t trustLevel,
                                                  const ByteBuffer* publicKey)
{
    const SmartPtr<ByteBuffer> body = WriteCertificateBody(header, userId, communityId, trustLevel, publicKey);
    return Sign(body.Get());
}

SmartPtr<ByteBuffer> CertIssuer::IssueAuth2Certificate(const Auth2CertificateWriter& writer)
{
    const SmartPtr<ByteBuffer> body = writer.Body();
    return Sign(body.Get());
}

SmartPtr<ByteBuffer> CertIssuer::IssuePubKeyBlock(const AuthBlockHeader& header, uint16_t blockId,
                                                  const std::vector<SmartPtr<ByteBuffer>>& publicKeys)
{
    const SmartPtr<ByteBuffer> body = WritePubKeyBlockBody(header, blockId, publicKeys);
    return Sign(body.Get());
}

SmartPtr<ByteBuffer> CertIssuer::AppendSignature(const ByteBuffer* body, const void* signature, uint32_t length)
{
    WriteBuffer out(0);
    if (ByteBuffer::LengthOf(body))
        out.AppendBytes(body->GetData(), body->GetLength());
    if (length)
        out.AppendBytes(signature, length);
    return out.ToByteBuffer(true);
}

} // namespace QORAPI
