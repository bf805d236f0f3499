#include "QORCrypt/ElGamal.h"

#include "QORCrypt/DerReader.h"
#include "QORCrypt/DerWriter.h"
#include "QORCrypt/MD5.h"
#include "common/Endian.h"

#include <cstring>
#include <vector>

namespace QORAPI {

namespace {
// Bounds on the retry loops, so a malformed key cannot keep them spinning.
const int kMaxEphemeralTries = 1000;
const int kMaxSignTries = 64;
// Blocks need room for at least one data byte and the count byte.
const int32_t kMinModulusLength = 4;
// Keys larger than this are refused on loading, so that a hostile key cannot
// tie a thread up in arithmetic on enormous numbers.
const uint32_t kMaxKeyBits = 8192;
} // namespace

ElGamal::ElGamal() {}

ElGamal::ElGamal(const void* key, uint32_t length, bool isPrivate)
{
    Load(key, length, isPrivate);
}

ElGamal::ElGamal(const ElGamal& other)
    : RefCount(), mP(other.mP), mQ(other.mQ), mG(other.mG), mY(other.mY), mX(other.mX), mRecip(other.mRecip),
      mRecipCount(other.mRecipCount), mModulusLength(other.mModulusLength), mHasPrivate(other.mHasPrivate),
      mHasPublic(other.mHasPublic)
{
    // mRandom is freshly seeded: two keys must never share ephemeral exponents.
}

ElGamal& ElGamal::operator=(const ElGamal& other)
{
    if (this != &other)
    {
        mP = other.mP;
        mQ = other.mQ;
        mG = other.mG;
        mY = other.mY;
        mX = other.mX;
        mRecip = other.mRecip;
        mRecipCount = other.mRecipCount;
        mModulusLength = other.mModulusLength;
        mHasPrivate = other.mHasPrivate;
        mHasPublic = other.mHasPublic;
    }
    return *this;
}

void ElGamal::Clear()
{
    mHasPrivate = false;
    mHasPublic = false;
    mP = 0;
    mQ = 0;
    mG = 0;
    mY = 0;
    mX = 0;
    mRecip = 0;
    mRecipCount = 0;
    mModulusLength = 0;
}

bool ElGamal::Load(const void* key, uint32_t length, bool isPrivate)
{
    Clear();
    if (key == nullptr)
        return false;
    DerReader reader(key, length);
    BigInteger p, q, g, y, x;
    if (!reader.ReadSequenceHeader() || !reader.ReadInteger(p) || !reader.ReadInteger(q) ||
        !reader.ReadInteger(g) || !reader.ReadInteger(y))
        return false;
    if (isPrivate && !reader.ReadInteger(x))
        return false;
    if (p.IsZero() || p.bitLength() > kMaxKeyBits || q.bitLength() > kMaxKeyBits || g.bitLength() > kMaxKeyBits ||
        y.bitLength() > kMaxKeyBits || x.bitLength() > kMaxKeyBits)
        return false;
    try
    {
        mRecipCount = BigInteger::computeRecip(mRecip, p);
    }
    catch (const ArithmeticException&)
    {
        Clear();
        return false;
    }
    mP = std::move(p);
    mQ = std::move(q);
    mG = std::move(g);
    mY = std::move(y);
    mX = std::move(x);
    mModulusLength = static_cast<int32_t>(mP.bitLength() / 8);
    mHasPublic = true;
    mHasPrivate = isPrivate;
    return true;
}

bool ElGamal::setPublicKey(const void* key, uint32_t length)
{
    return Load(key, length, false);
}

bool ElGamal::setPrivateKey(const void* key, uint32_t length)
{
    return Load(key, length, true);
}

SmartPtr<ByteBuffer> ElGamal::getPublicKey() const
{
    if (!mHasPublic)
        return nullptr;
    DerWriter writer;
    writer.WriteInteger(mP);
    writer.WriteInteger(mQ);
    writer.WriteInteger(mG);
    writer.WriteInteger(mY);
    return writer.FinishSequence();
}

SmartPtr<ByteBuffer> ElGamal::getPrivateKey() const
{
    if (!mHasPrivate)
        return nullptr;
    DerWriter writer;
    writer.WriteInteger(mP);
    writer.WriteInteger(mQ);
    writer.WriteInteger(mG);
    writer.WriteInteger(mY);
    writer.WriteInteger(mX);
    return writer.FinishSequence();
}

void ElGamal::WriteFixed(uint8_t* out, uint32_t n, const BigInteger& v)
{
    std::vector<uint8_t> bytes;
    v.toBinary(bytes);
    if (bytes.size() >= n)
        std::memcpy(out, bytes.data() + (bytes.size() - n), n);
    else
    {
        const size_t pad = n - bytes.size();
        std::memset(out, 0, pad);
        std::memcpy(out + pad, bytes.data(), bytes.size());
    }
}

SmartPtr<ByteBuffer> ElGamal::encrypt(const void* data, uint32_t length)
{
    // Below 4 bytes of modulus a block holds no data; a modulus whose bit
    // length is not a multiple of 8 would lose the top byte of a or b.
    if (!mHasPublic || mModulusLength < kMinModulusLength || mP.bitLength() % 8 != 0 ||
        (length > 0 && data == nullptr))
        return nullptr;
    const uint32_t L = static_cast<uint32_t>(mModulusLength);
    const uint32_t chunk = L - 3;
    const uint64_t blocks = (static_cast<uint64_t>(length) + chunk - 1) / chunk;
    const uint64_t total = 4 + blocks * 2 * L;
    if (total > 0xFFFFFFFFull)
        return nullptr;

    const uint8_t* in = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> out(static_cast<size_t>(total));
    StoreLE32(out.data(), static_cast<uint32_t>(blocks));
    std::vector<uint8_t> block(L - 1);
    try
    {
        BigInteger pMinus1 = mP - BigInteger::One();
        BigInteger m, k, gcd, a, b, t;
        const uint32_t kBits = mP.bitLength() - 1;
        uint32_t pos = 0;
        for (uint64_t i = 0; i < blocks; ++i)
        {
            const uint32_t count = length - pos < chunk ? length - pos : chunk;
            std::fill(block.begin(), block.end(), 0);
            std::memcpy(block.data() + (L - 2 - count), in + pos, count);
            block[L - 2] = static_cast<uint8_t>(count);
            pos += count;
            m.fromBinary(block.data(), block.size());

            int tries = 0;
            for (;;)
            {
                if (++tries > kMaxEphemeralTries)
                    return nullptr;
                k = BigInteger(kBits, mRandom);
                if (k.IsZero())
                    continue;
                k.setBit(0);
                BigInteger::gcd(gcd, k, pMinus1);
                if (gcd == BigInteger::One())
                    break;
            }
            BigInteger::modExp(a, mG, k, mP, mRecip, mRecipCount);
            BigInteger::modExp(t, mY, k, mP, mRecip, mRecipCount);
            BigInteger::modMulRecip(b, t, m, mP, mRecip, mRecipCount);
            uint8_t* dst = out.data() + 4 + i * 2 * L;
            WriteFixed(dst, L, a);
            WriteFixed(dst + L, L, b);
        }
    }
    catch (const ArithmeticException&)
    {
        return nullptr;
    }
    return SmartPtr<ByteBuffer>(new ByteBuffer(out.data(), static_cast<uint32_t>(out.size())));
}

SmartPtr<ByteBuffer> ElGamal::decrypt(const void* data, uint32_t length) const
{
    if (!mHasPrivate || mModulusLength < kMinModulusLength || data == nullptr || length < 4)
        return nullptr;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    const int32_t blocks = static_cast<int32_t>(LoadLE32(in));
    if (blocks <= 0)
        return SmartPtr<ByteBuffer>(new ByteBuffer(nullptr, 0));
    const uint32_t L = static_cast<uint32_t>(mModulusLength);
    if (static_cast<uint64_t>(length - 4) < static_cast<uint64_t>(blocks) * 2 * L)
        return nullptr;

    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(blocks) * (L - 3));
    std::vector<uint8_t> mBytes;
    try
    {
        BigInteger a, b, t, inv, m;
        for (int32_t i = 0; i < blocks; ++i)
        {
            const uint8_t* src = in + 4 + static_cast<size_t>(i) * 2 * L;
            a.fromBinary(src, L);
            b.fromBinary(src + L, L);
            BigInteger::modExp(t, a, mX, mP, mRecip, mRecipCount);
            BigInteger::inverseModN(inv, t, mP);
            BigInteger::modMulRecip(m, b, inv, mP, mRecip, mRecipCount);

            // m as L - 1 big-endian bytes; the last is the data count.
            std::vector<uint8_t> block(L - 1);
            WriteFixed(block.data(), L - 1, m);
            const uint32_t count = block[L - 2];
            if (count > L - 3)
                return nullptr;
            out.insert(out.end(), block.begin() + (L - 2 - count), block.begin() + (L - 2));
        }
    }
    catch (const ArithmeticException&)
    {
        return nullptr;
    }
    return SmartPtr<ByteBuffer>(new ByteBuffer(out.data(), static_cast<uint32_t>(out.size())));
}

BigInteger ElGamal::DigestToInteger(const void* data, uint32_t length) const
{
    MD5 md5;
    const MD5Digest d = md5.digest(data, length);
    const uint32_t qb = mQ.byteLength();
    const uint32_t qbits = mQ.bitLength();
    if (128 >= qbits)
    {
        BigInteger h(d.data(), qb);
        h >>= 8 * qb - qbits + 1;
        return h;
    }
    return BigInteger(d.data(), d.size());
}

SmartPtr<ByteBuffer> ElGamal::sign(const void* data, uint32_t length)
{
    if (!mHasPrivate || (length > 0 && data == nullptr))
        return nullptr;
    // k is drawn from [2, q - 2]: q must leave room for it.
    if (mQ < BigInteger(5))
        return nullptr;
    const uint32_t qb = mQ.byteLength();
    try
    {
        const BigInteger h = DigestToInteger(data, length);
        const BigInteger qMinus4 = mQ - BigInteger(4);
        const uint32_t kBits = qMinus4.bitLength();
        const BigInteger two(2);
        BigInteger k, t, r, s, xr;
        for (int tries = 0; tries < kMaxSignTries; ++tries)
        {
            do
                k = BigInteger(kBits, mRandom);
            while (k > qMinus4);
            BigInteger::add(k, k, two);

            BigInteger::modExp(t, mG, k, mP, mRecip, mRecipCount);
            BigInteger::add(t, t, h);
            BigInteger::mod(t, t, mP);
            BigInteger::mod(r, t, mQ);
            if (r.IsZero())
                continue;
            BigInteger::mul(xr, mX, r);
            BigInteger::sub(t, k, xr);
            BigInteger::mod(s, t, mQ);

            std::vector<uint8_t> sig(2 * static_cast<size_t>(qb));
            WriteFixed(sig.data(), qb, r);
            WriteFixed(sig.data() + qb, qb, s);
            return SmartPtr<ByteBuffer>(new ByteBuffer(sig.data(), static_cast<uint32_t>(sig.size())));
        }
    }
    catch (const ArithmeticException&)
    {
    }
    return nullptr;
}

bool ElGamal::verify(const void* data, uint32_t length, const void* signature, uint32_t signatureLength) const
{
    if (!mHasPublic || signature == nullptr || (length > 0 && data == nullptr))
        return false;
    const uint32_t qb = mQ.byteLength();
    if (qb == 0 || signatureLength != 2 * qb)
        return false;
    try
    {
        const uint8_t* sig = static_cast<const uint8_t*>(signature);
        const BigInteger r(sig, qb), s(sig + qb, qb);
        if (r.IsZero())
            return false;
        const BigInteger h = DigestToInteger(data, length);
        BigInteger gs, yr, w;
        BigInteger::modExp(gs, mG, s, mP, mRecip, mRecipCount);
        BigInteger::modExp(yr, mY, r, mP, mRecip, mRecipCount);
        BigInteger::modMulRecip(w, gs, yr, mP, mRecip, mRecipCount);
        BigInteger::add(w, w, h);
        // Reduced modulo p first, as sign does, so every signature sign makes verifies.
        BigInteger::mod(w, w, mP);
        BigInteger::mod(w, w, mQ);
        return w == r;
    }
    catch (const ArithmeticException&)
    {
        return false;
    }
}

} // namespace QORAPI
