#include "auth/AuthCertificate.h"

namespace QORAPI {

AuthCertificate::AuthCertificate(const void* data, uint32_t length)
    : AuthCertificateBase(data, length), mCommunityId(0), mTrustLevel(0)
{
    Unpack();
}

AuthCertificate::AuthCertificate(const SmartPtr<ByteBuffer>& raw)
    : AuthCertificateBase(raw), mCommunityId(0), mTrustLevel(0)
{
    Unpack();
}

AuthCertificate::~AuthCertificate() = default;

bool AuthCertificate::UnpackHook(ReadBuffer& reader)
{
    if (!AuthCertificateBase::UnpackHook(reader))
        return false;
    mUserId = reader.ReadLong();
    mCommunityId = reader.ReadLong();
    mTrustLevel = reader.ReadShort();
    return ReadPublicKey(reader);
}

bool AuthCertificate::CheckAccess(uint32_t userId, uint32_t communityId, uint16_t minTrustLevel) const
{
    if (userId != 0 && userId != mUserId)
        return false;
    if (communityId != 0 && communityId != mCommunityId)
        return false;
    return mTrustLevel >= minTrustLevel;
}

} // namespace QORAPI
