#include "auth/AuthPeerData.h"

#include "platform/Tick.h"

namespace QORAPI {

AuthPeerData::AuthPeerData()
    : mCertificate(new AuthCertificate()), mCertificate2(new Auth2Certificate()),
      mPubKeyBlock(new AuthPubKeyBlock()), mClockOffset(0)
{
}

AuthPeerData::AuthPeerData(const SmartPtr<AuthCertificate>& certificate, const SmartPtr<AuthPubKeyBlock>& pubKeyBlock,
                           const SmartPtr<ElGamal>& privateKey, int32_t clockOffset,
                           const SmartPtr<Auth2Certificate>& certificate2)
    : mCertificate(certificate ? certificate : SmartPtr<AuthCertificate>(new AuthCertificate())),
      mCertificate2(certificate2 ? certificate2 : SmartPtr<Auth2Certificate>(new Auth2Certificate())),
      mPubKeyBlock(pubKeyBlock ? pubKeyBlock : SmartPtr<AuthPubKeyBlock>(new AuthPubKeyBlock())),
      mPrivateKey(privateKey && privateKey->hasPrivateKey() ? privateKey : nullptr), mClockOffset(clockOffset)
{
}

AuthPeerData::~AuthPeerData() = default;

uint32_t AuthPeerData::GetServerTime() const
{
    return GetTimeSeconds() + static_cast<uint32_t>(mClockOffset);
}

bool AuthPeerData::IsExpiredAt(const AuthBase& certificate, int32_t seconds) const
{
    if (!certificate.IsValid())
        return true;
    const int64_t limit = static_cast<int64_t>(GetTimeSeconds()) + seconds + mClockOffset;
    return static_cast<int64_t>(certificate.GetExpiryTime()) <= limit;
}

bool AuthPeerData::IsCertExpired(int32_t seconds) const
{
    return IsExpiredAt(*mCertificate, seconds);
}

bool AuthPeerData::IsCert2Expired(int32_t seconds) const
{
    return IsExpiredAt(*mCertificate2, seconds);
}

bool AuthPeerData::IsValid() const
{
    return mPubKeyBlock->IsValid() && mCertificate->IsValid() && mPrivateKey;
}

bool AuthPeerData::IsValid2() const
{
    return mPubKeyBlock->IsValid() && mCertificate2->IsValid() && mPrivateKey;
}

uint32_t AuthPeerData::GetSecondsUntilExpiry() const
{
    if (IsCertExpired(0))
        return 0;
    const int64_t now = static_cast<int64_t>(GetTimeSeconds()) + mClockOffset;
    return static_cast<uint32_t>(static_cast<int64_t>(mCertificate->GetExpiryTime()) - now);
}

bool AuthPeerData::VerifyPeerCertificate(const AuthBase& certificate) const
{
    return mPubKeyBlock->Verify(certificate);
}

} // namespace QORAPI
