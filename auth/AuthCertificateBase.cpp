#include "auth/AuthCertificateBase.h"

namespace QORAPI {

AuthCertificateBase::AuthCertificateBase(const void* data, uint32_t length)
    : AuthBase(data, length, DeferUnpack()), mUserId(0)
{
}

AuthCertificateBase::AuthCertificateBase(const SmartPtr<ByteBuffer>& raw)
    : AuthBase(raw, DeferUnpack()), mUserId(0)
{
}

AuthCertificateBase::~AuthCertificateBase() = default;

bool AuthCertificateBase::CheckAccess(uint32_t, uint32_t, uint16_t) const
{
    return false;
}

bool AuthCertificateBase::ReadPublicKey(ReadBuffer& reader)
{
    const uint16_t keyLength = reader.ReadShort();
    const uint8_t* key = reader.ReadBytes(keyLength);
    return mPublicKey.setPublicKey(key, keyLength);
}

} // namespace QORAPI
