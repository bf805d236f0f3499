#include "QORCrypt/Blowfish.h"

#include "QORCrypt/BlowfishTables.h"
#include "QORCrypt/Randomizer.h"
#include "common/Endian.h"

#include <atomic>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define QOR_BF_HAVE_BEXTR 1
#else
#define QOR_BF_HAVE_BEXTR 0
#endif

namespace QORAPI {

// The block functions run in the CBC loops: inlined there, the halves stay in
// registers from one block to the next.
#if defined(__GNUC__)
#define QOR_BF_INLINE inline __attribute__((always_inline))
#else
#define QOR_BF_INLINE inline
#endif

#define QOR_BF_F(x) \
    (((mS[0][(x) >> 24] + mS[1][((x) >> 16) & 0xFF]) ^ mS[2][((x) >> 8) & 0xFF]) + mS[3][(x) & 0xFF])

namespace {

// The CBC encryption loop over a framed plaintext (see encrypt), with the
// chaining value's left word carried without its last whitening. The chaining
// value lives in locals: the output bytes could alias the references, which
// would send it through memory on every block. F is the
// round function over the S-boxes s.
//
// CBC is one chain of dependent blocks, so the loop is arranged for the
// latency of that chain: the blocks between the first (which holds the
// length field) and the last (which holds the padding) are read straight
// from the data, and every term that does not depend on the block before
// is folded in ahead of it.
#define QOR_BF_CBC_ENCRYPT(F)                                                                        \
    const uint32_t p0p17 = p[0] ^ p[17];                                                             \
    uint32_t cl = chainL, cr = chainR;                                                               \
    const uint32_t framed = length + 4;                                                              \
    uint8_t edge[8];                                                                                 \
    for (uint32_t pos = 0; pos < total; pos += 8)                                                    \
    {                                                                                                \
        const uint8_t* src = edge;                                                                   \
        if (pos != 0 && pos + 8 <= framed)                                                           \
            src = in + (pos - 4);                                                                    \
        else                                                                                         \
        {                                                                                            \
            for (uint32_t i = 0; i < 8; ++i)                                                         \
            {                                                                                        \
                const uint32_t at = pos + i;                                                         \
                edge[i] = at < 4 ? static_cast<uint8_t>(length >> (8 * at)) : at < framed ? in[at - 4] : 0; \
            }                                                                                        \
        }                                                                                            \
        uint32_t xl = (LoadBE32(src) ^ p0p17) ^ cl;                                                  \
        uint32_t xr = (LoadBE32(src + 4) ^ p[1]) ^ cr;                                               \
        xr ^= F(xl);                                                                                 \
        xl ^= F(xr) ^ p[2];                                                                          \
        xr ^= F(xl) ^ p[3];                                                                          \
        xl ^= F(xr) ^ p[4];                                                                          \
        xr ^= F(xl) ^ p[5];                                                                          \
        xl ^= F(xr) ^ p[6];                                                                          \
        xr ^= F(xl) ^ p[7];                                                                          \
        xl ^= F(xr) ^ p[8];                                                                          \
        xr ^= F(xl) ^ p[9];                                                                          \
        xl ^= F(xr) ^ p[10];                                                                         \
        xr ^= F(xl) ^ p[11];                                                                         \
        xl ^= F(xr) ^ p[12];                                                                         \
        xr ^= F(xl) ^ p[13];                                                                         \
        xl ^= F(xr) ^ p[14];                                                                         \
        xr ^= F(xl) ^ p[15];                                                                         \
        xl ^= F(xr) ^ p[16];                                                                         \
        cl = xr;                                                                                     \
        cr = xl;                                                                                     \
        StoreBE32(out + pos, xr ^ p[17]);                                                            \
        StoreBE32(out + pos + 4, xl);                                                                \
    }                                                                                                \
    chainL = cl;                                                                                     \
    chainR = cr;

#define QOR_BF_F_PORTABLE(x) \
    (((s[0][(x) >> 24] + s[1][((x) >> 16) & 0xFF]) ^ s[2][((x) >> 8) & 0xFF]) + s[3][(x) & 0xFF])

void EncryptCbcPortable(const uint32_t (*s)[256], const uint32_t* p, const uint8_t* in, uint32_t length,
                        uint8_t* out, uint32_t total, uint32_t& chainL, uint32_t& chainR)
{
    QOR_BF_CBC_ENCRYPT(QOR_BF_F_PORTABLE)
}

#if QOR_BF_HAVE_BEXTR
// The round's second S-box index is the third byte of its input, which takes
// a shift and a zero extension; BEXTR extracts it in one step, and that step
// lies on the chain from one round to the next. (The 64-bit form gives the
// index its full width at once, with no zero extension after it.)
#define QOR_BF_F_BEXTR(x) \
    (((s[0][(x) >> 24] + s[1][_bextr_u64(static_cast<uint64_t>(x), 16, 8)]) ^ s[2][((x) >> 8) & 0xFF]) + s[3][(x) & 0xFF])

__attribute__((target("bmi"))) void EncryptCbcBextr(const uint32_t (*s)[256], const uint32_t* p,
                                                    const uint8_t* in, uint32_t length, uint8_t* out,
                                                    uint32_t total, uint32_t& chainL, uint32_t& chainR)
{
    QOR_BF_CBC_ENCRYPT(QOR_BF_F_BEXTR)
}

bool HaveBextr()
{
    static const bool have = __builtin_cpu_supports("bmi");
    return have;
}
#endif

std::atomic<bool> gPortableOnly(false);

void EncryptCbc(const uint32_t (*s)[256], const uint32_t* p, const uint8_t* in, uint32_t length, uint8_t* out,
                uint32_t total, uint32_t& cl, uint32_t& cr)
{
#if QOR_BF_HAVE_BEXTR
    if (HaveBextr() && !gPortableOnly.load(std::memory_order_relaxed))
    {
        EncryptCbcBextr(s, p, in, length, out, total, cl, cr);
        return;
    }
#endif
    EncryptCbcPortable(s, p, in, length, out, total, cl, cr);
}

} // namespace

Blowfish::Blowfish() : mKeyLength(0), mKeySet(false)
{
    std::memset(mS, 0, sizeof(mS));
    std::memset(mP, 0, sizeof(mP));
    std::memset(mWorkP, 0, sizeof(mWorkP));
    std::memset(mChain, 0, sizeof(mChain));
    std::memset(mKey, 0, sizeof(mKey));
}

Blowfish::Blowfish(uint32_t randomKeyLength) : Blowfish()
{
    mKeySet = setRandomKey(randomKeyLength);
}

Blowfish::Blowfish(const void* key, uint32_t length) : Blowfish()
{
    setKey(key, length);
}

void Blowfish::EncryptHalves(const uint32_t* p, uint32_t& l, uint32_t& r) const
{
    uint32_t xl = l, xr = r;
    for (int i = 0; i < 16; i += 2)
    {
        xl ^= p[i];
        xr ^= QOR_BF_F(xl);
        xr ^= p[i + 1];
        xl ^= QOR_BF_F(xr);
    }
    xl ^= p[16];
    xr ^= p[17];
    l = xr;
    r = xl;
}

QOR_BF_INLINE void Blowfish::EncryptWords(uint32_t& l, uint32_t& r) const
{
    const uint32_t* p = mWorkP;
    uint32_t xl = l ^ p[0], xr = r;
    xr ^= QOR_BF_F(xl) ^ p[1];
    xl ^= QOR_BF_F(xr) ^ p[2];
    xr ^= QOR_BF_F(xl) ^ p[3];
    xl ^= QOR_BF_F(xr) ^ p[4];
    xr ^= QOR_BF_F(xl) ^ p[5];
    xl ^= QOR_BF_F(xr) ^ p[6];
    xr ^= QOR_BF_F(xl) ^ p[7];
    xl ^= QOR_BF_F(xr) ^ p[8];
    xr ^= QOR_BF_F(xl) ^ p[9];
    xl ^= QOR_BF_F(xr) ^ p[10];
    xr ^= QOR_BF_F(xl) ^ p[11];
    xl ^= QOR_BF_F(xr) ^ p[12];
    xr ^= QOR_BF_F(xl) ^ p[13];
    xl ^= QOR_BF_F(xr) ^ p[14];
    xr ^= QOR_BF_F(xl) ^ p[15];
    xl ^= QOR_BF_F(xr) ^ p[16];
    l = xr ^ p[17];
    r = xl;
}

QOR_BF_INLINE void Blowfish::DecryptWords(uint32_t& l, uint32_t& r) const
{
    const uint32_t* p = mWorkP;
    uint32_t xl = l ^ p[17], xr = r;
    xr ^= QOR_BF_F(xl) ^ p[16];
    xl ^= QOR_BF_F(xr) ^ p[15];
    xr ^= QOR_BF_F(xl) ^ p[14];
    xl ^= QOR_BF_F(xr) ^ p[13];
    xr ^= QOR_BF_F(xl) ^ p[12];
    xl ^= QOR_BF_F(xr) ^ p[11];
    xr ^= QOR_BF_F(xl) ^ p[10];
    xl ^= QOR_BF_F(xr) ^ p[9];
    xr ^= QOR_BF_F(xl) ^ p[8];
    xl ^= QOR_BF_F(xr) ^ p[7];
    xr ^= QOR_BF_F(xl) ^ p[6];
    xl ^= QOR_BF_F(xr) ^ p[5];
    xr ^= QOR_BF_F(xl) ^ p[4];
    xl ^= QOR_BF_F(xr) ^ p[3];
    xr ^= QOR_BF_F(xl) ^ p[2];
    xl ^= QOR_BF_F(xr) ^ p[1];
    l = xr ^ p[0];
    r = xl;
}

void Blowfish::SetPortableOnly(bool portable)
{
    gPortableOnly = portable;
}

bool Blowfish::setKey(const void* key, uint32_t length)
{
    if (length < kMinKeyLength || length > kMaxKeyLength || key == nullptr)
    {
        mKeySet = false;
        return false;
    }
    const uint8_t* k = static_cast<const uint8_t*>(key);
    std::memcpy(mS, kBlowfishInitS, sizeof(mS));
    uint32_t pos = 0;
    for (int i = 0; i < 18; ++i)
    {
        uint32_t word = 0;
        for (int j = 0; j < 4; ++j)
        {
            word = (word << 8) | k[pos];
            if (++pos == length)
                pos = 0;
        }
        mP[i] = kBlowfishInitP[i] ^ word;
    }

    uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2)
    {
        EncryptHalves(mP, l, r);
        mP[i] = l;
        mP[i + 1] = r;
    }
    std::memcpy(mWorkP, mP, sizeof(mWorkP));
    for (int b = 0; b < 4; ++b)
    {
        for (int j = 0; j < 256; j += 2)
        {
            EncryptHalves(mP, l, r);
            mS[b][j] = l;
            mS[b][j + 1] = r;
        }
    }

    std::memcpy(mKey, k, length);
    mKeyLength = length;
    mKeySet = true;
    return true;
}

bool Blowfish::setRandomKey(uint32_t length)
{
    if (length < kMinKeyLength || length > kMaxKeyLength)
        return false;
    uint8_t key[kMaxKeyLength];
    Randomizer random;
    random.fill(key, length);
    return setKey(key, length);
}

void Blowfish::EncryptBlock(const uint8_t in[8], uint8_t out[8]) const
{
    uint32_t l = LoadBE32(in), r = LoadBE32(in + 4);
    EncryptWords(l, r);
    StoreBE32(out, l);
    StoreBE32(out + 4, r);
}

void Blowfish::DecryptBlock(const uint8_t in[8], uint8_t out[8]) const
{
    uint32_t l = LoadBE32(in), r = LoadBE32(in + 4);
    DecryptWords(l, r);
    StoreBE32(out, l);
    StoreBE32(out + 4, r);
}

SmartPtr<ByteBuffer> Blowfish::encrypt(const void* data, uint32_t length)
{
    // The length field is read back as a signed 32-bit value.
    if (!mKeySet || length > 0x7FFFFFF0u || (length > 0 && data == nullptr))
        return nullptr;
    std::memset(mChain, 0xFF, sizeof(mChain));
    const uint8_t* in = static_cast<const uint8_t*>(data);

    const uint32_t framed = length + 4;
    const uint32_t total = framed + (8 - framed % 8);
    uint8_t* out = ByteBuffer::AllocBlock(total);

    const uint32_t* p = mWorkP;
    uint32_t cl = LoadBE32(mChain) ^ p[17], cr = LoadBE32(mChain + 4);
    EncryptCbc(mS, p, in, length, out, total, cl, cr);
    StoreBE32(mChain, cl ^ p[17]);
    StoreBE32(mChain + 4, cr);
    return SmartPtr<ByteBuffer>(new ByteBuffer(out, total, true));
}

SmartPtr<ByteBuffer> Blowfish::decrypt(const void* data, uint32_t length)
{
    if (!mKeySet || length == 0 || length % 8 != 0 || data == nullptr)
        return nullptr;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    std::memset(mChain, 0xFF, sizeof(mChain));

    uint8_t* out = ByteBuffer::AllocBlock(length);
    uint32_t cl = LoadBE32(mChain), cr = LoadBE32(mChain + 4);
    for (uint32_t pos = 0; pos < length; pos += 8)
    {
        const uint32_t il = LoadBE32(in + pos), ir = LoadBE32(in + pos + 4);
        uint32_t l = il, r = ir;
        DecryptWords(l, r);
        StoreBE32(out + pos, l ^ cl);
        StoreBE32(out + pos + 4, r ^ cr);
        cl = il;
        cr = ir;
    }
    StoreBE32(mChain, cl);
    StoreBE32(mChain + 4, cr);

    const int32_t n = static_cast<int32_t>(LoadLE32(out));
    if (n < 0 || static_cast<uint32_t>(n) > length - 4 || (length > 12 && static_cast<uint32_t>(n) < length - 12))
    {
        ByteBuffer::FreeBlock(out);
        return nullptr;
    }
    std::memmove(out, out + 4, static_cast<uint32_t>(n));
    return SmartPtr<ByteBuffer>(new ByteBuffer(out, static_cast<uint32_t>(n), true));
}

} // namespace QORAPI
