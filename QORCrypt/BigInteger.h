// BigInteger: the arbitrary-precision signed integer of the public-key scheme.
// Sign and magnitude, 32-bit digits least significant first, up to 4 digits
// held inside the object. Precondition failures throw ArithmeticException,
// which the public-key primitives catch and turn into a failed result.
//
// Thread safety: none; a BigInteger is used by one thread at a time. The Zero
// and One constants may be read from any thread.
#ifndef QORAPI_QORCRYPT_BIGINTEGER_H
#define QORAPI_QORCRYPT_BIGINTEGER_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace QORAPI {

class Randomizer;

class ArithmeticException : public std::exception
{
public:
    explicit ArithmeticException(const char* what) : mWhat(what) {}
    const char* what() const noexcept override { return mWhat.c_str(); }

private:
    std::string mWhat;
};

class BigInteger
{
public:
    typedef uint32_t Digit;
    // Length and capacity are 16-bit word counts; growing past this throws.
    static constexpr uint32_t kMaxDigits = 0xFFFF;

    BigInteger();
    BigInteger(int32_t value);
    BigInteger(const BigInteger& other);
    BigInteger(BigInteger&& other) noexcept;
    // Unsigned big-endian bytes.
    BigInteger(const void* data, size_t length);
    explicit BigInteger(const std::vector<uint8_t>& bytes);
    // A random value below 2^bits (the top bit is not forced).
    BigInteger(uint32_t bits, Randomizer& random);
    // Decimal text (see fromDecimal).
    explicit BigInteger(const char* text);
    ~BigInteger();

    BigInteger& operator=(const BigInteger& other);
    BigInteger& operator=(BigInteger&& other) noexcept;

    // The process-wide constants 0 and 1.
    static const BigInteger& Zero();
    static const BigInteger& One();

    // --- Conversions ---------------------------------------------------
    // Unsigned big-endian; empty or all-zero input gives zero.
    void fromBinary(const void* data, size_t length);
    void fromBinary(const std::vector<uint8_t>& bytes) { fromBinary(bytes.data(), bytes.size()); }
    // Minimal big-endian magnitude, with a 0x00 in front when a non-negative
    // value's top bit is set; zero is the single byte 00. The sign of a
    // negative value is not encoded. Returns byteLength().
    uint32_t toBinary(std::vector<uint8_t>& out) const;
    // Skips leading white space and reads the longest run of decimal digits
    // (anything else ends it, so a sign character gives zero).
    void fromDecimal(const char* text);
    // Decimal text; a negative value gets a leading '-'.
    std::string toDecimal() const;

    // --- Queries and bits ---------------------------------------------
    uint32_t bitLength() const;
    uint32_t byteLength() const { return (bitLength() + 7) / 8; }
    bool testBit(uint32_t i) const;
    // Sets bit i when it lies within the current length; otherwise does nothing.
    void setBit(uint32_t i);
    bool IsZero() const { return mLength == 0; }
    bool IsNegative() const { return mLength != 0 && mNegative; }
    bool IsOdd() const { return mLength != 0 && (mDigits[0] & 1) != 0; }
    uint32_t GetLength() const { return mLength; }
    Digit GetDigit(uint32_t i) const { return i < mLength ? mDigits[i] : 0; }

    // -1, 0 or +1 by signed value (all zeros are equal).
    static int compare(const BigInteger& a, const BigInteger& b);
    static int CompareMagnitude(const BigInteger& a, const BigInteger& b);

    // --- Three-operand forms -----------------------------------------
    // r may be a or b unless stated otherwise.
    static void shiftLeft(BigInteger& r, const BigInteger& a, uint32_t k);
    static void shiftRight(BigInteger& r, const BigInteger& a, uint32_t k);
    static void add(BigInteger& r, const BigInteger& a, const BigInteger& b);
    static void sub(BigInteger& r, const BigInteger& a, const BigInteger& b);
    // r must not be a or b.
    static void mul(BigInteger& r, const BigInteger& a, const BigInteger& b);
    // Quotient and remainder; either may be null.
    static void div(BigInteger* q, BigInteger* r, const BigInteger& a, const BigInteger& b);
    // The residue in [0, m); r may be a but not m.
    static void mod(BigInteger& r, const BigInteger& a, const BigInteger& m);
    static void pow(BigInteger& r, const BigInteger& a, const BigInteger& e);
    // Barrett set-up: recip = floor(2^(2k) / m), k = bitLength(m); returns k + 1.
    static uint16_t computeRecip(BigInteger& recip, const BigInteger& m);
    // a·b mod m by Barrett reduction, for a and b below m.
    static void modMulRecip(BigInteger& r, const BigInteger& a, const BigInteger& b, const BigInteger& m,
                            const BigInteger& recip, uint16_t recipCount);
    static void modExp(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m);
    static void modExp(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m,
                       const BigInteger& recip, uint16_t recipCount);
    // The inverse of a modulo n by extended Euclid (a, n non-negative).
    static void inverseModN(BigInteger& r, const BigInteger& a, const BigInteger& n);
    // Greatest common divisor (Stein's algorithm) of two non-negative values.
    static void gcd(BigInteger& r, const BigInteger& a, const BigInteger& b);

    // --- Value forms -----------------------------------------------------
    BigInteger operator+(const BigInteger& b) const;
    BigInteger operator-(const BigInteger& b) const;
    BigInteger operator*(const BigInteger& b) const;
    BigInteger operator/(const BigInteger& b) const;
    BigInteger operator-() const { return negate(); }
    BigInteger& operator<<=(uint32_t k);
    BigInteger& operator>>=(uint32_t k);
    bool operator<(const BigInteger& b) const { return compare(*this, b) < 0; }
    bool operator<=(const BigInteger& b) const { return compare(*this, b) <= 0; }
    bool operator>(const BigInteger& b) const { return compare(*this, b) > 0; }
    bool operator>=(const BigInteger& b) const { return compare(*this, b) >= 0; }
    bool operator==(const BigInteger& b) const { return compare(*this, b) == 0; }
    bool operator!=(const BigInteger& b) const { return compare(*this, b) != 0; }
    BigInteger mod(const BigInteger& m) const;
    BigInteger modExp(const BigInteger& e, const BigInteger& m) const;
    BigInteger modExp(const BigInteger& e, const BigInteger& m, const BigInteger& recip, uint16_t recipCount) const;
    BigInteger modMulRecip(const BigInteger& b, const BigInteger& m, const BigInteger& recip,
                           uint16_t recipCount) const;
    BigInteger inverseModN(const BigInteger& n) const;
    BigInteger gcd(const BigInteger& b) const;
    // A copy with the sign flag inverted.
    BigInteger negate() const;

private:
    // Makes room for n digits; keep copies the significant digits over.
    void Reserve(uint32_t n, bool keep);
    void Normalize();
    void SetLength(uint32_t n) { mLength = static_cast<uint16_t>(n); }
    void AddSmall(Digit v);
    void MulSmall(Digit v);
    Digit DivSmall(Digit v);   // in place, returns the remainder
    static void AddMagnitudes(BigInteger& r, const BigInteger& a, const BigInteger& b);
    // |a| - |b| into r; when the result would be negative it is |b| - |a|,
    // negative if signedResult, else positive.
    static void SubMagnitudes(BigInteger& r, const BigInteger& a, const BigInteger& b, bool signedResult);
    static void DivMagnitudes(BigInteger* q, BigInteger* r, const BigInteger& a, const BigInteger& b);
    static void MulInto(BigInteger& r, const BigInteger& a, const BigInteger& b, std::vector<Digit>* workspace);
    static void ModMulRecipWs(BigInteger& r, const BigInteger& a, const BigInteger& b, const BigInteger& m,
                              const BigInteger& recip, uint16_t recipCount, std::vector<Digit>& workspace,
                              BigInteger& t, BigInteger& q);
    static void ModExpMontgomery(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m);
    static void ModExpBarrett(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m,
                              const BigInteger& recip, uint16_t recipCount);

    Digit* mDigits;
    Digit mInline[4];
    uint16_t mCapacity;
    uint16_t mLength;
    bool mNegative;
};

} // namespace QORAPI

#endif
