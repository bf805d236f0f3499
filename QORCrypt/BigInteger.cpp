#include "QORCrypt/BigInteger.h"

#include "QORCrypt/Randomizer.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace QORAPI {

namespace {

typedef BigInteger::Digit Digit;
typedef uint64_t DDigit;

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

// Montgomery arithmetic for odd moduli over limbs of the widest word whose
// product the compiler can form: 64 bits where it has a 128-bit type, else 32.
// N fixes the limb count at compile time for 1024-bit moduli, whose loops then
// unroll into straight-line code (0: the count is taken at run time).
//
// Products are summed column by column (product scanning) with the reduction
// folded into the same columns, so the partial result never goes to memory:
// a column's sum lives in three limbs. Squaring forms each cross product once.
#if defined(__SIZEOF_INT128__) && !defined(QORAPI_PORTABLE_LIMBS)
typedef uint64_t Limb;
__extension__ typedef unsigned __int128 WideLimb;
#else
typedef uint32_t Limb;
typedef uint64_t WideLimb;
#endif
const uint32_t kLimbBits = 8 * sizeof(Limb);
const uint32_t kDigitsPerLimb = sizeof(Limb) / sizeof(Digit);

#if defined(__GNUC__) && !defined(__clang__)
#define QOR_UNROLL _Pragma("GCC unroll 16")
#else
#define QOR_UNROLL
#endif

// The running sum of a column and the carries of the ones before it.
struct ColumnSum
{
    WideLimb low = 0;   // the two low limbs
    Limb top = 0;

    void Add(Limb a, Limb b)
    {
        const WideLimb p = static_cast<WideLimb>(a) * b;
        low += p;
        top += low < p ? 1 : 0;
    }
    // Adds x[k]·y[-k] for k in [0, len). Unrolled completely when the length
    // is known at compile time (Fixed), two products a pass otherwise.
    template <bool Fixed>
    void AddProducts(const Limb* x, const Limb* y, size_t len)
    {
        WideLimb l = low;
        Limb t = top;
        size_t k = 0;
        if constexpr (Fixed)
        {
            QOR_UNROLL
            for (; k < len; ++k)
            {
                const WideLimb p = static_cast<WideLimb>(x[k]) * y[-static_cast<ptrdiff_t>(k)];
                l += p;
                t += l < p ? 1 : 0;
            }
        }
        else
        {
            for (; k + 2 <= len; k += 2)
            {
                const WideLimb p0 = static_cast<WideLimb>(x[k]) * y[-static_cast<ptrdiff_t>(k)];
                l += p0;
                t += l < p0 ? 1 : 0;
                const WideLimb p1 = static_cast<WideLimb>(x[k + 1]) * y[-static_cast<ptrdiff_t>(k) - 1];
                l += p1;
                t += l < p1 ? 1 : 0;
            }
            if (k < len)
            {
                const WideLimb p = static_cast<WideLimb>(x[k]) * y[-static_cast<ptrdiff_t>(k)];
                l += p;
                t += l < p ? 1 : 0;
            }
        }
        low = l;
        top = t;
    }
    // Adds 2·x.
    void AddTwice(const ColumnSum& x)
    {
        const WideLimb d = x.low << 1;
        low += d;
        top += static_cast<Limb>(x.top << 1 | static_cast<Limb>(x.low >> (2 * kLimbBits - 1))) + (low < d ? 1 : 0);
    }
    Limb LowLimb() const { return static_cast<Limb>(low); }
    // Hands out the low limb and moves on to the next column.
    Limb Shift()
    {
        const Limb out = static_cast<Limb>(low);
        low = low >> kLimbBits | static_cast<WideLimb>(top) << kLimbBits;
        top = 0;
        return out;
    }
};

template <size_t N>
class MontgomeryContext
{
public:
    explicit MontgomeryContext(const std::vector<Limb>& m) : mM(m), mN(m.size()), mQ(m.size())
    {
        // -m^-1 mod 2^w by Newton's iteration (each step doubles the good bits).
        Limb x = m[0];
        for (int i = 0; i < 6; ++i)
            x *= 2 - m[0] * x;
        mInv = 0 - x;
    }

    // r = a·b·R^-1 mod m, for a, b < m. r may alias a or b: limb k of r is
    // written only after the last column that reads limb k of a and b.
    void mul(Limb* r, const Limb* a, const Limb* b)
    {
        const size_t n = N ? N : mN;
        ColumnSum s;
        if constexpr (N != 0)
        {
            QOR_UNROLL
            for (size_t i = 0; i < n; ++i)
                MulLowColumn(s, a, b, i);
            QOR_UNROLL
            for (size_t i = n; i < 2 * n - 1; ++i)
                r[i - n] = MulHighColumn(s, a, b, i);
        }
        else
        {
            for (size_t i = 0; i < n; ++i)
                MulLowColumn(s, a, b, i);
            for (size_t i = n; i < 2 * n - 1; ++i)
                r[i - n] = MulHighColumn(s, a, b, i);
        }
        r[n - 1] = s.Shift();
        finish(r, s.LowLimb());
    }

    // r = a²·R^-1 mod m: each cross product once, doubled per column.
    void Sqr(Limb* r, const Limb* a)
    {
        const size_t n = N ? N : mN;
        ColumnSum s;
        if constexpr (N != 0)
        {
            QOR_UNROLL
            for (size_t i = 0; i < n; ++i)
                SqrLowColumn(s, a, i);
            QOR_UNROLL
            for (size_t i = n; i < 2 * n - 1; ++i)
                r[i - n] = SqrHighColumn(s, a, i);
        }
        else
        {
            for (size_t i = 0; i < n; ++i)
                SqrLowColumn(s, a, i);
            for (size_t i = n; i < 2 * n - 1; ++i)
                r[i - n] = SqrHighColumn(s, a, i);
        }
        r[n - 1] = s.Shift();
        finish(r, s.LowLimb());
    }

private:
    static constexpr bool kFixed = N != 0;

    // Column i < n of the product: fixes the multiplier q[i] that clears it.
    void MulLowColumn(ColumnSum& s, const Limb* a, const Limb* b, size_t i)
    {
        s.AddProducts<kFixed>(a, b + i, i + 1);
        Reduce(s, i);
    }
    // Column i >= n: limb i - n of the result.
    Limb MulHighColumn(ColumnSum& s, const Limb* a, const Limb* b, size_t i)
    {
        const size_t n = N ? N : mN;
        const size_t j = i - n + 1;
        s.AddProducts<kFixed>(a + j, b + n - 1, 2 * n - 1 - i);
        s.AddProducts<kFixed>(mQ.data() + j, mM.data() + n - 1, 2 * n - 1 - i);
        return s.Shift();
    }
    void SqrLowColumn(ColumnSum& s, const Limb* a, size_t i)
    {
        ColumnSum x;
        x.AddProducts<kFixed>(a, a + i, (i + 1) / 2);
        s.AddTwice(x);
        if (i % 2 == 0)
            s.Add(a[i / 2], a[i / 2]);
        Reduce(s, i);
    }
    Limb SqrHighColumn(ColumnSum& s, const Limb* a, size_t i)
    {
        const size_t n = N ? N : mN;
        const size_t j = i - n + 1;
        ColumnSum x;
        x.AddProducts<kFixed>(a + j, a + n - 1, (2 * n - 1 - i) / 2);
        s.AddTwice(x);
        if (i % 2 == 0)
            s.Add(a[i / 2], a[i / 2]);
        s.AddProducts<kFixed>(mQ.data() + j, mM.data() + n - 1, 2 * n - 1 - i);
        return s.Shift();
    }
    // Adds the multiples of m the earlier columns chose, then the one that
    // makes column i zero.
    void Reduce(ColumnSum& s, size_t i)
    {
        Limb* q = mQ.data();
        const Limb* m = mM.data();
        s.AddProducts<kFixed>(q, m + i, i);
        q[i] = s.LowLimb() * mInv;
        s.Add(q[i], m[0]);
        s.Shift();
    }

    // r -= m when top:r >= m (top:r is below 2m).
    void finish(Limb* r, Limb top)
    {
        const size_t n = N ? N : mN;
        const Limb* m = mM.data();
        bool geq = top != 0;
        if (!geq)
        {
            geq = true;
            for (size_t i = n; i-- > 0;)
            {
                if (r[i] != m[i])
                {
                    geq = r[i] > m[i];
                    break;
                }
            }
        }
        if (!geq)
            return;
        Limb borrow = 0;
        for (size_t i = 0; i < n; ++i)
        {
            const Limb d = r[i] - m[i];
            const Limb b1 = r[i] < m[i] ? 1 : 0;
            r[i] = d - borrow;
            borrow = b1 | (d < borrow ? 1 : 0);
        }
    }

    std::vector<Limb> mM;
    size_t mN;
    Limb mInv;
    std::vector<Limb> mQ;   // the column multipliers of the call in progress
};

#undef QOR_UNROLL

std::vector<Limb> ToLimbs(const BigInteger& v, size_t n)
{
    std::vector<Limb> out(n, 0);
    for (uint32_t i = 0; i < v.GetLength() && i / kDigitsPerLimb < n; ++i)
        out[i / kDigitsPerLimb] |= static_cast<Limb>(static_cast<Limb>(v.GetDigit(i)) << (32 * (i % kDigitsPerLimb)));
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
void MontgomeryPower(std::vector<Limb>& x, const std::vector<Limb>& mLimbs, const std::vector<Limb>& b,
                     const BigInteger& e)
{
    const size_t n = mLimbs.size();
    MontgomeryContext<N> ctx(mLimbs);

    // Odd powers b, b^3, ..., b^(2^w - 1) in Montgomery form.
    const uint32_t ebits = e.bitLength();
    const uint32_t w = WindowBits(ebits);
    const size_t tableSize = static_cast<size_t>(1) << (w - 1);
    std::vector<Limb> table(tableSize * n);
    std::memcpy(table.data(), b.data(), sizeof(Limb) * n);
    if (tableSize > 1)
    {
        std::vector<Limb> b2(n);
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
        const Limb* entry = &table[(value >> 1) * n];
        if (started)
        {
            for (int32_t j = i; j >= low; --j)
                ctx.Sqr(x.data(), x.data());
            ctx.mul(x.data(), x.data(), entry);
        }
        else
        {
            std::memcpy(x.data(), entry, sizeof(Limb) * n);
            started = true;
        }
        i = low - 1;
    }

    // Out of Montgomery form: x·1·R^-1.
    std::vector<Limb> one(n, 0);
    one[0] = 1;
    ctx.mul(x.data(), x.data(), one.data());
}

} // namespace

void BigInteger::ModExpMontgomery(BigInteger& r, const BigInteger& base, const BigInteger& e, const BigInteger& m)
{
    const size_t n = (m.mLength + kDigitsPerLimb - 1u) / kDigitsPerLimb;
    const uint32_t rBits = static_cast<uint32_t>(kLimbBits * n);

    // The base in Montgomery form, base·R mod m.
    BigInteger t;
    mod(t, base, m);
    shiftLeft(t, t, rBits);
    mod(t, t, m);
    std::vector<Limb> b = ToLimbs(t, n);

    std::vector<Limb> x;
    const std::vector<Limb> limbs = ToLimbs(m, n);
    if (n * kDigitsPerLimb == 32)
        MontgomeryPower<32 / kDigitsPerLimb>(x, limbs, b, e);
    else
        MontgomeryPower<0>(x, limbs, b, e);

    r.Reserve(static_cast<uint32_t>(kDigitsPerLimb * n), false);
    for (size_t k = 0; k < n; ++k)
    {
        for (uint32_t d = 0; d < kDigitsPerLimb; ++d)
            r.mDigits[kDigitsPerLimb * k + d] = static_cast<Digit>(x[k] >> (32 * d));
    }
    r.mLength = static_cast<uint16_t>(std::min<size_t>(kDigitsPerLimb * n, kMaxDigits));
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
