// Helpers of the peer-authentication tests: credentials from the default
// local authority, messages without their length field, and crafted blocks
// under a certificate holder's public key.
#ifndef QORAPI_TESTS_PEERAUTHTESTUTIL_H
#define QORAPI_TESTS_PEERAUTHTESTUTIL_H

#include "auth/AuthPeerData.h"
#include "common/ByteBuffer.h"
#include "service/KeyGen.h"
#include "service/LocalAuthority.h"

#include <gtest/gtest.h>

#include <string>

namespace QORAPI {
namespace PeerAuthTest {

inline LocalAuthority& Authority()
{
    static SmartPtr<LocalAuthority> authority = new LocalAuthority();
    return *authority;
}

// Credentials as a login leaves them: certificates valid for lifetime
// seconds, judged with the given clock offset.
inline SmartPtr<AuthPeerData> Credentials(uint32_t userId, const std::u16string& name, uint32_t lifetime = 3600,
                                          int32_t clockOffset = 0)
{
    IssueRequest request;
    request.mUserId = userId;
    request.mUserName = name;
    request.mCommunityId = 1;
    request.mTrustLevel = 10;
    request.mLifetimeSeconds = lifetime;
    request.mLifetime2Seconds = lifetime;
    SmartPtr<AuthPeerData> data = Authority().IssuePeerData(request);
    EXPECT_TRUE(data && data->IsValid() && data->IsValid2());
    if (!data || clockOffset == 0)
        return data;
    return new AuthPeerData(data->GetCertificate(), data->GetPubKeyBlock(), data->GetPrivateKey(), clockOffset,
                            data->GetCertificate2());
}

// Credentials whose certificates the default authority's block does not verify.
inline SmartPtr<AuthPeerData> ForeignCredentials(uint32_t userId)
{
    IssueRequest request;
    request.mUserId = userId;
    request.mUserName = u"stranger";
    IssuedCredentials issued;
    EXPECT_TRUE(Authority().IssueForeign(request, issued));
    return new AuthPeerData(new AuthCertificate(issued.mCertificate),
                            new AuthPubKeyBlock(Authority().GetPubKeyBlock()),
                            new ElGamal(issued.mPrivateKey->GetData(), issued.mPrivateKey->GetLength(), true), 0,
                            new Auth2Certificate(issued.mCertificate2));
}

// A packed Auth2Certificate, signed by the default authority, whose public
// key loads but cannot encrypt (a 20-bit modulus).
inline SmartPtr<ByteBuffer> UnusableKeyCertificate(uint32_t userId)
{
    DLParams params;
    params.p = BigInteger("1000003");
    params.q = BigInteger(3);
    params.g = BigInteger(2);
    const SmartPtr<ByteBuffer> key = KeyGen::EncodePublicKey(params, BigInteger(2));
    IssueRequest request;
    request.mUserId = userId;
    request.mUserName = u"odd key";
    IssuedCredentials issued;
    EXPECT_TRUE(Authority().IssueForKey(request, key.Get(), issued));
    return issued.mCertificate2;
}

// A frame's message, as a socket hands it out.
inline SmartPtr<ByteBuffer> Body(const SmartPtr<ByteBuffer>& frame, uint8_t lengthFieldSize)
{
    if (!frame || frame->GetLength() < lengthFieldSize)
        return nullptr;
    return new ByteBuffer(frame->GetData() + lengthFieldSize, frame->GetLength() - lengthFieldSize);
}

inline std::string Raw(const SmartPtr<ByteBuffer>& b)
{
    return b ? std::string(reinterpret_cast<const char*>(b->GetData()), b->GetLength()) : std::string();
}

inline SmartPtr<ByteBuffer> Buf(const std::string& s)
{
    return new ByteBuffer(s.data(), static_cast<uint32_t>(s.size()));
}

inline std::string Le16(uint32_t v)
{
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

inline std::string Le32(uint32_t v)
{
    return Le16(v & 0xFFFF) + Le16(v >> 16);
}

inline std::string Counted(const std::string& bytes)
{
    return Le16(static_cast<uint32_t>(bytes.size())) + bytes;
}

// The bytes encrypted with the public key of the holder's Auth2Certificate.
inline std::string EncryptFor(const AuthPeerData& holder, const std::string& plain)
{
    ElGamal key(holder.GetCertificate2()->GetPublicKey());
    return Raw(key.encrypt(plain.data(), static_cast<uint32_t>(plain.size())));
}

} // namespace PeerAuthTest
} // namespace QORAPI

#endif
