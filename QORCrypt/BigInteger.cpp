#include "QORCrypt/BigInteger.h"

#include "QORCrypt/Randomizer.h"

#include <algorithm>
#include <cstring>

namespace QORAPI {

namespace {

typedef BigInteger::Digit Digit;
typedef uint64_t DDigit;
#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 UInt128;
#else
// Targets without a 128-bit integer (32-bit ones): the operations the
// Montgomery code uses, in two 64-bit halves.
struct UInt128
{
    uint64_t mLo, mHi;
    UInt128(uint64_t v = 0) : mLo(v), mHi(0) {}
    explicit operator uint64_t() const { return mLo; }
    friend UInt128 operator*(UInt128 a, UInt128 b)  // modulo 2^128
    {
        const uint64_t a0 = a.mLo & 0xFFFFFFFFu, a1 = a.mLo >> 32, b0 = b.mLo & 0xFFFFFFFFu, b1 = b.mLo >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
        UInt128 r;
        r.mLo = (p00 & 0xFFFFFFFFu) | (mid << 32);
        r.mHi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32) + a.mLo * b.mHi + a.mHi * b.mLo;
        return r;
    }
    friend UInt128 operator+(UInt128 a, UInt128 b)
    {
        UInt128 r;
        r.mLo = a.mLo + b.mLo;
        r.mHi = a.mHi + b.mHi + (r.mLo < a.mLo ? 1 : 0);
        return r;
    }
    friend UInt128 operator>>(UInt128 a, int shift)  // 0 < shift < 128
    {
        UInt128 r;
        if (shift >= 64)
            r.mLo = a.mHi >> (shift - 64);
        else
        {
            r.mLo = (a.mLo >> shift) | (a.mHi << (64 - shift));
            r.mHi = a.mHi >> shift;
        }
        return r;
    }
};
#endif

const uint32_t kKaratsubaThreshold = 16;

uint32_t NormalizedLength(const Digit* d, uint32_t len)
{
    while (len > 0 && d[len - 1] == 0)
        --len;
    return len;
}

int CompareDigits(const Digit* a, uint32_t la, const Digit* b, uint32_t lb)
{
    if (la != lb)
        return la < lb ? -1 : 1;
    for (uint32_t i = la; i-- > 0;)
    {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// r[0..n) = a + b, returns the carry. r may alias a or b.
Digit AddDigits(Digit* r, const Digit* a, const Digit* b, uint32_t n)
{
    DDigit carry = 0;
    for (uint32_t i = 0; i < n; ++i)
    {
        carry += static_cast<DDigit>(a[i]) + b[i];
        r[i] = static_cast<Digit>(carry);
        carry >>= 32;
    }
    return static_cast<Digit>(carry);
}

// r[0..n) = a - b, returns the borrow. r may alias a or b.
Digit SubDigits(Digit* r, const Digit* a, const Digit* b, uint32_t n)
{
    Digit borrow = 0;
    for (uint32_t i = 0; i < n; ++i)
    {
        const DDigit d = static_cast<DDigit>(a[i]) - b[i] - borrow;
        r[i] = static_cast<Digit>(d);
        borrow = static_cast<Digit>(d >> 63);
    }
    return borrow;
}

// Adds carry into r[0..n), returns what is left over.
Digit PropagateCarry(Digit* r, uint32_t n, Digit carry)
{
    for (uint32_t i = 0; i < n && carry; ++i)
    {
        r[i] += carry;
        carry = r[i] < carry ? 1 : 0;
    }
    return carry;
}

// r[0..n) += a[0..n) * m, returns the carry word.
Digit MulAddRow(Digit* r, const Digit* a, uint32_t n, Digit m)
{
    DDigit carry = 0;
    for (uint32_t i = 0; i < n; ++i)
    {
        carry += static_cast<DDigit>(a[i]) * m + r[i];
        r[i] = static_cast<Digit>(carry);
        carry >>= 32;
    }
    return static_cast<Digit>(carry);
}

// r[0..la+lb) = a * b; r must not overlap a or b.
void SchoolMul(Digit* r, const Digit* a, uint32_t la, const Digit* b, uint32_t lb)
{
    std::memset(r, 0, sizeof(Digit) * (la + lb));
    if (la < lb)
    {
        std::swap(a, b);
        std::swap(la, lb);
    }
    for (uint32_t j = 0; j < lb; ++j)
        r[j + la] = MulAddRow(r + j, a, la, b[j]);
}

uint32_t KaratsubaWorkspace(uint32_t n)
{
    if (n <= kKaratsubaThreshold)
        return 0;
    const uint32_t hh = n - n / 2;
    return std::max(4 * hh + KaratsubaWorkspace(hh), 6 * hh + 1);
}

// r[0..2n) = a[0..n) * b[0..n); ws holds KaratsubaWorkspace(n) digits.
void Karatsuba(Digit* r, const Digit* a, const Digit* b, uint32_t n, Digit* ws)
{
    if (n <= kKaratsubaThreshold)
    {
        SchoolMul(r, a, n, b, n);
        return;
    }
    const uint32_t h = n / 2;    // low half
    const uint32_t hh = n - h;   // high half, h or h + 1 digits
    Karatsuba(r, a, b, h, ws);
    Karatsuba(r + 2 * h, a + h, b + h, hh, ws);

    Digit* da = ws;
    Digit* db = ws + hh;
    Digit* z1 = ws + 2 * hh;
    Digit* next = ws + 4 * hh;
    // da = |a_lo - a_hi|, db = |b_hi - b_lo|, both hh digits.
    da[hh - 1] = 0;
    std::memcpy(da, a, sizeof(Digit) * h);
    db[hh - 1] = 0;
    std::memcpy(db, b, sizeof(Digit) * h);
    bool negative = false;
    if (CompareDigits(da, hh, a + h, hh) >= 0)
        SubDigits(da, da, a + h, hh);
    else
    {
        SubDigits(da, a + h, da, hh);
        negative = !negative;
    }
    if (CompareDigits(b + h, hh, db, hh) >= 0)
        SubDigits(db, b + h, db, hh);
    else
    {
        SubDigits(db, db, b + h, hh);
        negative = !negative;
    }
    Karatsuba(z1, da, db, hh, next);

    // middle = z0 + z2 ± z1, added at digit h.
    Digit* mid = next;
    const uint32_t ml = 2 * hh + 1;
    std::memcpy(mid, r + 2 * h, sizeof(Digit) * 2 * hh);
    mid[2 * hh] = 0;
    const Digit c0 = AddDigits(mid, mid, r, 2 * h);
    PropagateCarry(mid + 2 * h, ml - 2 * h, c0);
    if (negative)
    {
        const Digit borrow = SubDigits(mid, mid, z1, 2 * hh);
        mid[2 * hh] -= borrow;
    }
    else
    {
        const Digit carry = AddDigits(mid, mid, z1, 2 * hh);
        mid[2 * hh] += carry;
    }
    const uint32_t avail = 2 * n - h;
    const uint32_t addLen = std::min(ml, avail);
    const Digit carry = AddDigits(r + h, r + h, mid, addLen);
    PropagateCarry(r + h + addLen, avail - addLen, carry);
}

// Product of two magnitudes into r (2 * max(la, lb) digits available when
// Karatsuba is used, la + lb otherwise). Returns the number of digits written.
uint32_t MulDigits(Digit* r, const Digit* a, uint32_t la, const Digit* b, uint32_t lb, std::vector<Digit>& ws)
{
    const uint32_t lo = std::min(la, lb), hi = std::max(la, lb);
    if (lo <= kKaratsubaThreshold || hi > 2 * lo || la != lb)
    {
        SchoolMul(r, a, la, b, lb);
        return la + lb;
    }
    const uint32_t need = KaratsubaWorkspace(la);
    if (ws.size() < need)
        ws.resize(need);
    Karatsuba(r, a, b, la, ws.data());
    return 2 * la;
}

int CountLeadingZeros(Digit v)
{
    return v == 0 ? 32 : __builtin_clz(v);
}

int CountTrailingZeros(Digit v)
{
    return v == 0 ? 32 : __builtin_ctz(v);
}

// Scratch digits for one division: on the stack when small.
class ScratchDigits
{
public:
    explicit ScratchDigits(uint32_t n)
    {
        if (n <= sizeof(mStack) / sizeof(mStack[0]))
            mData = mStack;
        else
        {
            mHeap.resize(n);
            mData = mHeap.data();
        }
    }
    Digit* Get() { return mData; }

private:
    Digit mStack[320];
    std::vector<Digit> mHeap;
    Digit* mData;
};

} // namespace

// ---------------------------------------------------------------------------
// Storage

BigInteger::BigInteger() : mDigits(mInline), mCapacity(4), mLength(0), mNegative(false)
{
    std::memset(mInline, 0, sizeof(mInline));
}

BigInteger::BigInteger(int32_t value) : BigInteger()
{
    if (value != 0)
    {
        mNegative = value < 0;
        mDigits[0] = value < 0 ? static_cast<Digit>(0u - static_cast<uint32_t>(value)) : static_cast<Digit>(value);
        mLength = 1;
    }
}

BigInteger::BigInteger(const BigInteger& other) : BigInteger()
{
    *this = other;
}

BigInteger::BigInteger(BigInteger&& other) noexcept : BigInteger()
{
    *this = std::move(other);
}

BigInteger::BigInteger(const void* data, size_t length) : BigInteger()
{
    fromBinary(data, length);
}

BigInteger::BigInteger(const std::vector<uint8_t>& bytes) : BigInteger()
{
    fromBinary(bytes.data(), bytes.size());
}

BigInteger::BigInteger(uint32_t bits, Randomizer& random) : BigInteger()
{
    const uint32_t bytes = static_cast<uint32_t>((static_cast<uint64_t>(bits) + 7) / 8);
    if (bytes == 0)
        return;
    if (bytes > kMaxDigits * 4)
        throw ArithmeticException("BigInteger: value too large");
    std::vector<uint8_t> buf(bytes);
    random.fill(buf);
    buf[0] &= static_cast<uint8_t>(0xFF >> (8 * bytes - bits));
    fromBinary(buf.data(), buf.size());
}

BigInteger::BigInteger(const char* text) : BigInteger()
{
    fromDecimal(text);
}

BigInteger::~BigInteger()
{
    if (mDigits != mInline)
        delete[] mDigits;
}

BigInteger& BigInteger::operator=(const BigInteger& other)
{
    if (this == &other)
        return *this;
    Reserve(other.mLength, false);
    if (other.mLength)
        std::memcpy(mDigits, other.mDigits, sizeof(Digit) * other.mLength);
    mLength = other.mLength;
    mNegative = other.mNegative;
    return *this;
}

BigInteger& BigInteger::operator=(BigInteger&& other) noexcept
{
    if (this == &other)
        return *this;
    if (other.mDigits != other.mInline && other.mCapacity >= mCapacity)
    {
        if (mDigits != mInline)
            delete[] mDigits;
        mDigits = other.mDigits;
        mCapacity = other.mCapacity;
        other.mDigits = other.mInline;
        other.mCapacity = 4;
    }
    else
    {
        // Fits the storage this object already has.
        if (other.mLength)
            std::memcpy(mDigits, other.mDigits, sizeof(Digit) * other.mLength);
    }
    mLength = other.mLength;
    mNegative = other.mNegative;
    other.mLength = 0;
    other.mNegative = false;
    return *this;
}

void BigInteger::Reserve(uint32_t n, bool keep)
{
    if (n <= mCapacity)
        return;
    if (n > kMaxDigits)
        throw ArithmeticException("BigInteger: value too large");
    Digit* digits = new Digit[n];
    std::memset(digits, 0, sizeof(Digit) * n);
    if (keep && mLength)
        std::memcpy(digits, mDigits, sizeof(Digit) * mLength);
    if (mDigits != mInline)
        delete[] mDigits;
    mDigits = digits;
    mCapacity = static_cast<uint16_t>(n);
}

void BigInteger::Normalize()
{
    mLength = static_cast<uint16_t>(NormalizedLength(mDigits, mLength));
}

const BigInteger& BigInteger::Zero()
{
    static const BigInteger zero;
    return zero;
}

const BigInteger& BigInteger::One()
{
    static const BigInteger one(1);
    return one;
}

// ---------------------------------------------------------------------------
// Conversions

void BigInteger::fromBinary(const void* data, size_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    mNegative = false;
    mLength = 0;
    if (!p)
        return;
    while (length > 0 && *p == 0)
    {
        ++p;
        --length;
    }
    if (length == 0)
        return;
    const size_t digits = (length + 3) / 4;
    if (digits > kMaxDigits)
        throw ArithmeticException("BigInteger: value too large");
    Reserve(static_cast<uint32_t>(digits), false);
    for (size_t i = 0; i < digits; ++i)
        mDigits[i] = 0;
    for (size_t i = 0; i < length; ++i)
    {
        const size_t bytePos = length - 1 - i;   // position from the least significant end
        mDigits[bytePos / 4] |= static_cast<Digit>(p[i]) << (8 * (bytePos % 4));
    }
    mLength = static_cast<uint16_t>(digits);
    Normalize();
}

uint32_t BigInteger::toBinary(std::vector<uint8_t>& out) const
{
    const uint32_t bytes = byteLength();
    out.clear();
    if (bytes == 0)
    {
        out.push_back(0);
        return 0;
    }
    const bool pad = !mNegative && (mDigits[(bytes - 1) / 4] >> (8 * ((bytes - 1) % 4)) & 0x80) != 0;
    out.resize(bytes + (pad ? 1 : 0));
    uint8_t* dst = out.data() + (pad ? 1 : 0);
    if (pad)
        out[0] = 0;
    for (uint32_t i = 0; i < bytes; ++i)
    {
        const uint32_t bytePos = bytes - 1 - i;
        dst[i] = static_cast<uint8_t>(mDigits[bytePos / 4] >> (8 * (bytePos % 4)));
    }
    return bytes;
}

void BigInteger::AddSmall(Digit v)
{
    Reserve(mLength + 1u, true);
    mDigits[mLength] = 0;
    const Digit carry = PropagateCarry(mDigits, mLength + 1u, v);
    (void)carry;
    mLength = static_cast<uint16_t>(mLength + 1);
    Normalize();
}

void BigInteger::MulSmall(Digit v)
{
    if (mLength == 0)
        return;
    Reserve(mLength + 1u, true);
    DDigit carry = 0;
    for (uint32_t i = 0; i < mLength; ++i)
    {
        carry += static_cast<DDigit>(mDigits[i]) * v;
        mDigits[i] = static_cast<Digit>(carry);
        carry >>= 32;
    }
    mDigits[mLength] = static_cast<Digit>(carry);
    mLength = static_cast<uint16_t>(mLength + 1);
    Normalize();
}

BigInteger::Digit BigInteger::DivSmall(Digit v)
{
    DDigit rem = 0;
    for (uint32_t i = mLength; i-- > 0;)
    {
        const DDigit cur = (rem << 32) | mDigits[i];
        mDigits[i] = static_cast<Digit>(cur / v);
        rem = cur % v;
    }
    Normalize();
    return static_cast<Digit>(rem);
}

void BigInteger::fromDecimal(const char* text)
{
    mLength = 0;
    mNegative = false;
    if (!text)
        return;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v')
        ++text;
    size_t run = 0;
    while (text[run] >= '0' && text[run] <= '9')
        ++run;
    size_t pos = 0;
    size_t group = run % 3;
    if (group == 0)
        group = 3;
    while (pos < run)
    {
        Digit value = 0;
        for (size_t i = 0; i < group; ++i)
            value = value * 10 + static_cast<Digit>(text[pos + i] - '0');
        MulSmall(1000);
        AddSmall(value);
        pos += group;
        group = 3;
    }
}

std::string BigInteger::toDecimal() const
{
    if (mLength == 0)
        return "0";
    BigInteger v(*this);
    v.mNegative = false;
    std::string groups;
    while (v.mLength > 0)
    {
        const Digit rem = v.DivSmall(1000);
        char buf[4] = {static_cast<char>('0' + rem / 100), static_cast<char>('0' + rem / 10 % 10),
                       static_cast<char>('0' + rem % 10), 0};
        groups.insert(0, buf, 3);
    }
    const size_t first = groups.find_first_not_of('0');
    std::string out = first == std::string::npos ? std::string("0") : groups.substr(first);
    if (mNegative)
        out.insert(0, 1, '-');
    return out;
}

// ---------------------------------------------------------------------------
// Queries

uint32_t BigInteger::bitLength() const
{
    if (mLength == 0)
        return 0;
    return 32u * (mLength - 1u) + (32u - static_cast<uint32_t>(CountLeadingZeros(mDigits[mLength - 1])));
}

bool BigInteger::testBit(uint32_t i) const
{
    if (i / 32 >= mLength)
        return false;
    return (mDigits[i / 32] >> (i % 32) & 1) != 0;
}

void BigInteger::setBit(uint32_t i)
{
    if (i / 32 >= mLength)
        return;
    mDigits[i / 32] |= static_cast<Digit>(1) << (i % 32);
}

int BigInteger::CompareMagnitude(const BigInteger& a, const BigInteger& b)
{
    return CompareDigits(a.mDigits, a.mLength, b.mDigits, b.mLength);
}

int BigInteger::compare(const BigInteger& a, const BigInteger& b)
{
    const bool an = a.IsNegative(), bn = b.IsNegative();
    if (an != bn)
        return an ? -1 : 1;
    const int c = CompareMagnitude(a, b);
    return an ? -c : c;
}

// ---------------------------------------------------------------------------
// Shifts

void BigInteger::shiftLeft(BigInteger& r, const BigInteger& a, uint32_t k)
{
    if (a.mLength == 0)
    {
        r.mLength = 0;
        return;
    }
    const bool negative = &r == &a ? a.mNegative : r.mNegative;
    const uint32_t words = k / 32, bits = k % 32;
    const uint32_t la = a.mLength;
    const uint64_t newLength = static_cast<uint64_t>(la) + words + 1;
    if (newLength > kMaxDigits + 1ull)
        throw ArithmeticException("BigInteger: value too large");
    r.Reserve(static_cast<uint32_t>(std::min<uint64_t>(newLength, kMaxDigits)), true);
    const Digit* src = a.mDigits;   // valid after Reserve: r's storage kept the digits when r is a
    Digit* dst = r.mDigits;
    if (bits == 0)
    {
        for (uint32_t i = la; i-- > 0;)
            dst[i + words] = src[i];
        if (newLength <= kMaxDigits)
            dst[la + words] = 0;
    }
    else
    {
        Digit top = src[la - 1] >> (32 - bits);
        if (newLength <= kMaxDigits)
            dst[la + words] = top;
        else if (top)
            throw ArithmeticException("BigInteger: value too large");
        for (uint32_t i = la - 1; i > 0; --i)
            dst[i + words] = (src[i] << bits) | (src[i - 1] >> (32 - bits));
        dst[words] = src[0] << bits;
    }
    for (uint32_t i = 0; i < words; ++i)
        dst[i] = 0;
    r.mLength = static_cast<uint16_t>(std::min<uint64_t>(newLength, kMaxDigits));
    r.mNegative = negative;
    r.Normalize();
}

void BigInteger::shiftRight(BigInteger& r, const BigInteger& a, uint32_t k)
{
    const bool negative = &r == &a ? a.mNegative : r.mNegative;
    const uint32_t words = k / 32, bits = k % 32;
    if (words >= a.mLength)
    {
        r.mLength = 0;
        r.mNegative = negative;
        return;
    }
    const uint32_t nl = a.mLength - words;
    r.Reserve(nl, true);
    const Digit* src = a.mDigits;
    Digit* dst = r.mDigits;
    if (bits == 0)
    {
        for (uint32_t i = 0; i < nl; ++i)
            dst[i] = src[i + words];
    }
    else
    {
        for (uint32_t i = 0; i + 1 < nl; ++i)
            dst[i] = (src[i + words] >> bits) | (src[i + words + 1] << (32 - bits));
        dst[nl - 1] = src[nl - 1 + words] >> bits;
    }
    r.mLength = static_cast<uint16_t>(nl);
    r.mNegative = negative;
    r.Normalize();
}

// ---------------------------------------------------------------------------
// Addition and subtraction

void BigInteger::AddMagnitudes(BigInteger& r, const BigInteger& a, const BigInteger& b)
{
    const uint32_t la = a.mLength, lb = b.mLength;
    const uint32_t lmax = std::max(la, lb);
    r.Reserve(lmax + 1, true);
    // After Reserve the digits of a and b are still in place even if r is one of them.
    const BigInteger& lon = la >= lb ? a : b;
    const BigInteger& sho = la >= lb ? b : a;
    const uint32_t ls = sho.mLength;
    Digit carry = AddDigits(r.mDigits, lon.mDigits, sho.mDigits, ls);
    for (uint32_t i = ls; i < lmax; ++i)
    {
        const Digit v = lon.mDigits[i] + carry;
        carry = v < carry ? 1 : 0;
        r.mDigits[i] = v;
    }
    r.mDigits[lmax] = carry;
    r.mLength = static_cast<uint16_t>(lmax + 1);
    r.Normalize();
}

void BigInteger::SubMagnitudes(BigInteger& r, const BigInteger& a, const BigInteger& b, bool signedResult)
{
    const int c = CompareMagnitude(a, b);
    if (c == 0)
    {
        r.mLength = 0;
        r.mNegative = false;
        return;
    }
    const BigInteger& big = c > 0 ? a : b;
    const BigInteger& small = c > 0 ? b : a;
    const uint32_t lb = big.mLength, ls = small.mLength;
    r.Reserve(lb, true);
    Digit borrow = SubDigits(r.mDigits, big.mDigits, small.mDigits, ls);
    for (uint32_t i = ls; i < lb; ++i)
    {
        const Digit v = big.mDigits[i];
        r.mDigits[i] = v - borrow;
        borrow = v < borrow ? 1 : 0;
    }
    r.mLength = static_cast<uint16_t>(lb);
    r.mNegative = c < 0 && signedResult;
    r.Normalize();
}

void BigInteger::add(BigInteger& r, const BigInteger& a, const BigInteger& b)
{
    if (a.mLength == 0)
    {
        r = b;
        return;
    }
    if (b.mLength == 0)
    {
        r = a;
        return;
    }
    const bool an = a.mNegative, bn = b.mNegative;
    if (!an && !bn)
    {
        AddMagnitudes(r, a, b);
        r.mNegative = false;
    }
    else if (!an && bn)
        SubMagnitudes(r, a, b, true);
    else if (an && !bn)
        SubMagnitudes(r, b, a, true);
    else
    {
        AddMagnitudes(r, a, b);
        r.mNegative = true;
    }
}

void BigInteger::sub(BigInteger& r, const BigInteger& a, const BigInteger& b)
{
    if (b.mLength == 0)
    {
        r = a;
        return;
    }
    if (a.mLength == 0)
    {
        const bool negative = !b.mNegative;
        r = b;
        r.mNegative = negative;
        return;
    }
    const bool an = a.mNegative, bn = b.mNegative;
    if (!an && !bn)
        SubMagnitudes(r, a, b, true);
    else if (!an && bn)
    {
        AddMagnitudes(r, a, b);
        r.mNegative = false;
    }
    else if (an && !bn)
    {
        AddMagnitudes(r, a, b);
        r.mNegative = true;
    }
    else
        SubMagnitudes(r, b, a, true);   // -|a| + |b|
}

// ---------------------------------------------------------------------------
// Multiplication and division

void BigInteger::MulInto(BigInteger& r, const BigInteger& a, const BigInteger& b, std::vector<Digit>* workspace)
{
    if (&r == &a || &r == &b)
        throw ArithmeticException("Result must not be either Parameter (a or b)");
    const bool negative = a.mNegative != b.mNegative;
    if (a.mLength == 0 || b.mLength == 0)
    {
        r.mLength = 0;
        r.mNegative = negative;
        return;
    }
    const uint32_t need = static_cast<uint32_t>(a.mLength) + b.mLength;
    if (need > kMaxDigits)
        throw ArithmeticException("BigInteger: value too large");
    r.Reserve(need, false);
    std::vector<Digit> local;
    std::vector<Digit>& ws = workspace ? *workspace : local;
    MulDigits(r.mDigits, a.mDigits, a.mLength, b.mDigits, b.mLength, ws);
    r.mLength = static_cast<uint16_t>(a.mLength + b.mLength);
    r.mNegative = negative;
    r.Normalize();
}

void BigInteger::mul(BigInteger& r, const BigInteger& a, const BigInteger& b)
{
    MulInto(r, a, b, nullptr);
}

// Long division of magnitudes (Knuth's algorithm D); |a| >= |b| > 0.
void BigInteger::DivMagnitudes(BigInteger* q, BigInteger* r, const BigInteger& a, const BigInteger& b)
{
    const uint32_t la = a.mLength, lb = b.mLength;
    if (lb == 1)
    {
        const Digit v = b.mDigits[0];
        ScratchDigits scratch(la);
        Digit* qd = scratch.Get();
        DDigit rem = 0;
        for (uint32_t i = la; i-- > 0;)
        {
            const DDigit cur = (rem << 32) | a.mDigits[i];
            qd[i] = static_cast<Digit>(cur / v);
            rem = cur % v;
        }
        if (q)
        {
            q->Reserve(la, false);
            std::memcpy(q->mDigits, qd, sizeof(Digit) * la);
            q->mLength = static_cast<uint16_t>(la);
            q->Normalize();
        }
        if (r)
        {
            r->Reserve(1, false);
            r->mDigits[0] = static_cast<Digit>(rem);
            r->mLength = 1;
            r->Normalize();
        }
        return;
    }

    // Scratch: normalized divisor (lb), dividend (la + 1), quotient (la - lb + 1).
    const uint32_t lq = la - lb + 1;
    ScratchDigits scratch(lb + la + 1 + lq);
    Digit* vn = scratch.Get();
    Digit* un = vn + lb;
    Digit* qd = un + la + 1;
    const int s = CountLeadingZeros(b.mDigits[lb - 1]);
    if (s > 0)
    {
        for (uint32_t i = lb - 1; i > 0; --i)
            vn[i] = (b.mDigits[i] << s) | (b.mDigits[i - 1] >> (32 - s));
        vn[0] = b.mDigits[0] << s;
        un[la] = a.mDigits[la - 1] >> (32 - s);
        for (uint32_t i = la - 1; i > 0; --i)
            un[i] = (a.mDigits[i] << s) | (a.mDigits[i - 1] >> (32 - s));
        un[0] = a.mDigits[0] << s;
    }
    else
    {
        std::memcpy(vn, b.mDigits, sizeof(Digit) * lb);
        std::memcpy(un, a.mDigits, sizeof(Digit) * la);
        un[la] = 0;
    }

    const DDigit base = static_cast<DDigit>(1) << 32;
    const Digit vTop = vn[lb - 1], vNext = vn[lb - 2];
    for (uint32_t j = lq; j-- > 0;)
    {
        const DDigit num = (static_cast<DDigit>(un[j + lb]) << 32) | un[j + lb - 1];
        DDigit qhat = num / vTop;
        DDigit rhat = num % vTop;
        while (qhat >= base || qhat * vNext > ((rhat << 32) | un[j + lb - 2]))
        {
            --qhat;
            rhat += vTop;
            if (rhat >= base)
                break;
        }
        // un[j .. j+lb] -= qhat * vn
        DDigit carry = 0;
        Digit borrow = 0;
        for (uint32_t i = 0; i < lb; ++i)
        {
            carry += qhat * vn[i];
            const Digit prod = static_cast<Digit>(carry);
            carry >>= 32;
            const Digit u = un[i + j];
            const Digit d = u - prod - borrow;
            borrow = (u < prod || (u - prod) < borrow) ? 1 : 0;
            un[i + j] = d;
        }
        const Digit u = un[j + lb];
        const Digit c = static_cast<Digit>(carry);
        un[j + lb] = u - c - borrow;
        const bool negative = u < c || (u - c) < borrow;
        if (negative)
        {
            --qhat;
            const Digit add = AddDigits(un + j, un + j, vn, lb);
            un[j + lb] += add;
        }
        qd[j] = static_cast<Digit>(qhat);
    }

    if (q)
    {
        q->Reserve(lq, false);
        std::memcpy(q->mDigits, qd, sizeof(Digit) * lq);
        q->mLength = static_cast<uint16_t>(lq);
        q->Normalize();
    }
    if (r)
    {
        r->Reserve(lb, false);
        if (s > 0)
        {
            for (uint32_t i = 0; i + 1 < lb; ++i)
                r->mDigits[i] = (un[i] >> s) | (un[i + 1] << (32 - s));
            r->mDigits[lb - 1] = un[lb - 1] >> s;
        }
        else
            std::memcpy(r->mDigits, un, sizeof(Digit) * lb);
        r->mLength = static_cast<uint16_t>(lb);
        r->Normalize();
    }
}

void BigInteger::div(BigInteger* q, BigInteger* r, const BigInteger& a, const BigInteger& b)
{
    if (b.mLength == 0)
        throw ArithmeticException("div: Divide by zero");
    if (compare(a, b) < 0)
    {
        // Covers every negative dividend below a positive divisor as well.
        if (r && r != &a)
            *r = a;
        if (q)
        {
            q->mLength = 0;
            q->mNegative = false;
        }
        return;
    }
    const bool qNegative = a.mNegative != b.mNegative;
    const bool rNegative = a.IsNegative();
    if (CompareMagnitude(a, b) < 0)
    {
        if (r && r != &a)
            *r = a;
        if (q)
        {
            q->mLength = 0;
            q->mNegative = qNegative;
        }
        return;
    }
    // DivMagnitudes reads a and b fully before it writes q and r; copy when
    // an output aliases an input.
    if (q == &a || q == &b || r == &a || r == &b)
    {
        const BigInteger ca(a), cb(b);
        DivMagnitudes(q, r, ca, cb);
    }
    else
        DivMagnitudes(q, r, a, b);
    if (q)
        q->mNegative = qNegative;
    if (r)
        r->mNegative = rNegative;
}

void BigInteger::mod(BigInteger& r, const BigInteger& a, const BigInteger& m)
{
    if (&r == &m)
        throw ArithmeticException("Result must not be the same object as m");
    if (m.mLength == 0)
        throw ArithmeticException("div: Divide by zero");
    const bool negative = a.IsNegative();
    if (CompareMagnitude(a, m) < 0)
    {
        if (&r != &a)
            r = a;
    }
    else if (&r == &a)
    {
        const BigInteger ca(a);
        DivMagnitudes(nullptr, &r, ca, m);
    }
    else
        DivMagnitudes(nullptr, &r, a, m);
    r.mNegative = false;
    if (negative && r.mLength != 0)
        SubMagnitudes(r, m, r, false);
    else if (r.mLength == 0)
        r.mNegative = false;
}

void BigInteger::pow(BigInteger& r, const BigInteger& a, const BigInteger& e)
{
    BigInteger b(a), result, t;
    if (e.testBit(0))
        result = a;
    else
        result = 1;
    const uint32_t bits = e.bitLength();
    for (uint32_t i = 1; i < bits; ++i)
    {
        mul(t, b, b);
        std::swap(b, t);
        if (e.testBit(i))
        {
            mul(t, result, b);
            std::swap(result, t);
        }
    }
    r = std::move(result);
}

uint16_t BigInteger::computeRecip(BigInteger& recip, const BigInteger& m)
{
    const uint32_t k = m.bitLength();
    BigInteger one(1);
    shiftLeft(one, one, 2 * k);
    div(&recip, nullptr, one, m);
    return static_cast<uint16_t>(k + 1);
}

void BigInteger::ModMulRecipWs(BigInteger& r, const BigInteger& a, const BigInteger& b, const BigInteger& m,
                               const BigInteger& recip, uint16_t recipCount, std::vector<Digit>& workspace,
                               BigInteger& t, BigInteger& q)
{
    const uint32_t k = recipCount > 0 ? recipCount - 1u : 0u;
    MulInto(t, a, b, &workspace);
    shiftRight(q, t, k);
    q.mNegative = t.mNegative;
    MulInto(r, q, recip, &workspace);   // r as a temporary
    shiftRight(q, r, k);
    q.mNegative = r.mNegative;
    MulInto(r, q, m, &workspace);
    sub(r, t, r);
    int corrections = 0;
    while (compare(r, m) >= 0)
    {
        if (++corrections > 3)
            throw ArithmeticException("modMulRecip");
        sub(r, r, m);
    }
}

void BigInteger::modMulRecip(BigInteger& r, const BigInteger& a, const BigInteger& b, const BigInteger& m,
                             const BigInteger& recip, uint16_t recipCount)
{
    std::vector<Digit> ws;
    BigInteger t, q;
    if (&r == &a || &r == &b || &r == &m || &r == &recip)
    {
        BigInteger out;
        ModMulRecipWs(out, a, b, m, recip, recipCount, ws, t, q);
        r = std::move(out);
    }
    else
        ModMulRecipWs(r, a, b, m, recip, recipCount, ws, t, q);
}

// ---------------------------------------------------------------------------
// Modular exponentiation

namespace {

// Montgomery arithmetic over 64-bit limbs for odd moduli. N fixes the limb
// count at compile time for the common key sizes (0: taken at run time).
template <size_t N>
class MontgomeryContext
{
public:
    explicit MontgomeryContext(const std::vector<uint64_t>& m) : mM(m), mN(m.size()), mT(m.size() + 2)
    {
        // -m^-1 mod 2^64 by Newton's iteration.
        uint64_t x = m[0];
        for (int i = 0; i < 6; ++i)
            x *= 2 - m[0] * x;
        mInv = 0 - x;
    }

    size_t Size() const { return mN; }

    // r = a·b·R^-1 mod m, for a, b < m. r may alias a or b.
    void mul(uint64_t* r, const uint64_t* a, const uint64_t* b)
    {
        const size_t n = N ? N : mN;
        const uint64_t* m = mM.data();
        uint64_t* t = mT.data();
        std::memset(t, 0, sizeof(uint64_t) * (n + 2));
        for (size_t i = 0; i < n; ++i)
        {
            const uint64_t bi = b[i];
            uint64_t carry = 0;
            for (size_t j = 0; j < n; ++j)
            {
                const UInt128 s = static_cast<UInt128>(a[j]) * bi + t[j] + carry;
                t[j] = static_cast<uint64_t>(s);
                carry = static_cast<uint64_t>(s >> 64);
            }
            UInt128 s = static_cast<UInt128>(t[n]) + carry;
            t[n] = static_cast<uint64_t>(s);
            t[n + 1] = static_cast<uint64_t>(s >> 64);

            const uint64_t mq = t[0] * mInv;
            s = static_cast<UInt128>(mq) * m[0] + t[0];
            carry = static_cast<uint64_t>(s >> 64);
            for (size_t j = 1; j < n; ++j)
            {
                s = static_cast<UInt128>(mq) * m[j] + t[j] + carry;
                t[j - 1] = static_cast<uint64_t>(s);
                carry = static_cast<uint64_t>(s >> 64);
            }
            s = static_cast<UInt128>(t[n]) + carry;
            t[n - 1] = static_cast<uint64_t>(s);
            t[n] = t[n + 1] + static_cast<uint64_t>(s >> 64);
        }
        finish(r, t);
    }

    // r = a²·R^-1 mod m: the square is formed first (each cross product
    // once), then reduced.
    void Sqr(uint64_t* r, const uint64_t* a)
    {
        const size_t n = N ? N : mN;
        if (mW.size() < 2 * n + 1)
            mW.resize(2 * n + 1);
        uint64_t* w = mW.data();
        std::memset(w, 0, sizeof(uint64_t) * (2 * n + 1));
        for (size_t i = 0; i + 1 < n; ++i)
        {
            const uint64_t ai = a[i];
            uint64_t carry = 0;
            for (size_t j = i + 1; j < n; ++j)
            {
                const UInt128 s = static_cast<UInt128>(ai) * a[j] + w[i + j] + carry;
                w[i + j] = static_cast<uint64_t>(s);
                carry = static_cast<uint64_t>(s >> 64);
            }
            w[i + n] = carry;
        }
        // Double the cross products and add the squares.
        uint64_t top = 0;
        for (size_t i = 0; i < 2 * n; ++i)
        {
            const uint64_t v = w[i];
            w[i] = (v << 1) | top;
            top = v >> 63;
        }
        uint64_t carry = 0;
        for (size_t i = 0; i < n; ++i)
        {
            const UInt128 sq = static_cast<UInt128>(a[i]) * a[i];
            UInt128 s = static_cast<UInt128>(w[2 * i]) + static_cast<uint64_t>(sq) + carry;
            w[2 * i] = static_cast<uint64_t>(s);
            s = static_cast<UInt128>(w[2 * i + 1]) + static_cast<uint64_t>(sq >> 64) + static_cast<uint64_t>(s >> 64);
            w[2 * i + 1] = static_cast<uint64_t>(s);
            carry = static_cast<uint64_t>(s >> 64);
        }
        w[2 * n] = carry;
        Reduce(r, w);
    }

    // r = w·R^-1 mod m for w < m·R (2n + 1 limbs, destroyed).
    void Reduce(uint64_t* r, uint64_t* w)
    {
        const size_t n = N ? N : mN;
        const uint64_t* m = mM.data();
        // The overflow of row i's top limb lands where row i + 1 adds its own.
        uint64_t overflow = 0;
        for (size_t i = 0; i < n; ++i)
        {
            const uint64_t mq = w[i] * mInv;
            uint64_t carry = 0;
            for (size_t j = 0; j < n; ++j)
            {
                const UInt128 s = static_cast<UInt128>(mq) * m[j] + w[i + j] + carry;
                w[i + j] = static_cast<uint64_t>(s);
                carry = static_cast<uint64_t>(s >> 64);
            }
            const UInt128 s = static_cast<UInt128>(w[i + n]) + carry + overflow;
            w[i + n] = static_cast<uint64_t>(s);
            overflow = static_cast<uint64_t>(s >> 64);
        }
        uint64_t* t = mT.data();
        std::memcpy(t, w + n, sizeof(uint64_t) * n);
        t[n] = overflow + w[2 * n];
        finish(r, t);
    }

private:
    // r = t - m when t >= m, else t (t has n + 1 limbs and is below 2m).
    void finish(uint64_t* r, const uint64_t* t)
    {
        const size_t n = N ? N : mN;
        const uint64_t* m = mM.data();
        bool geq = t[n] != 0;
        if (!geq)
        {
            geq = true;
            for (size_t i = n; i-- > 0;)
            {
                if (t[i] != m[i])
                {
                    geq = t[i] > m[i];
                    break;
                }
            }
        }
        if (geq)
        {
            uint64_t borrow = 0;
            for (size_t i = 0; i < n; ++i)
            {
                const uint64_t d = t[i] - m[i] - borrow;
                borrow = (t[i] < m[i] || (t[i] - m[i]) < borrow) ? 1 : 0;
                r[i] = d;
            }
        }
        else if (r != t)
            std::memcpy(r, t, sizeof(uint64_t) * n);
    }

    std::vector<uint64_t> mM;
    size_t mN;
    uint64_t mInv;
    std::vector<uint64_t> mT;
    std::vector<uint64_t> mW;
};

std::vector<uint64_t> ToLimbs(const BigInteger& v, size_t n)
{
    std::vector<uint64_t> out(n, 0);
    for (uint32_t i = 0; i < v.GetLength() && i / 2 < n; ++i)
        out[i / 2] |= static_cast<uint64_t>(v.GetDigit(i)) << (32 * (i % 2));
    return out;
}

uint32_t WindowBits(uint32_t bits)
{
    if (bits > 671)
        return 6;
    if (bits > 239)
        return 5;
    if (bits > 79)
        return 4;
    if (bits > 23)
        return 3;
    return 1;
}

// x = b^e·R^-1 in standard form, for b in Montgomery form (b·R mod m) and e > 0:
// left-to-right sliding windows over a table of odd powers.
template <size_t N>
void MontgomeryPower(std::vector<uint64_t>& x, const std::vector<uint64_t>& mLimbs, const std::vector<uint64_t>& b,
                     const BigInteger& e)
{
    const size_t n = mLimbs.size();
    MontgomeryContext<N> ctx(mLimbs);

    // Odd powers b, b^3, ..., b^(2^w - 1) in Montgomery form.
    const uint32_t ebits = e.bitLength();
    const uint32_t w = WindowBits(ebits);
    const size_t tableSize = static_cast<size_t>(1) << (w - 1);
    std::vector<uint64_t> table(tableSize * n);
    std::memcpy(table.data(), b.data(), sizeof(uint64_t) * n);
    if (tableSize > 1)
    {
        std::vector<uint64_t> b2(n);
        ctx.Sqr(b2.data(), b.data());
        for (size_t i = 1; i < tableSize; ++i)
            ctx.mul(&table[i * n], &table[(i - 1) * n], b2.data());
    }

    x.assign(n, 0);
    bool started = false;
    int32_t i = static_cast<int32_t>(ebits) - 1;
    while (i >= 0)
    {
        if (!e.testBit(static_cast<uint32_t>(i)))
        {
            if (started)
                ctx.Sqr(x.data(), x.data());
            --i;
            continue;
        }
        // The longest window of at most w bits that ends in a set bit.
        int32_t low = std::max<int32_t>(i - static_cast<int32_t>(w) + 1, 0);
        while (!e.testBit(static_cast<uint32_t>(low)))
            ++low;
        uint32_t value = 0;
        for (int32_t j = i; j >= low; --j)
            value = (value << 1) | (e.testBit(static_cast<uint32_t>(j)) ? 1u : 0u);
        const uint64_t* entry = &table[(value >> 1) * n];
        if (started)
        {
            for (int32_t j = i; j >= low; --j)
                ctx.Sqr(x.data(), x.data());
            ctx.mul(x.data(), x.data(), entry);
        }
        else
        {
            std::memcpy(x.data(), entry, sizeof(uint64_t) * n);
            started = true;
        }
        i = low - 1;
    }

    // Out of Montgomery form: x·1·R^-1.
    std::vector<uint64_t> one(n, 0);
    one[0] = 1;
    ctx.mul(x.data(), x.data(), one.data());

}

} // namespace

void BigInteger::ModExpMontgomery(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m)
{
    const size_t n = (m.mLength + 1u) / 2;
    const uint32_t rBits = static_cast<uint32_t>(64 * n);

    // The base in Montgomery form, base·R mod m.
    BigInteger t;
    mod(t, base, m);
    shiftLeft(t, t, rBits);
    mod(t, t, m);
    std::vector<uint64_t> b = ToLimbs(t, n);

    std::vector<uint64_t> x;
    const std::vector<uint64_t> limbs = ToLimbs(m, n);
    switch (n)
    {
    case 16: MontgomeryPower<16>(x, limbs, b, e); break;
    case 32: MontgomeryPower<32>(x, limbs, b, e); break;
    default: MontgomeryPower<0>(x, limbs, b, e); break;
    }

    r.Reserve(static_cast<uint32_t>(2 * n), false);
    for (size_t k = 0; k < n; ++k)
    {
        r.mDigits[2 * k] = static_cast<Digit>(x[k]);
        r.mDigits[2 * k + 1] = static_cast<Digit>(x[k] >> 32);
    }
    r.mLength = static_cast<uint16_t>(std::min<size_t>(2 * n, kMaxDigits));
    r.mNegative = false;
    r.Normalize();
}

void BigInteger::ModExpBarrett(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m,
                               const BigInteger& recip, uint16_t recipCount)
{
    std::vector<Digit> ws(6u * m.mLength + 64u);
    BigInteger b, result, tmp, t, q;
    mod(b, base, m);
    if (e.testBit(0))
        result = b;
    else
        result = 1;
    const uint32_t bits = e.bitLength();
    for (uint32_t i = 1; i < bits; ++i)
    {
        ModMulRecipWs(tmp, b, b, m, recip, recipCount, ws, t, q);
        std::swap(b, tmp);
        if (e.testBit(i))
        {
            ModMulRecipWs(tmp, result, b, m, recip, recipCount, ws, t, q);
            std::swap(result, tmp);
        }
    }
    r = std::move(result);
}

void BigInteger::modExp(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m,
                        const BigInteger& recip, uint16_t recipCount)
{
    if (m.mLength == 0)
        throw ArithmeticException("div: Divide by zero");
    BigInteger result;
    if (e.mLength == 0)
        result = 1;
    else if (!m.mNegative && m.IsOdd() && !(m.mLength == 1 && m.mDigits[0] == 1))
        ModExpMontgomery(result, base, e, m);
    else
        ModExpBarrett(result, base, e, m, recip, recipCount);
    // 1 mod 1 is 0.
    if (m.mLength == 1 && m.mDigits[0] == 1)
        result = 0;
    if (e.IsNegative())
        inverseModN(result, result, m);
    r = std::move(result);
}

void BigInteger::modExp(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m)
{
    if (m.mLength == 0)
        throw ArithmeticException("div: Divide by zero");
    BigInteger recip;
    uint16_t count = 0;
    // Montgomery needs no reciprocal; the other moduli take the Barrett path.
    if (e.mLength != 0 && !(!m.mNegative && m.IsOdd()))
        count = computeRecip(recip, m);
    modExp(r, base, e, m, recip, count);
}

// ---------------------------------------------------------------------------
// Inverse and gcd

void BigInteger::inverseModN(BigInteger& r, const BigInteger& a, const BigInteger& n)
{
    if (a.IsNegative() || n.IsNegative())
        throw ArithmeticException("inverseModN");
    BigInteger r0(a), r1(n), s0(1), s1(0), q, rem, prod, ns;
    while (r1.mLength != 0)
    {
        div(&q, &rem, r0, r1);
        mul(prod, q, s1);
        sub(ns, s0, prod);
        std::swap(r0, r1);
        std::swap(r1, rem);
        std::swap(s0, s1);
        std::swap(s1, ns);
    }
    if (s0.IsNegative())
        add(s0, s0, n);
    r = std::move(s0);
}

void BigInteger::gcd(BigInteger& r, const BigInteger& a, const BigInteger& b)
{
    // Binary gcd on the magnitudes: strip common factors of two, then keep
    // subtracting the smaller odd value from the larger.
    BigInteger u(a), v(b);
    u.mNegative = false;
    v.mNegative = false;
    if (u.mLength == 0 || v.mLength == 0)
    {
        r = u.mLength == 0 ? std::move(v) : std::move(u);
        return;
    }
    auto trailingZeros = [](const BigInteger& x) {
        uint32_t i = 0;
        while (x.mDigits[i] == 0)
            ++i;
        return 32 * i + static_cast<uint32_t>(CountTrailingZeros(x.mDigits[i]));
    };
    const uint32_t tu = trailingZeros(u), tv = trailingZeros(v);
    const uint32_t shifts = std::min(tu, tv);
    shiftRight(u, u, tu);
    shiftRight(v, v, tv);
    while (v.mLength != 0)
    {
        if (CompareMagnitude(u, v) > 0)
            std::swap(u, v);
        SubMagnitudes(v, v, u, false);   // v - u, both odd, v >= u
        if (v.mLength != 0)
            shiftRight(v, v, trailingZeros(v));
    }
    shiftLeft(r, u, shifts);
    r.mNegative = false;
}

// ---------------------------------------------------------------------------
// Value forms

BigInteger BigInteger::operator+(const BigInteger& b) const
{
    BigInteger r;
    add(r, *this, b);
    return r;
}

BigInteger BigInteger::operator-(const BigInteger& b) const
{
    BigInteger r;
    sub(r, *this, b);
    return r;
}

BigInteger BigInteger::operator*(const BigInteger& b) const
{
    BigInteger r;
    mul(r, *this, b);
    return r;
}

BigInteger BigInteger::operator/(const BigInteger& b) const
{
    BigInteger q;
    div(&q, nullptr, *this, b);
    return q;
}

BigInteger& BigInteger::operator<<=(uint32_t k)
{
    shiftLeft(*this, *this, k);
    return *this;
}

BigInteger& BigInteger::operator>>=(uint32_t k)
{
    shiftRight(*this, *this, k);
    return *this;
}

BigInteger BigInteger::mod(const BigInteger& m) const
{
    BigInteger r;
    mod(r, *this, m);
    return r;
}

BigInteger BigInteger::modExp(const BigInteger& e, const BigInteger& m) const
{
    BigInteger r;
    modExp(r, *this, e, m);
    return r;
}

BigInteger BigInteger::modExp(const BigInteger& e, const BigInteger& m, const BigInteger& recip,
                              uint16_t recipCount) const
{
    BigInteger r;
    modExp(r, *this, e, m, recip, recipCount);
    return r;
}

BigInteger BigInteger::modMulRecip(const BigInteger& b, const BigInteger& m, const BigInteger& recip,
                                   uint16_t recipCount) const
{
    BigInteger r;
    modMulRecip(r, *this, b, m, recip, recipCount);
    return r;
}

BigInteger BigInteger::inverseModN(const BigInteger& n) const
{
    BigInteger r;
    inverseModN(r, *this, n);
    return r;
}

BigInteger BigInteger::gcd(const BigInteger& b) const
{
    BigInteger r;
    gcd(r, *this, b);
    return r;
}

BigInteger BigInteger::negate() const
{
    BigInteger r(*this);
    r.mNegative = !mNegative;
    return r;
}

} // namespace QORAPI
