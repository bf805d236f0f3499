// ElGamal keys, block encryption and signatures; the signature check is
// redone here with GMP, and malformed keys, ciphertexts and signatures are
// fed in by bounded random mutation.
#include "QORCrypt/DerWriter.h"
#include "QORCrypt/ElGamal.h"
#include "QORCrypt/MD5.h"
#include "service/KeyGen.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

using namespace QORAPI;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int kScale = 4;
#else
const int kScale = 1;
#endif

uint32_t Len(const std::vector<uint8_t>& v) { return static_cast<uint32_t>(v.size()); }

std::vector<uint8_t> Bytes(const SmartPtr<ByteBuffer>& buf)
{
    return std::vector<uint8_t>(ByteBuffer::DataOf(buf), ByteBuffer::DataOf(buf) + ByteBuffer::LengthOf(buf));
}

// One private key per size, built once from the fixed parameters.
SmartPtr<ElGamal> TestKey(uint32_t pBits)
{
    static SmartPtr<ElGamal> keys[2];
    SmartPtr<ElGamal>& key = keys[pBits == 2048 ? 1 : 0];
    if (!key)
    {
        DLParams params;
        EXPECT_TRUE(KeyGen::LoadFixedParams(params, pBits));
        Randomizer random(std::vector<uint8_t>{static_cast<uint8_t>(pBits >> 8), 1});
        key = KeyGen::GenerateKeyPair(params, random);
    }
    return key;
}

SmartPtr<ElGamal> PublicOnly(const SmartPtr<ElGamal>& key)
{
    SmartPtr<ByteBuffer> pub = key->getPublicKey();
    SmartPtr<ElGamal> out(new ElGamal);
    EXPECT_TRUE(out->setPublicKey(pub->GetData(), pub->GetLength()));
    return out;
}

struct Mpz
{
    Mpz() { mpz_init(v); }
    explicit Mpz(const BigInteger& b) : Mpz()
    {
        std::vector<uint8_t> bytes;
        b.toBinary(bytes);
        mpz_import(v, bytes.size(), 1, 1, 1, 0, bytes.data());
    }
    Mpz(const uint8_t* data, size_t n) : Mpz() { mpz_import(v, n, 1, 1, 1, 0, data); }
    ~Mpz() { mpz_clear(v); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    mpz_t v;
};

// The signature check written out with GMP: h from the MD5 digest, then
// ((g^s · y^r mod p) + h) mod p mod q must equal r.
bool GmpVerify(const ElGamal& key, const std::vector<uint8_t>& data, const std::vector<uint8_t>& sig)
{
    const size_t qb = key.GetQ().byteLength();
    const size_t qbits = key.GetQ().bitLength();
    if (sig.size() != 2 * qb)
        return false;
    MD5 md5;
    const MD5Digest d = md5.digest(data);
    Mpz p(key.GetP()), q(key.GetQ()), g(key.GetG()), y(key.GetY());
    Mpz r(sig.data(), qb), s(sig.data() + qb, qb), h, t, u;
    if (qbits <= 128)
    {
        mpz_import(h.v, qb, 1, 1, 1, 0, d.data());
        mpz_tdiv_q_2exp(h.v, h.v, 8 * qb - qbits + 1);
    }
    else
        mpz_import(h.v, 16, 1, 1, 1, 0, d.data());
    if (mpz_sgn(r.v) == 0)
        return false;
    mpz_powm(t.v, g.v, s.v, p.v);
    mpz_powm(u.v, y.v, r.v, p.v);
    mpz_mul(t.v, t.v, u.v);
    mpz_mod(t.v, t.v, p.v);
    mpz_add(t.v, t.v, h.v);
    mpz_mod(t.v, t.v, p.v);
    mpz_mod(t.v, t.v, q.v);
    return mpz_cmp(t.v, r.v) == 0;
}

std::vector<uint8_t> Mutate(std::vector<uint8_t> v, std::mt19937& rng)
{
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits; ++i)
    {
        const uint32_t kind = rng() % 6;
        const size_t pos = v.empty() ? 0 : rng() % v.size();
        switch (kind)
        {
        case 0:
            if (!v.empty())
                v[pos] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
        case 1:
            if (!v.empty())
                v[pos] = static_cast<uint8_t>(rng());
            break;
        case 2:
            v.resize(v.empty() ? 0 : rng() % v.size());
            break;
        case 3:
            v.insert(v.begin() + static_cast<long>(pos), static_cast<uint8_t>(rng()));
            break;
        case 4:
            if (!v.empty())
                v[pos] = static_cast<uint8_t>(0x80 | (rng() % 4));   // long length forms
            break;
        default:
            if (!v.empty())
                v[pos] = 0xFF;
            break;
        }
    }
    return v;
}

} // namespace

TEST(ElGamalKeys, FixedParametersAreSound)
{
    Randomizer random(std::vector<uint8_t>{7});
    for (uint32_t bits : {1024u, 2048u})
    {
        DLParams params;
        ASSERT_TRUE(KeyGen::LoadFixedParams(params, bits));
        EXPECT_EQ(params.p.bitLength(), bits);
        EXPECT_EQ(params.q.bitLength(), bits == 1024 ? 160u : 256u);
        Mpz p(params.p), q(params.q), g(params.g), t;
        EXPECT_GT(mpz_probab_prime_p(p.v, 30), 0);
        EXPECT_GT(mpz_probab_prime_p(q.v, 30), 0);
        mpz_sub_ui(t.v, p.v, 1);
        EXPECT_TRUE(mpz_divisible_p(t.v, q.v));
        mpz_powm(t.v, g.v, q.v, p.v);
        EXPECT_EQ(mpz_cmp_ui(t.v, 1), 0);
        EXPECT_GT(mpz_cmp_ui(g.v, 1), 0);
        EXPECT_TRUE(KeyGen::CheckParams(params, random));
    }
    DLParams none;
    EXPECT_FALSE(KeyGen::LoadFixedParams(none, 1536));
}

TEST(ElGamalKeys, GeneratedParametersAndPrimality)
{
    Randomizer random(std::vector<uint8_t>{8});
    DLParams params;
    ASSERT_TRUE(KeyGen::GenerateParams(params, 1024, 160, random));
    EXPECT_EQ(params.p.bitLength(), 1024u);
    EXPECT_EQ(params.q.bitLength(), 160u);
    EXPECT_TRUE(KeyGen::CheckParams(params, random));
    EXPECT_FALSE(KeyGen::GenerateParams(params, 1020, 160, random));
    EXPECT_FALSE(KeyGen::GenerateParams(params, 1024, 1020, random));

    // Primality against GMP, including Carmichael numbers and small cases.
    for (const char* composite : {"561", "41041", "825265", "321197185", "5394826801", "1", "0", "4"})
        EXPECT_FALSE(KeyGen::IsProbablePrime(BigInteger(composite), random)) << composite;
    for (const char* prime : {"2", "3", "1999", "2003", "1000000007", "170141183460469231731687303715884105727"})
        EXPECT_TRUE(KeyGen::IsProbablePrime(BigInteger(prime), random)) << prime;
    std::mt19937 rng(3);
    for (int i = 0; i < 200 / kScale; ++i)
    {
        std::vector<uint8_t> bytes(1 + rng() % 24);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(rng());
        bytes.back() |= 1;
        const BigInteger n(bytes);
        Mpz m(n);
        EXPECT_EQ(KeyGen::IsProbablePrime(n, random), mpz_probab_prime_p(m.v, 30) > 0) << n.toDecimal();
    }

    // A key pair over generated parameters: y = g^x mod p with 0 < x < q.
    SmartPtr<ElGamal> key = KeyGen::GenerateKeyPair(params, random);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->hasPrivateKey());
    EXPECT_FALSE(key->GetX().IsZero());
    EXPECT_LT(key->GetX(), params.q);
    EXPECT_EQ(params.g.modExp(key->GetX(), params.p), key->GetY());
}

TEST(ElGamalKeys, DerForms)
{
    SmartPtr<ElGamal> key = TestKey(2048);
    ASSERT_TRUE(key);
    const std::vector<uint8_t> priv = Bytes(key->getPrivateKey());
    const std::vector<uint8_t> pub = Bytes(key->getPublicKey());
    // 2048-bit p: the INTEGER is 256 or 257 bytes, so it takes the 0x82 form.
    ASSERT_GT(pub.size(), 4u);
    EXPECT_EQ(pub[0], 0x30);
    EXPECT_EQ(pub[1], 0x82);
    EXPECT_EQ(pub[4], 0x02);
    EXPECT_EQ(pub[5], 0x82);
    EXPECT_EQ((pub[2] << 8 | pub[3]) + 4u, pub.size());

    ElGamal loaded;
    ASSERT_TRUE(loaded.setPrivateKey(priv.data(), Len(priv)));
    EXPECT_TRUE(loaded.hasPrivateKey());
    EXPECT_TRUE(loaded.hasPublicKey());
    EXPECT_EQ(Bytes(loaded.getPrivateKey()), priv);
    EXPECT_EQ(loaded.GetModulusLength(), 256);
    ASSERT_TRUE(loaded.setPublicKey(pub.data(), Len(pub)));
    EXPECT_FALSE(loaded.hasPrivateKey());
    EXPECT_FALSE(loaded.getPrivateKey());
    EXPECT_EQ(Bytes(loaded.getPublicKey()), pub);
    // A public key is not a private key; a failed load leaves nothing behind.
    EXPECT_FALSE(loaded.setPrivateKey(pub.data(), Len(pub)));
    EXPECT_FALSE(loaded.hasPublicKey());
    EXPECT_FALSE(loaded.getPublicKey());
    // Trailing bytes are ignored.
    std::vector<uint8_t> longer = pub;
    longer.push_back(0xEE);
    EXPECT_TRUE(loaded.setPublicKey(longer.data(), Len(longer)));
}

TEST(ElGamalKeys, LengthFormsOnLoading)
{
    // SEQUENCE { 0x81-form p = 251, q = 5, g = 2, y = 3 }, by hand.
    std::vector<uint8_t> key = {0x30, 0x0D, 0x02, 0x81, 0x01, 0xFB, 0x02, 0x01, 0x05,
                                0x02, 0x01, 0x02, 0x02, 0x01, 0x03};
    ElGamal k;
    EXPECT_TRUE(k.setPublicKey(key.data(), Len(key)));
    EXPECT_EQ(k.GetP(), BigInteger(251));
    EXPECT_EQ(k.GetModulusLength(), 1);
    // A modulus this small cannot carry a block; encryption refuses, decryption too.
    EXPECT_FALSE(k.encrypt("a", 1));

    // 0x82 with leading zero byte, and a leading zero content byte.
    std::vector<uint8_t> k82 = {0x30, 0x10, 0x02, 0x82, 0x00, 0x02, 0x00, 0xFB, 0x02, 0x01, 0x05,
                                0x02, 0x01, 0x02, 0x02, 0x01, 0x03};
    EXPECT_TRUE(k.setPublicKey(k82.data(), Len(k82)));
    EXPECT_EQ(k.GetP(), BigInteger(251));

    std::vector<uint8_t> k83 = {0x30, 0x0F, 0x02, 0x83, 0x00, 0x00, 0x01, 0xFB, 0x02, 0x01, 0x05,
                                0x02, 0x01, 0x02, 0x02, 0x01, 0x03};
    EXPECT_FALSE(k.setPublicKey(k83.data(), Len(k83)));
    EXPECT_FALSE(k.hasPublicKey());

    // Wrong tags, zero modulus, truncation, a declared length past the end.
    std::vector<uint8_t> bad;
    for (const auto& edit : {std::make_pair(0, 0x31), std::make_pair(6, 0x03), std::make_pair(5, 0x00)})
    {
        bad = key;
        bad[edit.first] = static_cast<uint8_t>(edit.second);
        EXPECT_FALSE(k.setPublicKey(bad.data(), Len(bad))) << edit.first;
    }
    for (size_t n = 0; n < key.size(); ++n)
        EXPECT_FALSE(k.setPublicKey(key.data(), static_cast<uint32_t>(n))) << n;
    bad = {0x30, 0x82, 0xFF, 0xFF, 0x02, 0x82, 0xFF, 0xFF, 0x01};
    EXPECT_FALSE(k.setPublicKey(bad.data(), Len(bad)));
    EXPECT_FALSE(k.setPublicKey(nullptr, 100));

    // DerWriter length forms.
    std::vector<uint8_t> out;
    for (uint32_t n : {127u, 128u, 255u, 256u, 65535u})
        EXPECT_TRUE(DerWriter::WriteLength(out, n)) << n;
    EXPECT_FALSE(DerWriter::WriteLength(out, 65536));
    EXPECT_EQ(out, (std::vector<uint8_t>{0x7F, 0x81, 0x80, 0x81, 0xFF, 0x82, 0x01, 0x00, 0x82, 0xFF, 0xFF}));
}

TEST(ElGamalCrypt, RoundTripsBothSizes)
{
    std::mt19937 rng(11);
    for (uint32_t bits : {1024u, 2048u})
    {
        SmartPtr<ElGamal> key = TestKey(bits);
        ASSERT_TRUE(key);
        SmartPtr<ElGamal> pub = PublicOnly(key);
        const uint32_t L = bits / 8, c = L - 3;
        for (uint32_t n : {0u, 1u, c - 1, c, c + 1, 2 * c, 2 * c + 7, 3 * c + 1})
        {
            std::vector<uint8_t> data(n);
            for (auto& b : data)
                b = static_cast<uint8_t>(rng());
            if (n > 3)
                data[0] = data[1] = data[2] = 0;   // leading zero bytes survive
            SmartPtr<ByteBuffer> ct = pub->encrypt(data.data(), n);
            ASSERT_TRUE(ct);
            const uint32_t blocks = (n + c - 1) / c;
            ASSERT_EQ(ct->GetLength(), 4 + blocks * 2 * L);
            SmartPtr<ByteBuffer> pt = key->decrypt(ct->GetData(), ct->GetLength());
            ASSERT_TRUE(pt);
            EXPECT_EQ(Bytes(pt), data) << bits << "/" << n;
        }
        // A public key cannot decrypt or sign.
        SmartPtr<ByteBuffer> ct = pub->encrypt("abc", 3);
        EXPECT_FALSE(pub->decrypt(ct->GetData(), ct->GetLength()));
        EXPECT_FALSE(pub->sign("abc", 3));
        ElGamal empty;
        EXPECT_FALSE(empty.encrypt("abc", 3));
        EXPECT_FALSE(empty.verify("abc", 3, "xx", 2));
    }
}

TEST(ElGamalCrypt, BlockLayoutAndRejections)
{
    SmartPtr<ElGamal> key = TestKey(1024);
    ASSERT_TRUE(key);
    SmartPtr<ByteBuffer> ct = key->encrypt(nullptr, 0);
    ASSERT_TRUE(ct);
    EXPECT_EQ(Bytes(ct), (std::vector<uint8_t>{0, 0, 0, 0}));
    SmartPtr<ByteBuffer> pt = key->decrypt(ct->GetData(), ct->GetLength());
    ASSERT_TRUE(pt);
    EXPECT_EQ(pt->GetLength(), 0u);

    std::vector<uint8_t> data(126, 0x5A);
    EXPECT_EQ(ByteBuffer::LengthOf(key->encrypt(data.data(), 125)), 4u + 256u);
    std::vector<uint8_t> two = Bytes(key->encrypt(data.data(), 126));
    EXPECT_EQ(two.size(), 4u + 512u);
    EXPECT_EQ(two[0], 2);

    // Short ciphertexts for the count, a count of zero or below, too-short input.
    EXPECT_FALSE(key->decrypt(two.data(), static_cast<uint32_t>(two.size() - 1)));
    EXPECT_FALSE(key->decrypt(two.data(), 3));
    std::vector<uint8_t> neg = two;
    neg[3] = 0x80;
    pt = key->decrypt(neg.data(), Len(neg));
    ASSERT_TRUE(pt);
    EXPECT_EQ(pt->GetLength(), 0u);
    std::vector<uint8_t> huge = two;
    huge[0] = 0xFF;
    huge[1] = 0xFF;
    huge[2] = 0xFF;
    huge[3] = 0x7F;
    EXPECT_FALSE(key->decrypt(huge.data(), Len(huge)));
    // Fewer blocks than present: the extra bytes are not read.
    std::vector<uint8_t> one = two;
    one[0] = 1;
    pt = key->decrypt(one.data(), Len(one));
    ASSERT_TRUE(pt);
    EXPECT_EQ(pt->GetLength(), 125u);

    // Same data twice: different ciphertexts (fresh ephemeral keys).
    EXPECT_NE(Bytes(key->encrypt(data.data(), 10)), Bytes(key->encrypt(data.data(), 10)));
}

TEST(ElGamalSign, SignaturesVerifyHereAndWithGmp)
{
    std::mt19937 rng(5);
    for (uint32_t bits : {1024u, 2048u})
    {
        SmartPtr<ElGamal> key = TestKey(bits);
        ASSERT_TRUE(key);
        SmartPtr<ElGamal> pub = PublicOnly(key);
        const uint32_t qb = key->GetQ().byteLength();
        for (int i = 0; i < 12 / kScale + 2; ++i)
        {
            std::vector<uint8_t> data(rng() % 300);
            for (auto& b : data)
                b = static_cast<uint8_t>(rng());
            const std::vector<uint8_t> s1 = Bytes(key->sign(data.data(), Len(data)));
            const std::vector<uint8_t> s2 = Bytes(key->sign(data.data(), Len(data)));
            ASSERT_EQ(s1.size(), 2 * qb);
            EXPECT_NE(s1, s2);
            EXPECT_TRUE(pub->verify(data.data(), Len(data), s1.data(), 2 * qb));
            EXPECT_TRUE(pub->verify(data.data(), Len(data), s2.data(), 2 * qb));
            EXPECT_TRUE(GmpVerify(*key, data, s1));
            EXPECT_TRUE(GmpVerify(*key, data, s2));

            // Other data, other lengths, r = 0.
            std::vector<uint8_t> other = data;
            other.push_back(1);
            EXPECT_FALSE(pub->verify(other.data(), Len(other), s1.data(), 2 * qb));
            std::vector<uint8_t> longer = s1;
            longer.push_back(0);
            EXPECT_FALSE(pub->verify(data.data(), Len(data), longer.data(), 2 * qb + 1));
            EXPECT_FALSE(pub->verify(data.data(), Len(data), s1.data(), 2 * qb - 1));
            std::vector<uint8_t> zeroR = s1;
            std::fill(zeroR.begin(), zeroR.begin() + qb, 0);
            EXPECT_FALSE(pub->verify(data.data(), Len(data), zeroR.data(), 2 * qb));
        }
    }
}

TEST(ElGamalFuzz, MutatedKeysNeverCrash)
{
    std::mt19937 rng(21);
    SmartPtr<ElGamal> key = TestKey(1024);
    ASSERT_TRUE(key);
    const std::vector<uint8_t> priv = Bytes(key->getPrivateKey());
    const std::vector<uint8_t> pub = Bytes(key->getPublicKey());
    int loaded = 0;
    for (int i = 0; i < 3000 / kScale; ++i)
    {
        const std::vector<uint8_t> m = Mutate(i % 2 ? priv : pub, rng);
        ElGamal k;
        const bool ok = i % 3 ? k.setPrivateKey(m.data(), Len(m)) : k.setPublicKey(m.data(), Len(m));
        EXPECT_EQ(ok, k.hasPublicKey());
        if (!ok)
            continue;
        ++loaded;
        // Whatever loaded writes back and reloads to the same numbers.
        SmartPtr<ByteBuffer> again = k.getPublicKey();
        ASSERT_TRUE(again);
        ElGamal k2;
        ASSERT_TRUE(k2.setPublicKey(again->GetData(), again->GetLength()));
        EXPECT_EQ(k2.GetY(), k.GetY());
        if (k.GetP().bitLength() <= 1100 && k.GetQ().bitLength() <= 1100 && i % 10 == 0)
        {
            const uint8_t sig[40] = {1};
            k.verify("abc", 3, sig, 40);
            SmartPtr<ByteBuffer> ct = k.encrypt("abc", 3);
            if (ct && k.hasPrivateKey())
                k.decrypt(ct->GetData(), ct->GetLength());
            if (k.hasPrivateKey())
                k.sign("abc", 3);
        }
    }
    EXPECT_GT(loaded, 0);
}

TEST(ElGamalFuzz, MutatedCiphertextsAndSignatures)
{
    std::mt19937 rng(22);
    SmartPtr<ElGamal> key = TestKey(1024);
    ASSERT_TRUE(key);
    const std::vector<uint8_t> data(300, 0x33);
    const std::vector<uint8_t> ct = Bytes(key->encrypt(data.data(), Len(data)));
    const std::vector<uint8_t> sig = Bytes(key->sign(data.data(), Len(data)));
    ASSERT_TRUE(key->verify(data.data(), Len(data), sig.data(), Len(sig)));
    for (int i = 0; i < 400 / kScale; ++i)
    {
        const std::vector<uint8_t> m = Mutate(ct, rng);
        SmartPtr<ByteBuffer> pt = key->decrypt(m.data(), Len(m));
        if (pt)
        {
            EXPECT_LE(pt->GetLength(), 3u * 125u);
        }
        const std::vector<uint8_t> s = Mutate(sig, rng);
        if (s != sig)
        {
            EXPECT_FALSE(key->verify(data.data(), Len(data), s.data(), Len(s)));
        }
    }
    // Random garbage of every small length.
    for (uint32_t n = 0; n < 600; n += 7)
    {
        std::vector<uint8_t> junk(n);
        for (auto& b : junk)
            b = static_cast<uint8_t>(rng());
        key->decrypt(junk.data(), n);
        EXPECT_FALSE(key->verify(data.data(), 10, junk.data(), n));
    }
}

TEST(ElGamalKeys, CopiesDoNotShareRandomness)
{
    SmartPtr<ElGamal> key = TestKey(1024);
    ASSERT_TRUE(key);
    ElGamal a(*key), b(*key);
    const std::vector<uint8_t> sa = Bytes(a.sign("same", 4));
    const std::vector<uint8_t> sb = Bytes(b.sign("same", 4));
    ASSERT_FALSE(sa.empty());
    EXPECT_NE(sa, sb);
}
