// AuthCertificate: a user's certificate with one community and one trust
// level: header, user id, community id, trust level, DER public key, signature.
//
// Thread safety: immutable after construction; may be read from any number
// of threads.
#ifndef QORAPI_AUTH_AUTHCERTIFICATE_H
#define QORAPI_AUTH_AUTHCERTIFICATE_H

#include "auth/AuthCertificateBase.h"

#include <cstdint>

namespace QORAPI {

class AuthCertificate : public AuthCertificateBase
{
public:
    AuthCertificate(const void* data = nullptr, uint32_t length = 0);
    explicit AuthCertificate(const SmartPtr<ByteBuffer>& raw);
    ~AuthCertificate() override;

    uint32_t GetCommunityId() const { return mCommunityId; }
    uint16_t GetTrustLevel() const { return mTrustLevel; }

    bool CheckAccess(uint32_t userId, uint32_t communityId, uint16_t minTrustLevel) const override;

protected:
    bool UnpackHook(ReadBuffer& reader) override;

private:
    uint32_t mCommunityId;
    uint16_t mTrustLevel;
};

typedef SmartPtr<AuthCertificate> AuthCertificatePtr;

} // namespace QORAPI

#endif
