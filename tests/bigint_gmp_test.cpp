// BigInteger checked against GMP on random operands of 1 to 4096 bits.
#include "QORCrypt/BigInteger.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int kScale = 8;
#else
const int kScale = 1;
#endif

int Iterations(int n) { return n / kScale > 10 ? n / kScale : 10; }

class Mpz
{
public:
    Mpz() { mpz_init(v); }
    explicit Mpz(const BigInteger& b) : Mpz() { Set(b); }
    ~Mpz() { mpz_clear(v); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;

    void Set(const BigInteger& b)
    {
        std::vector<uint8_t> bytes;
        b.toBinary(bytes);
        mpz_import(v, bytes.size(), 1, 1, 1, 0, bytes.data());
        if (b.IsNegative())
            mpz_neg(v, v);
    }
    std::string Hex() const { return Text(16); }
    std::string Text(int base) const
    {
        char* s = mpz_get_str(nullptr, base, v);
        std::string out(s);
        void (*freefunc)(void*, size_t);
        mp_get_memory_functions(nullptr, nullptr, &freefunc);
        freefunc(s, out.size() + 1);
        return out;
    }

    mpz_t v;
};

// Hex of a BigInteger, signed, in GMP's notation.
std::string Hex(const BigInteger& b)
{
    Mpz m(b);
    return m.Hex();
}

class Operands
{
public:
    explicit Operands(uint64_t seed) : mRng(seed) {}

    uint32_t Bits(uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(mRng); }
    bool Coin() { return (mRng() & 1) != 0; }

    // A value of exactly `bits` bits (top bit set), sometimes all ones or sparse
    // to exercise carries and borrows.
    BigInteger Make(uint32_t bits, bool allowNegative = false)
    {
        const size_t bytes = (bits + 7) / 8;
        std::vector<uint8_t> buf(bytes);
        const uint32_t shape = mRng() % 8;
        for (auto& b : buf)
            b = shape == 0 ? 0xFF : shape == 1 ? static_cast<uint8_t>(mRng() % 16 == 0 ? mRng() : 0)
                                               : static_cast<uint8_t>(mRng());
        const uint32_t extra = static_cast<uint32_t>(8 * bytes - bits);
        buf[0] &= static_cast<uint8_t>(0xFF >> extra);
        buf[0] |= static_cast<uint8_t>(0x80 >> extra);
        BigInteger v(buf);
        if (allowNegative && Coin())
            v = v.negate();
        return v;
    }
    // Mostly lengths around the Karatsuba threshold and key sizes, some anywhere.
    uint32_t AnyBits()
    {
        switch (mRng() % 4)
        {
        case 0: return Bits(1, 96);
        case 1: return Bits(400, 1400);
        case 2: return Bits(1900, 2200);
        default: return Bits(1, 4096);
        }
    }

private:
    std::mt19937_64 mRng;
};

} // namespace

TEST(BigIntegerGmp, AddSubBothSigns)
{
    Operands ops(1);
    Mpz ma, mb, mr;
    for (int i = 0; i < Iterations(4000); ++i)
    {
        BigInteger a = ops.Make(ops.AnyBits(), true);
        BigInteger b = ops.Coin() ? ops.Make(ops.AnyBits(), true) : a.negate();
        if (i % 97 == 0)
            b = BigInteger();
        ma.Set(a);
        mb.Set(b);
        // Plain and in-place forms.
        BigInteger c(a), d(b);
        BigInteger::add(c, c, b);
        BigInteger::sub(d, a, d);
        mpz_add(mr.v, ma.v, mb.v);
        ASSERT_EQ(Hex(a + b), mr.Hex());
        ASSERT_EQ(Hex(c), mr.Hex());
        mpz_sub(mr.v, ma.v, mb.v);
        ASSERT_EQ(Hex(a - b), mr.Hex());
        ASSERT_EQ(Hex(d), mr.Hex());
        ASSERT_EQ(BigInteger::compare(a, b), mpz_cmp(ma.v, mb.v) < 0 ? -1 : mpz_cmp(ma.v, mb.v) > 0 ? 1 : 0);
    }
}

TEST(BigIntegerGmp, MultiplyAcrossKaratsubaThreshold)
{
    Operands ops(2);
    Mpz ma, mb, mr;
    for (int i = 0; i < Iterations(3000); ++i)
    {
        uint32_t la, lb;
        if (i % 3 == 0)
        {
            // Equal digit counts from 10 to 140 words: schoolbook, then Karatsuba, odd and even.
            const uint32_t words = ops.Bits(10, 140);
            la = 32 * words - ops.Bits(0, 31);
            lb = 32 * words - ops.Bits(0, 31);
        }
        else
        {
            la = ops.AnyBits();
            lb = ops.Coin() ? la : ops.AnyBits();
        }
        const BigInteger a = ops.Make(la, true), b = ops.Make(lb, true);
        ma.Set(a);
        mb.Set(b);
        mpz_mul(mr.v, ma.v, mb.v);
        ASSERT_EQ(Hex(a * b), mr.Hex()) << la << "x" << lb;
    }
}

TEST(BigIntegerGmp, DivisionAndModulus)
{
    Operands ops(3);
    Mpz ma, mb, mq, mr;
    for (int i = 0; i < Iterations(4000); ++i)
    {
        const BigInteger a = ops.Make(ops.AnyBits());
        const BigInteger b = ops.Make(i % 5 == 0 ? ops.Bits(1, 64) : ops.AnyBits());
        ma.Set(a);
        mb.Set(b);
        BigInteger q, r;
        BigInteger::div(&q, &r, a, b);
        mpz_tdiv_qr(mq.v, mr.v, ma.v, mb.v);
        ASSERT_EQ(Hex(q), mq.Hex());
        ASSERT_EQ(Hex(r), mr.Hex());
        ASSERT_EQ(Hex(a / b), mq.Hex());

        // mod of either sign lands in [0, m).
        const BigInteger sa = ops.Coin() ? a.negate() : a;
        ma.Set(sa);
        mpz_mod(mr.v, ma.v, mb.v);
        ASSERT_EQ(Hex(sa.mod(b)), mr.Hex());
        BigInteger inPlace(sa);
        BigInteger::mod(inPlace, inPlace, b);
        ASSERT_EQ(Hex(inPlace), mr.Hex());
    }
}

TEST(BigIntegerGmp, ModularExponentiation)
{
    Operands ops(4);
    Mpz mb, me, mm, mr;
    for (int i = 0; i < Iterations(400); ++i)
    {
        // Key sizes (and their neighbours) take the fixed-size Montgomery paths.
        const uint32_t keySizes[] = {1024, 2048, 1023, 2047, 1056, 992};
        const uint32_t mbits = i % 10 < 3   ? keySizes[(i / 10) % 6]
                               : i % 4 == 0 ? ops.Bits(1024, 4096)
                                            : ops.Bits(2, 1200);
        BigInteger m = ops.Make(mbits);
        const bool even = i % 3 == 0;
        if (even != !m.IsOdd())
            m = m + BigInteger(1);
        const uint32_t ebits = mbits > 2100 ? ops.Bits(1, 300) : (even ? ops.Bits(1, 260) : ops.Bits(1, mbits));
        const BigInteger base = ops.Make(ops.Coin() ? ops.Bits(1, mbits) : ops.Bits(1, mbits + 40), true);
        const BigInteger e = ops.Make(ebits);
        mb.Set(base);
        me.Set(e);
        mm.Set(m);
        mpz_powm(mr.v, mb.v, me.v, mm.v);

        ASSERT_EQ(Hex(base.modExp(e, m)), mr.Hex()) << i;
        BigInteger recip;
        const uint16_t count = BigInteger::computeRecip(recip, m);
        ASSERT_EQ(Hex(base.modExp(e, m, recip, count)), mr.Hex()) << i;
    }
}

TEST(BigIntegerGmp, BarrettProductsAndReciprocal)
{
    Operands ops(5);
    Mpz ma, mb, mm, mr;
    for (int i = 0; i < Iterations(2000); ++i)
    {
        const BigInteger m = ops.Make(ops.Bits(2, 4096));
        mm.Set(m);
        BigInteger recip;
        const uint16_t count = BigInteger::computeRecip(recip, m);
        ASSERT_EQ(count, m.bitLength() + 1);
        mpz_set_ui(mr.v, 1);
        mpz_mul_2exp(mr.v, mr.v, 2 * m.bitLength());
        mpz_tdiv_q(mr.v, mr.v, mm.v);
        ASSERT_EQ(Hex(recip), mr.Hex());

        // Operands below m: never more than three corrections.
        const BigInteger a = ops.Make(ops.Bits(1, m.bitLength())).mod(m);
        const BigInteger b = ops.Make(ops.Bits(1, m.bitLength())).mod(m);
        ma.Set(a);
        mb.Set(b);
        mpz_mul(mr.v, ma.v, mb.v);
        mpz_mod(mr.v, mr.v, mm.v);
        ASSERT_EQ(Hex(a.modMulRecip(b, m, recip, count)), mr.Hex());
    }
}

TEST(BigIntegerGmp, InverseGcdAndPow)
{
    Operands ops(6);
    Mpz ma, mb, mr;
    int inverses = 0;
    for (int i = 0; i < Iterations(1500); ++i)
    {
        const BigInteger a = ops.Make(ops.AnyBits());
        const BigInteger b = ops.Make(ops.AnyBits());
        ma.Set(a);
        mb.Set(b);
        mpz_gcd(mr.v, ma.v, mb.v);
        ASSERT_EQ(Hex(a.gcd(b)), mr.Hex());
        // With a common power of two.
        BigInteger as(a), bs(b);
        as <<= 37;
        bs <<= 5;
        Mpz mas(as), mbs(bs);
        mpz_gcd(mr.v, mas.v, mbs.v);
        ASSERT_EQ(Hex(as.gcd(bs)), mr.Hex());

        if (mpz_invert(mr.v, ma.v, mb.v) != 0 && mpz_cmp_ui(mb.v, 1) > 0)
        {
            ASSERT_EQ(Hex(a.inverseModN(b)), mr.Hex());
            ++inverses;
        }
    }
    EXPECT_GT(inverses, Iterations(1500) / 4);

    for (int i = 0; i < Iterations(200); ++i)
    {
        const BigInteger a = ops.Make(ops.Bits(1, 300), true);
        const uint32_t e = ops.Bits(0, 40);
        ma.Set(a);
        mpz_pow_ui(mr.v, ma.v, e);
        BigInteger r;
        BigInteger::pow(r, a, BigInteger(static_cast<int32_t>(e)));
        ASSERT_EQ(Hex(r), mr.Hex());
    }
}

TEST(BigIntegerGmp, ShiftsBitsAndConversions)
{
    Operands ops(7);
    Mpz ma, mr;
    for (int i = 0; i < Iterations(3000); ++i)
    {
        const BigInteger a = ops.Make(ops.AnyBits());
        ma.Set(a);
        ASSERT_EQ(a.bitLength(), mpz_sizeinbase(ma.v, 2));
        const uint32_t k = ops.Bits(0, 300);
        BigInteger s(a);
        s <<= k;
        mpz_mul_2exp(mr.v, ma.v, k);
        ASSERT_EQ(Hex(s), mr.Hex());
        s = a;
        s >>= k;
        mpz_tdiv_q_2exp(mr.v, ma.v, k);
        ASSERT_EQ(Hex(s), mr.Hex());
        const uint32_t bit = ops.Bits(0, a.bitLength() + 40);
        ASSERT_EQ(a.testBit(bit), mpz_tstbit(ma.v, bit) != 0);

        // Decimal both ways.
        const std::string expected = ma.Text(10);
        ASSERT_EQ(a.toDecimal(), expected);
        ASSERT_EQ(Hex(BigInteger(expected.c_str())), ma.Hex());

        // Binary both ways, with the sign byte rule.
        std::vector<uint8_t> bytes;
        const uint32_t n = a.toBinary(bytes);
        ASSERT_EQ(n, (mpz_sizeinbase(ma.v, 2) + 7) / 8);
        ASSERT_EQ(bytes.size(), n + ((a.bitLength() % 8) == 0 ? 1u : 0u));
        ASSERT_EQ(BigInteger(bytes), a);
    }
}
