// AuthCertificateBase: what every user certificate holds besides the signed
// block: the holder's user id and public key, and the access check that the
// concrete certificate formats answer.
//
// Thread safety: immutable after construction; may be read from any number
// of threads (see AuthBase).
#ifndef QORAPI_AUTH_AUTHCERTIFICATEBASE_H
#define QORAPI_AUTH_AUTHCERTIFICATEBASE_H

#include "QORCrypt/ElGamal.h"
#include "auth/AuthBase.h"

#include <cstdint>

namespace QORAPI {

class AuthCertificateBase : public AuthBase
{
public:
    ~AuthCertificateBase() override;

    uint32_t GetUserId() const { return mUserId; }
    // The holder's key. Encrypting with it advances a random source: callers
    // that encrypt work on a copy of their own.
    const ElGamal& GetPublicKey() const { return mPublicKey; }

    // True when the holder may act as the given user (0: any) in the given
    // community (0: any) with at least the given trust level. The base
    // certificate grants nothing.
    virtual bool CheckAccess(uint32_t userId, uint32_t communityId, uint16_t minTrustLevel) const;

protected:
    AuthCertificateBase(const void* data, uint32_t length);
    explicit AuthCertificateBase(const SmartPtr<ByteBuffer>& raw);

    // Reads a 2-byte key length and that many bytes of DER public key into
    // the holder's key; false when the key does not load.
    bool ReadPublicKey(ReadBuffer& reader);

    uint32_t mUserId;
    ElGamal mPublicKey;
};

typedef SmartPtr<AuthCertificateBase> AuthCertificateBasePtr;

} // namespace QORAPI

#endif
