#include "service/LocalAuthority.h"

#include "platform/FileSystem.h"
#include "platform/Tick.h"
#include "service/AuthBlockWriter.h"
#include "service/CertIssuer.h"
#include "service/IssuerKeys.h"

namespace QORAPI {

namespace {

// The fixed keys of the default authority; the verifier's public part is the
// library's built-in verifier key.
const uint32_t kFixedVerifierKey = 5;
const uint32_t kFixedSigningKey = 4;
const uint32_t kFixedForeignKey = 3;
const uint16_t kFirstBlockId = 1;

bool LoadFixed(ElGamal& key, uint32_t index)
{
    SmartPtr<ByteBuffer> der = GetFixedIssuerKey(index);
    return der && key.setPrivateKey(der->GetData(), der->GetLength());
}

ElGamal PublicOnly(const ElGamal& key)
{
    ElGamal out;
    SmartPtr<ByteBuffer> der = key.getPublicKey();
    out.setPublicKey(ByteBuffer::DataOf(der), ByteBuffer::LengthOf(der));
    return out;
}

} // namespace

LocalAuthority::LocalAuthority() : mKeyBits(1024), mBlockId(kFirstBlockId), mReady(false)
{
    mReady = Setup(false);
}

LocalAuthority::LocalAuthority(uint32_t keyBits, bool freshKeys)
    : mKeyBits(keyBits), mBlockId(kFirstBlockId), mReady(false)
{
    mReady = Setup(freshKeys);
}

LocalAuthority::~LocalAuthority() = default;

bool LocalAuthority::Setup(bool freshKeys)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!KeyGen::LoadFixedParams(mParams, mKeyBits))
        return false;
    if (mKeyBits == 1024 && !freshKeys)
    {
        if (!LoadFixed(mVerifier, kFixedVerifierKey) || !LoadFixed(mSigner, kFixedSigningKey) ||
            !LoadFixed(mForeign, kFixedForeignKey))
            return false;
    }
    else
    {
        SmartPtr<ElGamal> verifier = KeyGen::GenerateKeyPair(mParams, mRandom);
        SmartPtr<ElGamal> signer = KeyGen::GenerateKeyPair(mParams, mRandom);
        SmartPtr<ElGamal> foreign = KeyGen::GenerateKeyPair(mParams, mRandom);
        if (!verifier || !signer || !foreign)
            return false;
        mVerifier = *verifier;
        mSigner = *signer;
        mForeign = *foreign;
    }
    return BuildBlock();
}

bool LocalAuthority::BuildBlock()
{
    AuthBlockHeader header;
    header.mIssueTime = GetTimeSeconds() - 60;
    header.mExpiryTime = header.mIssueTime + 10u * 365u * 86400u;
    CertIssuer issuer(mVerifier);
    std::vector<SmartPtr<ByteBuffer>> keys{mSigner.getPublicKey()};
    mBlock = issuer.IssuePubKeyBlock(header, mBlockId, keys);
    return mBlock != nullptr;
}

bool LocalAuthority::IsReady() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mReady;
}

SmartPtr<ByteBuffer> LocalAuthority::GetVerifierPublicKey() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mVerifier.getPublicKey();
}

ElGamal LocalAuthority::GetVerifierKey() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return PublicOnly(mVerifier);
}

bool LocalAuthority::WriteVerifierKeyFile(const std::string& directory) const
{
    std::string path = directory;
    if (!path.empty() && path.back() != '/' && path.back() != '\\')
        path += '/';
    path += VerifierKeyFileName();
    SmartPtr<ByteBuffer> der = GetVerifierPublicKey();
    return der && WriteFileAtomic(path, der->GetData(), der->GetLength());
}

SmartPtr<ByteBuffer> LocalAuthority::GetPubKeyBlock() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mBlock;
}

uint16_t LocalAuthority::GetBlockId() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mBlockId;
}

ElGamal LocalAuthority::GetSigningPrivateKey() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mSigner;
}

bool LocalAuthority::Rotate()
{
    std::lock_guard<std::mutex> lock(mLock);
    SmartPtr<ElGamal> signer = KeyGen::GenerateKeyPair(mParams, mRandom);
    if (!signer)
        return false;
    mSigner = *signer;
    mBlockId = static_cast<uint16_t>(mBlockId + 1);
    return BuildBlock();
}

SmartPtr<ElGamal> LocalAuthority::GenerateKeyPair()
{
    std::lock_guard<std::mutex> lock(mLock);
    return KeyGen::GenerateKeyPair(mParams, mRandom);
}

bool LocalAuthority::IssueWith(ElGamal& signer, const IssueRequest& request, const ByteBuffer* publicKey,
                               IssuedCredentials& out)
{
    AuthBlockHeader header;
    header.mIssueTime = GetTimeSeconds() + static_cast<uint32_t>(request.mClockShift);
    header.mExpiryTime = header.mIssueTime + request.mLifetimeSeconds;
    CertIssuer issuer(signer);
    out.mCertificate = issuer.IssueCertificate(header, request.mUserId, request.mCommunityId, request.mTrustLevel,
                                               publicKey);
    AuthBlockHeader header2 = header;
    header2.mExpiryTime = header.mIssueTime + request.mLifetime2Seconds;
    Auth2CertificateWriter writer(header2);
    Auth2CertificateWriter::TrustLevelList trust{{request.mCommunityId, request.mTrustLevel}};
    if (!writer.AddIdentity(request.mUserId, publicKey, request.mUserName, trust))
        return false;
    out.mCertificate2 = issuer.IssueAuth2Certificate(writer);
    out.mIssueTime = header.mIssueTime;
    out.mExpiryTime = header.mExpiryTime;
    return out.mCertificate && out.mCertificate2;
}

bool LocalAuthority::IssueForKey(const IssueRequest& request, const ByteBuffer* publicKey, IssuedCredentials& out)
{
    ElGamal signer = GetSigningPrivateKey();
    out.mPublicKey = publicKey ? new ByteBuffer(publicKey->GetData(), publicKey->GetLength()) : nullptr;
    return IssueWith(signer, request, publicKey, out);
}

bool LocalAuthority::Issue(const IssueRequest& request, IssuedCredentials& out)
{
    SmartPtr<ElGamal> pair = GenerateKeyPair();
    if (!pair)
        return false;
    ElGamal signer = GetSigningPrivateKey();
    out.mPrivateKey = pair->getPrivateKey();
    out.mPublicKey = pair->getPublicKey();
    return IssueWith(signer, request, out.mPublicKey.Get(), out);
}

bool LocalAuthority::IssueForeign(const IssueRequest& request, IssuedCredentials& out)
{
    SmartPtr<ElGamal> pair = GenerateKeyPair();
    if (!pair)
        return false;
    ElGamal foreign;
    {
        std::lock_guard<std::mutex> lock(mLock);
        foreign = mForeign;
    }
    out.mPrivateKey = pair->getPrivateKey();
    out.mPublicKey = pair->getPublicKey();
    return IssueWith(foreign, request, out.mPublicKey.Get(), out);
}

SmartPtr<ByteBuffer> LocalAuthority::IssuePubKeyBlock(const std::vector<SmartPtr<ByteBuffer>>& publicKeys)
{
    std::lock_guard<std::mutex> lock(mLock);
    AuthBlockHeader header;
    header.mIssueTime = GetTimeSeconds() - 60;
    header.mExpiryTime = header.mIssueTime + 86400u;
    CertIssuer issuer(mVerifier);
    return issuer.IssuePubKeyBlock(header, mBlockId, publicKeys);
}

SmartPtr<ByteBuffer> LocalAuthority::GetForeignPubKeyBlock()
{
    std::lock_guard<std::mutex> lock(mLock);
    AuthBlockHeader header;
    header.mIssueTime = GetTimeSeconds() - 60;
    header.mExpiryTime = header.mIssueTime + 86400u;
    CertIssuer issuer(mForeign);
    std::vector<SmartPtr<ByteBuffer>> keys{mSigner.getPublicKey()};
    return issuer.IssuePubKeyBlock(header, mBlockId, keys);
}

SmartPtr<AuthPeerData> LocalAuthority::IssuePeerData(const IssueRequest& request)
{
    IssuedCredentials credentials;
    if (!Issue(request, credentials))
        return nullptr;
    SmartPtr<ElGamal> privateKey = new ElGamal(credentials.mPrivateKey->GetData(),
                                               credentials.mPrivateKey->GetLength(), true);
    SmartPtr<AuthPubKeyBlock> block = new AuthPubKeyBlock(GetPubKeyBlock());
    return new AuthPeerData(new AuthCertificate(credentials.mCertificate), block, privateKey,
                            request.mClockShift, new Auth2Certificate(credentials.mCertificate2));
}

} // namespace QORAPI
