#include "service/KeyGen.h"

#include "QORCrypt/DerWriter.h"

#include <vector>

namespace QORAPI {

namespace {

const std::vector<uint32_t>& SmallPrimes()
{
    static const std::vector<uint32_t> primes = [] {
        std::vector<uint32_t> out;
        const uint32_t limit = 2000;
        std::vector<bool> composite(limit, false);
        for (uint32_t i = 2; i < limit; ++i)
        {
            if (composite[i])
                continue;
            out.push_back(i);
            for (uint32_t j = i * i; j < limit; j += i)
                composite[j] = true;
        }
        return out;
    }();
    return primes;
}

// 0 when n has a small prime factor (and is not that prime), 1 when n is a
// small prime, 2 when undecided.
int TrialDivision(const BigInteger& n)
{
    BigInteger r;
    for (uint32_t prime : SmallPrimes())
    {
        const BigInteger d(static_cast<int32_t>(prime));
        if (n == d)
            return 1;
        BigInteger::mod(r, n, d);
        if (r.IsZero())
            return 0;
    }
    return 2;
}

// A random value in [lo, hi] (hi >= lo >= 0), by rejection.
BigInteger RandomInRange(const BigInteger& lo, const BigInteger& hi, Randomizer& random)
{
    const BigInteger span = hi - lo;
    const uint32_t bits = span.bitLength();
    BigInteger v;
    do
        v = BigInteger(bits, random);
    while (v > span);
    return v + lo;
}

// A random value of exactly bits bits.
BigInteger RandomTopBit(uint32_t bits, Randomizer& random)
{
    BigInteger v(bits, random);
    BigInteger top(1);
    top <<= bits - 1;
    if (!v.testBit(bits - 1))
        v = v + top;
    return v;
}

} // namespace

bool KeyGen::IsProbablePrime(const BigInteger& n, Randomizer& random, uint32_t rounds)
{
    if (n.IsNegative() || n < BigInteger(2))
        return false;
    const int small = TrialDivision(n);
    if (small != 2)
        return small == 1;

    try
    {
        const BigInteger one(1), two(2);
        const BigInteger nMinus1 = n - one;
        BigInteger d(nMinus1);
        uint32_t s = 0;
        while (!d.IsOdd())
        {
            d >>= 1;
            ++s;
        }
        BigInteger recip;
        const uint16_t count = BigInteger::computeRecip(recip, n);
        const BigInteger nMinus2 = n - two;
        BigInteger x, t;
        for (uint32_t round = 0; round < rounds; ++round)
        {
            const BigInteger a = RandomInRange(two, nMinus2, random);
            BigInteger::modExp(x, a, d, n, recip, count);
            if (x == one || x == nMinus1)
                continue;
            bool witness = true;
            for (uint32_t i = 1; i < s; ++i)
            {
                BigInteger::modMulRecip(t, x, x, n, recip, count);
                std::swap(x, t);
                if (x == nMinus1)
                {
                    witness = false;
                    break;
                }
                if (x == one)
                    break;
            }
            if (witness)
                return false;
        }
    }
    catch (const ArithmeticException&)
    {
        return false;
    }
    return true;
}

bool KeyGen::GeneratePrime(BigInteger& prime, uint32_t bits, Randomizer& random)
{
    if (bits < 2 || bits > 16384)
        return false;
    for (uint32_t tries = 0; tries < 100000; ++tries)
    {
        BigInteger c = RandomTopBit(bits, random);
        if (bits > 2)
            c.setBit(0);
        if (IsProbablePrime(c, random))
        {
            prime = c;
            return true;
        }
    }
    return false;
}

bool KeyGen::GenerateParams(DLParams& params, uint32_t pBits, uint32_t qBits, Randomizer& random)
{
    if (pBits < 64 || pBits % 8 != 0 || pBits > 8192 || qBits < 16 || qBits + 8 > pBits)
        return false;
    BigInteger q;
    if (!GeneratePrime(q, qBits, random))
        return false;
    const BigInteger twoQ = q + q;
    const BigInteger one(1);
    BigInteger p, r;
    bool found = false;
    // About pBits·ln 2 / 2 candidates of the form 2kq + 1 are needed on average.
    for (uint32_t tries = 0; tries < 64 * pBits && !found; ++tries)
    {
        const BigInteger x = RandomTopBit(pBits, random);
        BigInteger::mod(r, x, twoQ);
        p = x - r + one;
        if (p.bitLength() != pBits)
            continue;
        found = IsProbablePrime(p, random);
    }
    if (!found)
        return false;

    // g = h^((p-1)/q) mod p for random h until g != 1.
    const BigInteger e = (p - one) / q;
    const BigInteger two(2), pMinus2 = p - two;
    for (int tries = 0; tries < 1000; ++tries)
    {
        const BigInteger h = RandomInRange(two, pMinus2, random);
        const BigInteger g = h.modExp(e, p);
        if (g != one)
        {
            params.p = p;
            params.q = q;
            params.g = g;
            return true;
        }
    }
    return false;
}

bool KeyGen::GenerateParams(DLParams& params, uint32_t pBits, uint32_t qBits)
{
    Randomizer random;
    return GenerateParams(params, pBits, qBits, random);
}

bool KeyGen::CheckParams(const DLParams& params, Randomizer& random)
{
    const BigInteger one(1);
    if (params.p.bitLength() % 8 != 0 || params.g <= one || params.g >= params.p)
        return false;
    if (!IsProbablePrime(params.q, random, 20) || !IsProbablePrime(params.p, random, 20))
        return false;
    BigInteger r;
    BigInteger::mod(r, params.p - one, params.q);
    if (!r.IsZero())
        return false;
    return params.g.modExp(params.q, params.p) == one;
}

SmartPtr<ByteBuffer> KeyGen::EncodePublicKey(const DLParams& params, const BigInteger& y)
{
    DerWriter writer;
    writer.WriteInteger(params.p);
    writer.WriteInteger(params.q);
    writer.WriteInteger(params.g);
    writer.WriteInteger(y);
    return writer.FinishSequence();
}

SmartPtr<ByteBuffer> KeyGen::EncodePrivateKey(const DLParams& params, const BigInteger& y, const BigInteger& x)
{
    DerWriter writer;
    writer.WriteInteger(params.p);
    writer.WriteInteger(params.q);
    writer.WriteInteger(params.g);
    writer.WriteInteger(y);
    writer.WriteInteger(x);
    return writer.FinishSequence();
}

SmartPtr<ElGamal> KeyGen::GenerateKeyPair(const DLParams& params, Randomizer& random)
{
    const BigInteger one(1);
    if (params.q <= one || params.p.IsZero())
        return nullptr;
    try
    {
        const BigInteger x = RandomInRange(one, params.q - one, random);
        const BigInteger y = params.g.modExp(x, params.p);
        SmartPtr<ByteBuffer> encoded = EncodePrivateKey(params, y, x);
        if (!encoded)
            return nullptr;
        SmartPtr<ElGamal> key(new ElGamal);
        if (!key->setPrivateKey(encoded->GetData(), encoded->GetLength()))
            return nullptr;
        return key;
    }
    catch (const ArithmeticException&)
    {
        return nullptr;
    }
}

SmartPtr<ElGamal> KeyGen::GenerateKeyPair(const DLParams& params)
{
    Randomizer random;
    return GenerateKeyPair(params, random);
}

} // namespace QORAPI
