// Certificates and public-key blocks: layouts written by the issuer read back
// by the parsers, signatures, access checks, expiry, and malformed input.

#include "QORCrypt/ElGamal.h"
#include "auth/Auth2Certificate.h"
#include "auth/AuthCertificate.h"
#include "auth/AuthPubKeyBlock.h"
#include "platform/Tick.h"
#include "service/AuthBlockWriter.h"
#include "service/CertIssuer.h"
#include "service/IssuerKeys.h"
#include "service/KeyGen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace QORAPI;

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes ToBytes(const ByteBuffer* b)
{
    return Bytes(ByteBuffer::DataOf(b), ByteBuffer::DataOf(b) + ByteBuffer::LengthOf(b));
}

SmartPtr<ByteBuffer> ToBuffer(const Bytes& b)
{
    return new ByteBuffer(b.data(), static_cast<uint32_t>(b.size()));
}

class AuthBlocks : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        for (uint32_t i = 0; i < GetFixedIssuerKeyCount(); ++i)
        {
            const SmartPtr<ByteBuffer> der = GetFixedIssuerKey(i);
            sIssuers.push_back(new CertIssuer(der->GetData(), der->GetLength()));
        }
    }
    static void TearDownTestSuite() { sIssuers.clear(); }

    static CertIssuer& Issuer(uint32_t i) { return *sIssuers.at(i); }
    static SmartPtr<ByteBuffer> PublicKeyOf(uint32_t i) { return sIssuers.at(i)->GetPublicKey(); }
    static ElGamal KeyOf(uint32_t i)
    {
        const SmartPtr<ByteBuffer> der = PublicKeyOf(i);
        ElGamal key;
        EXPECT_TRUE(key.setPublicKey(der->GetData(), der->GetLength()));
        return key;
    }

    static AuthBlockHeader Header(uint32_t lifetime = 3600)
    {
        AuthBlockHeader h;
        h.mHeaderValue = 0x0102;
        h.mIssueTime = GetTimeSeconds();
        h.mExpiryTime = h.mIssueTime + lifetime;
        return h;
    }

    // A certificate of user 77 in community 5 at trust 3, holding key 3, signed by `signer`.
    static SmartPtr<ByteBuffer> MakeCert(uint32_t signer)
    {
        return Issuer(signer).IssueCertificate(Header(), 77, 5, 3, PublicKeyOf(3).Get());
    }

    static SmartPtr<ByteBuffer> MakeAuth2(uint32_t signer)
    {
        Auth2CertificateWriter w(Header());
        EXPECT_TRUE(w.AddIdentity(1234, PublicKeyOf(3).Get(), u"Player One", {{7, 10}, {3, 2}}));
        EXPECT_TRUE(w.AddTextValue(u"clan", u"Red"));
        EXPECT_TRUE(w.AddTextValue(u"alias", u"P1"));
        EXPECT_TRUE(w.AddDataValue(9, "abc", 3));
        EXPECT_TRUE(w.AddDataValue(4, "", 0));
        EXPECT_TRUE(w.AddNumberValue(42, 0xDEADBEEF));
        return Issuer(signer).IssueAuth2Certificate(w);
    }

    // A block of keys 1, 2 and 4 (4 from the second group), signed by key 0.
    static SmartPtr<ByteBuffer> MakeKeyBlock()
    {
        return Issuer(0).IssuePubKeyBlock(Header(), 0x55AA, {PublicKeyOf(1), PublicKeyOf(2), PublicKeyOf(4)});
    }

    // Whether a writer's body with a one-byte signature parses.
    static bool Auth2Parses(const Auth2CertificateWriter& w)
    {
        return Auth2CertificatePtr(new Auth2Certificate(CertIssuer::AppendSignature(w.Body().Get(), "s", 1)))->IsValid();
    }

    // Parses bytes as a certificate (0), an Auth2 certificate (1) or a key block (2).
    static AuthBasePtr Parse(size_t kind, const Bytes& b)
    {
        const uint32_t n = static_cast<uint32_t>(b.size());
        if (kind == 0)
            return new AuthCertificate(b.data(), n);
        if (kind == 1)
            return new Auth2Certificate(b.data(), n);
        return new AuthPubKeyBlock(b.data(), n);
    }

    static std::vector<SmartPtr<CertIssuer>> sIssuers;
};

std::vector<SmartPtr<CertIssuer>> AuthBlocks::sIssuers;

TEST_F(AuthBlocks, CertificateRoundTrip)
{
    const SmartPtr<ByteBuffer> raw = MakeCert(1);
    ASSERT_TRUE(raw);
    const AuthCertificatePtr cert = new AuthCertificate(raw->GetData(), raw->GetLength());
    ASSERT_TRUE(cert->IsValid());
    EXPECT_EQ(cert->GetHeaderValue(), 0x0102);
    EXPECT_EQ(cert->GetUserId(), 77u);
    EXPECT_EQ(cert->GetCommunityId(), 5u);
    EXPECT_EQ(cert->GetTrustLevel(), 3);
    EXPECT_EQ(cert->GetSignedLength(), 22 + PublicKeyOf(3)->GetLength());
    EXPECT_EQ(cert->GetSignatureLength(), raw->GetLength() - cert->GetSignedLength());
    EXPECT_TRUE(ByteBuffer::Equal(cert->GetRaw().Get(), raw.Get()));
    EXPECT_TRUE(ByteBuffer::Equal(cert->GetPublicKey().getPublicKey().Get(), PublicKeyOf(3).Get()));
    EXPECT_TRUE(cert->Verify(KeyOf(1)));
    EXPECT_FALSE(cert->Verify(KeyOf(2)));
    EXPECT_FALSE(cert->IsExpired(0));

    // The shared-buffer constructor reads the same.
    const AuthCertificatePtr shared = new AuthCertificate(raw);
    EXPECT_TRUE(shared->IsValid());
    EXPECT_EQ(shared->GetRaw().Get(), raw.Get());
}

TEST_F(AuthBlocks, EmptyAndBodyOnlyBlocksAreInvalid)
{
    EXPECT_FALSE(AuthCertificatePtr(new AuthCertificate())->IsValid());
    EXPECT_FALSE(AuthCertificatePtr(new AuthCertificate("x", 0))->IsValid());
    EXPECT_FALSE(AuthPubKeyBlockPtr(new AuthPubKeyBlock(SmartPtr<ByteBuffer>()))->IsValid());
    EXPECT_FALSE(AuthCertificatePtr(new AuthCertificate())->Verify(KeyOf(1)));
    EXPECT_TRUE(AuthCertificatePtr(new AuthCertificate())->IsExpired(-100000));

    // Every field parses, but nothing follows the body.
    const SmartPtr<ByteBuffer> body = WriteCertificateBody(Header(), 1, 2, 3, PublicKeyOf(3).Get());
    const AuthCertificatePtr cert = new AuthCertificate(body);
    EXPECT_FALSE(cert->IsValid());
    EXPECT_EQ(cert->GetSignature(), nullptr);
    EXPECT_EQ(cert->GetSignatureLength(), 0u);

    // One byte of signature makes it a valid block that does not verify.
    const SmartPtr<ByteBuffer> oneByte = CertIssuer::AppendSignature(body.Get(), "s", 1);
    const AuthCertificatePtr signedCert = new AuthCertificate(oneByte);
    EXPECT_TRUE(signedCert->IsValid());
    EXPECT_FALSE(signedCert->Verify(KeyOf(1)));

    // A base block reads only the header.
    const AuthBasePtr base = new AuthBase(body->GetData(), 11);
    EXPECT_TRUE(base->IsValid());
    EXPECT_EQ(base->GetSignedLength(), AuthBase::kHeaderSize);
}

TEST_F(AuthBlocks, KeysThatDoNotLoadFailTheBlock)
{
    const Bytes junkKey = {0x31, 0x00, 0x02, 0x01, 0x05};
    const SmartPtr<ByteBuffer> cert =
        CertIssuer::AppendSignature(WriteCertificateBody(Header(), 1, 2, 3, ToBuffer(junkKey).Get()).Get(), "ss", 2);
    EXPECT_FALSE(AuthCertificatePtr(new AuthCertificate(cert))->IsValid());

    const SmartPtr<ByteBuffer> block = CertIssuer::AppendSignature(
        WritePubKeyBlockBody(Header(), 1, {PublicKeyOf(1), ToBuffer(junkKey)}).Get(), "ss", 2);
    EXPECT_FALSE(AuthPubKeyBlockPtr(new AuthPubKeyBlock(block))->IsValid());

    Auth2CertificateWriter w(Header());
    ASSERT_TRUE(w.AddIdentity(1, ToBuffer(junkKey).Get(), u"n", {}));
    EXPECT_FALSE(Auth2Parses(w));
}

TEST_F(AuthBlocks, Auth2CertificateRoundTripAndLookups)
{
    const SmartPtr<ByteBuffer> raw = MakeAuth2(2);
    const Auth2CertificatePtr cert = new Auth2Certificate(raw);
    ASSERT_TRUE(cert->IsValid());
    EXPECT_TRUE(cert->Verify(KeyOf(2)));
    EXPECT_EQ(cert->GetUserId(), 1234u);
    EXPECT_EQ(cert->GetName(), u"Player One");
    EXPECT_TRUE(ByteBuffer::Equal(cert->GetPublicKey().getPublicKey().Get(), PublicKeyOf(3).Get()));
    EXPECT_EQ(cert->GetTrustLevels().size(), 2u);
    EXPECT_EQ(cert->GetTextValue(u"clan"), u"Red");
    EXPECT_EQ(cert->GetTextValue(u"missing"), u"");
    EXPECT_EQ(cert->GetDataValue(9)->ToString(), "abc");
    EXPECT_EQ(cert->GetDataValue(4)->GetLength(), 0u);
    EXPECT_FALSE(cert->GetDataValue(5));
    EXPECT_EQ(cert->GetNumberValue(42), 0xDEADBEEFu);
    EXPECT_EQ(cert->GetNumberValue(41), 0u);

    std::u16string firstKey;
    EXPECT_EQ(cert->GetFirstTextValue(&firstKey), u"P1");
    EXPECT_EQ(firstKey, u"alias");
    uint32_t community = 0;
    EXPECT_EQ(cert->GetFirstTrustLevel(&community), 2);
    EXPECT_EQ(community, 3u);
    uint32_t id = 0;
    EXPECT_EQ(cert->GetFirstDataValue(&id)->GetLength(), 0u);
    EXPECT_EQ(id, 4u);

    // An empty certificate answers the lookups with empty values.
    const Auth2CertificatePtr empty =
        new Auth2Certificate(CertIssuer::AppendSignature(Auth2CertificateWriter(Header()).Body().Get(), "s", 1));
    ASSERT_TRUE(empty->IsValid());
    EXPECT_EQ(empty->GetFirstTextValue(), u"");
    EXPECT_EQ(empty->GetFirstTrustLevel(), 0);
    EXPECT_FALSE(empty->GetFirstDataValue());
    EXPECT_FALSE(empty->CheckAccess(0, 0, 0));
}

TEST_F(AuthBlocks, Auth2RepeatedEntriesReplaceAndIdentitiesMerge)
{
    Auth2CertificateWriter w(Header());
    ASSERT_TRUE(w.AddIdentity(1, PublicKeyOf(1).Get(), u"first", {{1, 1}, {2, 2}}));
    ASSERT_TRUE(w.AddTextValue(u"k", u"old"));
    ASSERT_TRUE(w.AddNumberValue(3, 1));
    ASSERT_TRUE(w.AddIdentity(2, PublicKeyOf(2).Get(), u"second", {{2, 9}, {5, 5}}));
    ASSERT_TRUE(w.AddTextValue(u"k", u"new"));
    ASSERT_TRUE(w.AddNumberValue(3, 2));
    const Auth2CertificatePtr cert = new Auth2Certificate(Issuer(0).IssueAuth2Certificate(w));
    ASSERT_TRUE(cert->IsValid());
    EXPECT_EQ(cert->GetUserId(), 2u);
    EXPECT_EQ(cert->GetName(), u"second");
    EXPECT_TRUE(ByteBuffer::Equal(cert->GetPublicKey().getPublicKey().Get(), PublicKeyOf(2).Get()));
    const Auth2Certificate::TrustLevelMap expected = {{1, 1}, {2, 9}, {5, 5}};
    EXPECT_EQ(cert->GetTrustLevels(), expected);
    EXPECT_EQ(cert->GetTextValue(u"k"), u"new");
    EXPECT_EQ(cert->GetNumberValue(3), 2u);
}

TEST_F(AuthBlocks, Auth2SectionLengths)
{
    // An unknown section between known ones is skipped by its declared length.
    {
        Auth2CertificateWriter w(Header());
        ASSERT_TRUE(w.AddNumberValue(1, 10));
        w.AddRawSection(77, Bytes{0, 3, 0, 0, 0, 0, 0, 0, 9, 9});
        ASSERT_TRUE(w.AddNumberValue(2, 20));
        const Auth2CertificatePtr cert = new Auth2Certificate(Issuer(0).IssueAuth2Certificate(w));
        ASSERT_TRUE(cert->IsValid());
        EXPECT_EQ(cert->GetNumberValue(1), 10u);
        EXPECT_EQ(cert->GetNumberValue(2), 20u);
        EXPECT_EQ(cert->GetNumberValues().size(), 2u);
    }
    // A section longer than its content: the extra bytes are not read.
    {
        Auth2CertificateWriter w(Header());
        const Bytes number = {1, 0, 0, 0, 7, 0, 0, 0, /* unread */ 3, 0, 8, 0};
        w.AddRawSection(3, number);
        ASSERT_TRUE(w.AddNumberValue(2, 20));
        const Auth2CertificatePtr cert = new Auth2Certificate(Issuer(0).IssueAuth2Certificate(w));
        ASSERT_TRUE(cert->IsValid());
        EXPECT_EQ(cert->GetNumberValues().size(), 2u);
        EXPECT_EQ(cert->GetNumberValue(1), 7u);
    }
    // Content that runs past the declared length makes the block unreadable,
    // even though the bytes are there.
    {
        Auth2CertificateWriter w(Header());
        const Bytes number = {1, 0, 0, 0, 7, 0, 0, 0};
        w.AddRawSection(3, number.data(), 8, 6);
        const SmartPtr<ByteBuffer> raw = CertIssuer::AppendSignature(w.Body().Get(), "sssssss", 7);
        EXPECT_FALSE(Auth2CertificatePtr(new Auth2Certificate(raw))->IsValid());
    }
    // A section count above the sections present.
    {
        Auth2CertificateWriter w(Header());
        ASSERT_TRUE(w.AddNumberValue(1, 10));
        w.SetSectionCount(2);
        EXPECT_FALSE(Auth2Parses(w));
    }
}

TEST_F(AuthBlocks, Auth2LengthLimits)
{
    // Data of 0x7FFF bytes is the largest allowed; 0x8000 is unreadable even
    // with every byte present.
    const Bytes big(0x8000, 0xA5);
    {
        Auth2CertificateWriter w(Header());
        ASSERT_TRUE(w.AddDataValue(1, big.data(), 0x7FFF));
        EXPECT_FALSE(w.AddDataValue(2, big.data(), 0x8000));
        const Auth2CertificatePtr cert = new Auth2Certificate(Issuer(0).IssueAuth2Certificate(w));
        ASSERT_TRUE(cert->IsValid());
        EXPECT_EQ(cert->GetDataValue(1)->GetLength(), 0x7FFFu);
    }
    {
        Bytes content(6 + big.size(), 0xA5);
        const uint8_t head[6] = {1, 0, 0, 0, 0x00, 0x80};
        std::copy(head, head + 6, content.begin());
        Auth2CertificateWriter w(Header());
        w.AddRawSection(1, content);
        EXPECT_FALSE(Auth2Parses(w));
    }
    // A wide string count of 0x8000 or more.
    for (uint16_t count : {uint16_t(0x8000), uint16_t(0xFFFF)})
    {
        Bytes content = {uint8_t(count), uint8_t(count >> 8)};
        content.resize(0xFFFF, 0x41);
        Auth2CertificateWriter w(Header());
        w.AddRawSection(2, content);
        EXPECT_FALSE(Auth2Parses(w)) << count;
    }
    // The signed part may take 65,535 bytes, not one more.
    for (uint32_t extra : {0u, 1u})
    {
        Auth2CertificateWriter w(Header());
        ASSERT_TRUE(w.AddDataValue(1, big.data(), 0x7FFF));
        ASSERT_TRUE(w.AddDataValue(2, big.data(), 32736 + extra));
        const SmartPtr<ByteBuffer> body = w.Body();
        ASSERT_EQ(body->GetLength(), 65535u + extra);
        const Auth2CertificatePtr cert = new Auth2Certificate(Issuer(0).Sign(body.Get()));
        EXPECT_EQ(cert->IsValid(), extra == 0);
        if (extra == 0)
        {
            EXPECT_EQ(cert->GetSignedLength(), 65535u);
            EXPECT_TRUE(cert->Verify(KeyOf(0)));
        }
    }
    {
        Auth2CertificateWriter w(Header());
        ASSERT_TRUE(w.AddDataValue(1, big.data(), 0x7FFF));
        ASSERT_TRUE(w.AddDataValue(2, big.data(), 0x7FFF));
        ASSERT_TRUE(w.AddDataValue(3, big.data(), 100));
        EXPECT_FALSE(Auth2Parses(w));
    }
}

TEST_F(AuthBlocks, PubKeyBlockRoundTripAndVerifyThroughAnyKey)
{
    const AuthPubKeyBlockPtr block = new AuthPubKeyBlock(MakeKeyBlock());
    ASSERT_TRUE(block->IsValid());
    EXPECT_EQ(block->GetBlockId(), 0x55AA);
    ASSERT_EQ(block->GetKeyCount(), 3u);
    EXPECT_TRUE(ByteBuffer::Equal(block->GetKeys()[1].getPublicKey().Get(), PublicKeyOf(2).Get()));
    EXPECT_TRUE(block->Verify(KeyOf(0)));
    EXPECT_FALSE(block->Verify(KeyOf(1)));

    // Certificates signed by the first, second or third key verify through the block.
    for (uint32_t signer : {1u, 2u, 4u})
    {
        const AuthCertificatePtr cert = new AuthCertificate(MakeCert(signer));
        EXPECT_TRUE(block->Verify(*cert)) << signer;
        const Auth2CertificatePtr cert2 = new Auth2Certificate(MakeAuth2(signer));
        EXPECT_TRUE(block->Verify(*cert2)) << signer;
    }
    // Keys outside the block do not.
    for (uint32_t signer : {0u, 3u, 5u})
        EXPECT_FALSE(block->Verify(*AuthCertificatePtr(new AuthCertificate(MakeCert(signer))))) << signer;

    // Either side invalid.
    EXPECT_FALSE(block->Verify(*AuthCertificatePtr(new AuthCertificate())));
    const AuthPubKeyBlockPtr invalid = new AuthPubKeyBlock();
    EXPECT_FALSE(invalid->Verify(*AuthCertificatePtr(new AuthCertificate(MakeCert(1)))));

    // A key count of 0.
    const SmartPtr<ByteBuffer> noKeys = CertIssuer::AppendSignature(WritePubKeyBlockBody(Header(), 1, {}).Get(), "s", 1);
    EXPECT_FALSE(AuthPubKeyBlockPtr(new AuthPubKeyBlock(noKeys))->IsValid());
}

TEST_F(AuthBlocks, IssuerWithGeneratedKeys)
{
    DLParams params;
    ASSERT_TRUE(KeyGen::LoadFixedParams(params, 1024));
    const SmartPtr<ElGamal> signing = KeyGen::GenerateKeyPair(params);
    ASSERT_TRUE(signing && signing->hasPrivateKey());
    const CertIssuerPtr issuer = new CertIssuer(*signing);
    ASSERT_TRUE(issuer->HasKey());

    // The generated key goes into a block next to a fixed one and signs a certificate.
    const AuthPubKeyBlockPtr block =
        new AuthPubKeyBlock(Issuer(0).IssuePubKeyBlock(Header(), 2, {PublicKeyOf(1), issuer->GetPublicKey()}));
    const AuthCertificatePtr cert = new AuthCertificate(issuer->IssueCertificate(Header(), 5, 6, 7, PublicKeyOf(3).Get()));
    ASSERT_TRUE(cert->IsValid());
    EXPECT_TRUE(block->Verify(*cert));

    // An issuer without a private key signs nothing.
    const CertIssuerPtr empty = new CertIssuer();
    EXPECT_FALSE(empty->HasKey());
    EXPECT_FALSE(empty->IssueCertificate(Header(), 1, 1, 1, PublicKeyOf(3).Get()));
    const CertIssuerPtr publicOnly = new CertIssuer(PublicKeyOf(1)->GetData(), PublicKeyOf(1)->GetLength());
    EXPECT_FALSE(publicOnly->HasKey());
    EXPECT_FALSE(publicOnly->Sign(PublicKeyOf(1).Get()));
}

TEST_F(AuthBlocks, TruncationsOfEveryLayout)
{
    const std::vector<SmartPtr<ByteBuffer>> blocks = {MakeCert(1), MakeAuth2(1), MakeKeyBlock()};
    for (size_t kind = 0; kind < blocks.size(); ++kind)
    {
        const Bytes full = ToBytes(blocks[kind].Get());
        const ElGamal verifier = KeyOf(kind == 2 ? 0 : 1);
        const AuthBasePtr whole = Parse(kind, full);
        ASSERT_TRUE(whole->IsValid());
        ASSERT_TRUE(whole->Verify(verifier));
        const uint32_t signedLength = whole->GetSignedLength();
        for (uint32_t len = 0; len < full.size(); ++len)
        {
            SCOPED_TRACE(testing::Message() << kind << " " << len);
            const AuthBasePtr cut = Parse(kind, Bytes(full.begin(), full.begin() + len));
            // Cut in the signed part: invalid. Cut in the signature: parses, fails to verify.
            EXPECT_EQ(cut->IsValid(), len > signedLength);
            if (len > signedLength)
            {
                EXPECT_EQ(cut->GetSignedLength(), signedLength);
            }
            if (len + 1 == full.size() || len == signedLength + 1)
            {
                EXPECT_FALSE(cut->Verify(verifier));
            }
        }
    }
}

TEST_F(AuthBlocks, CheckAccess)
{
    const AuthCertificatePtr cert = new AuthCertificate(MakeCert(1));       // user 77, community 5, trust 3
    const Auth2CertificatePtr cert2 = new Auth2Certificate(MakeAuth2(1));   // user 1234, {7:10, 3:2}
    struct Case { const AuthCertificateBase* cert; uint32_t user, community; uint16_t trust; bool expected; };
    const Case cases[] = {
        {cert.Get(), 0, 0, 0, true},      {cert.Get(), 77, 5, 3, true},    {cert.Get(), 77, 5, 4, false},
        {cert.Get(), 78, 0, 0, false},    {cert.Get(), 0, 6, 0, false},    {cert2.Get(), 0, 0, 0, true},
        {cert2.Get(), 1234, 7, 10, true}, {cert2.Get(), 1234, 7, 11, false}, {cert2.Get(), 0, 3, 2, true},
        {cert2.Get(), 0, 3, 3, false},    {cert2.Get(), 0, 8, 0, false},   {cert2.Get(), 0, 0, 10, true},
        {cert2.Get(), 0, 0, 11, false},   {cert2.Get(), 1, 0, 0, false},
    };
    // Called through the base class, so the derived check must be dispatched to.
    for (const Case& c : cases)
        EXPECT_EQ(c.cert->CheckAccess(c.user, c.community, c.trust), c.expected)
            << c.user << " " << c.community << " " << c.trust;
}

TEST_F(AuthBlocks, Expiry)
{
    const uint32_t now = GetTimeSeconds();
    auto certExpiring = [&](uint32_t expiry) {
        AuthBlockHeader h;
        h.mIssueTime = now;
        h.mExpiryTime = expiry;
        return AuthCertificatePtr(new AuthCertificate(Issuer(1).IssueCertificate(h, 1, 1, 1, PublicKeyOf(3).Get())));
    };
    struct Case { uint32_t expiry; int32_t lead; bool expired; };
    const Case cases[] = {
        {now, 0, true}, {now - 1, 0, true}, {now + 100, 0, false}, {now + 100, 90, false},
        {now + 100, 100, true}, {now - 10, -20, false},
        // Extreme leads do not wrap.
        {0xFFFFFFFFu, 0, false}, {0xFFFFFFFFu, INT32_MAX, false}, {now + 5, INT32_MAX, true}, {now, INT32_MIN, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(certExpiring(c.expiry)->IsExpired(c.lead), c.expired) << c.expiry - now << " " << c.lead;
}

// Bounded random mutations: every result is a valid or an invalid block, and
// a valid one keeps its signed part within its bytes.
TEST_F(AuthBlocks, RandomMutationsNeverBreakTheParsers)
{
    const std::vector<SmartPtr<ByteBuffer>> blocks = {MakeCert(1), MakeAuth2(1), MakeKeyBlock()};
    std::mt19937 rng(20261206);
    const ElGamal verifier = KeyOf(1);
    int validCount = 0;
    for (size_t kind = 0; kind < blocks.size(); ++kind)
    {
        const Bytes original = ToBytes(blocks[kind].Get());
        for (int round = 0; round < 700; ++round)
        {
            Bytes b = original;
            const int edits = 1 + static_cast<int>(rng() % 4);
            for (int e = 0; e < edits && !b.empty(); ++e)
            {
                const size_t pos = rng() % b.size();
                switch (rng() % 5)
                {
                case 0: b[pos] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
                case 1: b[pos] = static_cast<uint8_t>(rng()); break;
                case 2: b.resize(pos); break;
                case 3: b.insert(b.begin() + static_cast<long>(pos), static_cast<uint8_t>(rng())); break;
                default: b[pos] = (rng() & 1) ? 0xFF : 0x80; break;
                }
            }
            for (int parser = 0; parser < 3; ++parser)
            {
                const AuthBasePtr block = Parse(static_cast<size_t>(parser), b);
                if (block->IsValid())
                {
                    ++validCount;
                    EXPECT_LT(block->GetSignedLength(), block->GetRawLength());
                    EXPECT_EQ(block->GetSignatureLength(), block->GetRawLength() - block->GetSignedLength());
                    if (parser == 0 && round % 16 == 0)
                        block->Verify(verifier);
                }
            }
        }
    }
    EXPECT_GT(validCount, 0);
}

} // namespace
