// BigInteger conversions, boundaries and exception texts.
#include "QORCrypt/BigInteger.h"
#include "QORCrypt/Randomizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace QORAPI;

namespace {

std::vector<uint8_t> Bin(const BigInteger& v)
{
    std::vector<uint8_t> out;
    v.toBinary(out);
    return out;
}

std::string ThrownText(void (*f)())
{
    try
    {
        f();
    }
    catch (const ArithmeticException& e)
    {
        return e.what();
    }
    return "";
}

} // namespace

TEST(BigIntegerConversion, BinaryForms)
{
    EXPECT_EQ(Bin(BigInteger(0x80)), (std::vector<uint8_t>{0x00, 0x80}));
    EXPECT_EQ(Bin(BigInteger(-0x80)), (std::vector<uint8_t>{0x80}));
    EXPECT_EQ(Bin(BigInteger(0)), (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(Bin(BigInteger(0x7F)), (std::vector<uint8_t>{0x7F}));
    EXPECT_EQ(Bin(BigInteger(0x1234)), (std::vector<uint8_t>{0x12, 0x34}));
    std::vector<uint8_t> out;
    EXPECT_EQ(BigInteger(0x8000).toBinary(out), 2u);
    EXPECT_EQ(out.size(), 3u);

    EXPECT_TRUE(BigInteger(std::vector<uint8_t>{}).IsZero());
    EXPECT_TRUE(BigInteger(std::vector<uint8_t>{0}).IsZero());
    EXPECT_EQ(BigInteger(std::vector<uint8_t>{0, 0, 1}), BigInteger(1));
    EXPECT_TRUE(BigInteger(nullptr, 5).IsZero());
    // Nine bytes cross a digit boundary.
    const std::vector<uint8_t> nine = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(Bin(BigInteger(nine)), nine);
    EXPECT_EQ(BigInteger(nine).toDecimal(), "18591708106338011145");
}

TEST(BigIntegerConversion, DecimalForms)
{
    // Leading blanks and zeros are skipped; parsing stops at the first non-digit.
    const std::pair<const char*, const char*> parsed[] = {
        {"  0012345", "12345"}, {"      123456789", "123456789"}, {"12ab34", "12"}, {"-5", "0"}, {"", "0"},
        {"4294967296", "4294967296"}};
    for (const auto& c : parsed)
        EXPECT_EQ(BigInteger(c.first).toDecimal(), c.second) << c.first;
    EXPECT_TRUE(BigInteger("-5").IsZero());
    EXPECT_TRUE(BigInteger(static_cast<const char*>(nullptr)).IsZero());
    for (int32_t v : {1000000, 0, 1000, 1001, -42})
        EXPECT_EQ(BigInteger(v).toDecimal(), std::to_string(v));
}

TEST(BigIntegerBits, SetAndTestBeyondLength)
{
    BigInteger v(5);
    v.setBit(40);
    EXPECT_EQ(v, BigInteger(5));
    EXPECT_FALSE(v.testBit(40));
    EXPECT_FALSE(v.testBit(0xFFFFFFFFu));
    v.setBit(1);
    EXPECT_EQ(v, BigInteger(7));
    BigInteger zero;
    zero.setBit(0);
    EXPECT_TRUE(zero.IsZero());
    EXPECT_EQ(BigInteger(0).bitLength(), 0u);
    EXPECT_EQ(BigInteger(1).bitLength(), 1u);
    EXPECT_EQ(BigInteger(0x100).byteLength(), 2u);
}

TEST(BigIntegerCompare, SignsAndNegatedZero)
{
    const BigInteger negZero = BigInteger(0).negate();
    EXPECT_EQ(BigInteger::compare(negZero, BigInteger(0)), 0);
    EXPECT_TRUE(negZero == BigInteger::Zero());
    EXPECT_FALSE(negZero.IsNegative());
    EXPECT_LT(BigInteger(-3), BigInteger(2));
    EXPECT_LT(BigInteger(-3), BigInteger(-2));
    EXPECT_LE(BigInteger(2), BigInteger(2));
    EXPECT_EQ(BigInteger::compare(BigInteger(-1), BigInteger(0)), -1);
    EXPECT_EQ(BigInteger::One(), BigInteger(1));
}

TEST(BigIntegerArithmetic, SpecifiedEdgeCases)
{
    EXPECT_EQ(BigInteger(-7).mod(BigInteger(3)), BigInteger(2));
    EXPECT_EQ(BigInteger(-6).mod(BigInteger(3)), BigInteger(0));
    EXPECT_EQ(BigInteger(0).negate().mod(BigInteger(3)), BigInteger(0));
    BigInteger q, r;
    BigInteger::div(&q, &r, BigInteger(5), BigInteger(7));
    EXPECT_EQ(q, BigInteger(0));
    EXPECT_EQ(r, BigInteger(5));
    BigInteger::div(&q, nullptr, BigInteger(100), BigInteger(7));
    EXPECT_EQ(q, BigInteger(14));
    BigInteger::div(nullptr, &r, BigInteger(100), BigInteger(7));
    EXPECT_EQ(r, BigInteger(2));

    EXPECT_EQ(BigInteger(12345).modExp(BigInteger(0), BigInteger(101)), BigInteger(1));
    EXPECT_EQ(BigInteger(0).modExp(BigInteger(5), BigInteger(101)), BigInteger(0));
    EXPECT_EQ(BigInteger(0).modExp(BigInteger(5), BigInteger(100)), BigInteger(0));
    EXPECT_EQ(BigInteger(3).modExp(BigInteger(-1), BigInteger(7)), BigInteger(5));
    EXPECT_EQ(BigInteger(3).inverseModN(BigInteger(7)), BigInteger(5));
    EXPECT_EQ(BigInteger(3).modExp(BigInteger(4), BigInteger(1)), BigInteger(0));

    // Subtraction from zero negates; adding zero copies.
    EXPECT_EQ(BigInteger(0) - BigInteger(9), BigInteger(-9));
    EXPECT_EQ(BigInteger(0) - BigInteger(-9), BigInteger(9));
    EXPECT_EQ(BigInteger(-9) + BigInteger(0), BigInteger(-9));
    EXPECT_EQ(BigInteger(-4) * BigInteger(5), BigInteger(-20));
    EXPECT_EQ(BigInteger(4) - BigInteger(4), BigInteger(0));

    EXPECT_EQ(BigInteger(12).gcd(BigInteger(18)), BigInteger(6));
    EXPECT_EQ(BigInteger(0).gcd(BigInteger(18)), BigInteger(18));
    EXPECT_EQ(BigInteger(18).gcd(BigInteger(0)), BigInteger(18));
    EXPECT_EQ(BigInteger(0).gcd(BigInteger(0)), BigInteger(0));

    BigInteger p;
    BigInteger::pow(p, BigInteger(3), BigInteger(0));
    EXPECT_EQ(p, BigInteger(1));
    BigInteger::pow(p, BigInteger(2), BigInteger(100));
    EXPECT_EQ(p.toDecimal(), "1267650600228229401496703205376");
}

TEST(BigIntegerArithmetic, ShiftsKeepTheirSign)
{
    BigInteger v(-5);
    v <<= 3;
    EXPECT_EQ(v, BigInteger(-40));
    v >>= 4;
    EXPECT_EQ(v, BigInteger(-2));
    BigInteger z;
    z <<= 100;
    EXPECT_TRUE(z.IsZero());
    BigInteger w(1);
    w <<= 64;
    EXPECT_EQ(w.GetLength(), 3u);
    w >>= 64;
    EXPECT_EQ(w, BigInteger(1));
    w >>= 1;
    EXPECT_TRUE(w.IsZero());
}

TEST(BigIntegerArithmetic, ExceptionTexts)
{
    const char* const aliased = "Result must not be either Parameter (a or b)";
    const std::pair<void (*)(), const char*> cases[] = {
        {[] { BigInteger a(3), b(4); BigInteger::mul(a, a, b); }, aliased},
        {[] { BigInteger a(3), b(4); BigInteger::mul(b, a, b); }, aliased},
        {[] { BigInteger a(3), m(4); BigInteger::mod(m, a, m); }, "Result must not be the same object as m"},
        {[] { (void)(BigInteger(3) / BigInteger(0)); }, "div: Divide by zero"},
        {[] { (void)BigInteger(-3).inverseModN(BigInteger(7)); }, "inverseModN"},
        {[] { (void)BigInteger(3).inverseModN(BigInteger(-7)); }, "inverseModN"},
        {[] { (void)BigInteger(3).modExp(BigInteger(2), BigInteger(0)); }, "div: Divide by zero"},
        // Operands far above the modulus need more than three corrections.
        {[] {
             const BigInteger m("1000000007");
             BigInteger recip;
             const uint16_t k = BigInteger::computeRecip(recip, m);
             const BigInteger big = m * BigInteger(1000);
             (void)big.modMulRecip(big, m, recip, k);
         },
         "modMulRecip"},
        // Growing past the 16-bit digit count is refused, not truncated.
        {[] { BigInteger v(1); v <<= 32u * 70000u; }, "BigInteger: value too large"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
        EXPECT_EQ(ThrownText(cases[i].first), cases[i].second) << i;
}

TEST(BigIntegerRandom, BitLimitAndDeterminism)
{
    const std::vector<uint8_t> seed = {4, 2};
    Randomizer r1(seed), r2(seed);
    for (uint32_t bits : {1u, 7u, 8u, 9u, 31u, 32u, 33u, 160u, 1023u})
    {
        for (int i = 0; i < 20; ++i)
        {
            const BigInteger a(bits, r1), b(bits, r2);
            EXPECT_LE(a.bitLength(), bits);
            EXPECT_EQ(a, b);
        }
    }
    EXPECT_TRUE(BigInteger(0u, r1).IsZero());
}

TEST(BigIntegerStorage, CopiesAndMovesAreIndependent)
{
    BigInteger big("123456789012345678901234567890123456789012345678901234567890");
    BigInteger copy(big);
    copy <<= 1;
    EXPECT_NE(copy, big);
    BigInteger moved(std::move(copy));
    EXPECT_EQ(moved, big + big);
    BigInteger small(7);
    small = moved;
    EXPECT_EQ(small, moved);
    small = BigInteger(9);
    EXPECT_EQ(small, BigInteger(9));
    small = small;
    EXPECT_EQ(small, BigInteger(9));
}
