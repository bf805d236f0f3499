// AuthPeerData: the credentials one login produced, held together: the
// AuthCertificate, the Auth2Certificate, the authentication servers' public-key
// block, the client's private key and the clock offset (server clock minus
// local clock, in seconds, taken when the certificate arrived). Times are
// judged on the server's clock: the local clock plus the offset.
//
// Thread safety: immutable once built and replaced as a whole, so one object
// may be read from any number of threads. The private key is handed out as a
// const reference: callers that decrypt read it; callers that sign or encrypt
// work on a copy of their own.
#ifndef QORAPI_AUTH_AUTHPEERDATA_H
#define QORAPI_AUTH_AUTHPEERDATA_H

#include "QORCrypt/ElGamal.h"
#include "auth/Auth2Certificate.h"
#include "auth/AuthCertificate.h"
#include "auth/AuthPubKeyBlock.h"
#include "common/RefCount.h"

#include <cstdint>

namespace QORAPI {

class AuthPeerData : public RefCount
{
public:
    // Empty certificates of each kind, an empty block, no private key, offset 0.
    AuthPeerData();
    // Null pointers are replaced by empty objects; a private key without its
    // private part counts as absent.
    AuthPeerData(const SmartPtr<AuthCertificate>& certificate, const SmartPtr<AuthPubKeyBlock>& pubKeyBlock,
                 const SmartPtr<ElGamal>& privateKey, int32_t clockOffset,
                 const SmartPtr<Auth2Certificate>& certificate2);
    ~AuthPeerData() override;

    const SmartPtr<AuthCertificate>& GetCertificate() const { return mCertificate; }
    const SmartPtr<Auth2Certificate>& GetCertificate2() const { return mCertificate2; }
    const SmartPtr<AuthPubKeyBlock>& GetPubKeyBlock() const { return mPubKeyBlock; }
    // Null when there is no private key.
    const SmartPtr<ElGamal>& GetPrivateKey() const { return mPrivateKey; }
    int32_t GetClockOffset() const { return mClockOffset; }

    // True when the certificate is invalid or its expiry time is at or before
    // now + seconds + offset.
    bool IsCertExpired(int32_t seconds = 0) const;
    bool IsCert2Expired(int32_t seconds = 0) const;

    // Block valid, certificate valid and the private key present (second form:
    // the same with the Auth2Certificate).
    bool IsValid() const;
    bool IsValid2() const;

    // 0 when the certificate is expired, else its expiry time minus (now + offset).
    uint32_t GetSecondsUntilExpiry() const;

    // True when the public-key block verifies the peer's certificate.
    bool VerifyPeerCertificate(const AuthBase& certificate) const;

    // The server's clock now: local seconds plus the offset.
    uint32_t GetServerTime() const;

private:
    bool IsExpiredAt(const AuthBase& certificate, int32_t seconds) const;

    SmartPtr<AuthCertificate> mCertificate;
    SmartPtr<Auth2Certificate> mCertificate2;
    SmartPtr<AuthPubKeyBlock> mPubKeyBlock;
    SmartPtr<ElGamal> mPrivateKey;
    int32_t mClockOffset;
};

typedef SmartPtr<AuthPeerData> AuthPeerDataPtr;

} // namespace QORAPI

#endif
