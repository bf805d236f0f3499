#include "QORCrypt/MD5.h"

#include "common/Endian.h"

#include <cstring>

namespace QORAPI {

namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Each step is latency-bound on b, the value the step before produced, so the
// terms that do not depend on b are added first. G is written as the sum of
// two disjoint masks, (b & d) + (c & ~d), which leaves one operation on b's
// path instead of three.
#define QOR_MD5_STEP(f, a, b, c, d, x, t, s) \
    a += (x) + (t);                          \
    a += f(b, c, d);                         \
    a = Rotl(a, s) + b;

#define QOR_MD5_STEP_G(a, b, c, d, x, t, s) \
    a += (x) + (t) + ((c) & ~(d));         \
    a += (b) & (d);                        \
    a = Rotl(a, s) + b;

#define QOR_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define QOR_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define QOR_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

} // namespace

void MD5::reset()
{
    mState[0] = 0x67452301u;
    mState[1] = 0xEFCDAB89u;
    mState[2] = 0x98BADCFEu;
    mState[3] = 0x10325476u;
    mBitCount = 0;
    mPendingLength = 0;
}

void MD5::Transform(const uint8_t* block, size_t blocks)
{
    uint32_t a = mState[0], b = mState[1], c = mState[2], d = mState[3];
    for (; blocks > 0; --blocks, block += 64)
    {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = LoadLE32(block + 4 * i);
        const uint32_t sa = a, sb = b, sc = c, sd = d;

        QOR_MD5_STEP(QOR_MD5_F, a, b, c, d, x[0], 0xd76aa478u, 7)
        QOR_MD5_STEP(QOR_MD5_F, d, a, b, c, x[1], 0xe8c7b756u, 12)
        QOR_MD5_STEP(QOR_MD5_F, c, d, a, b, x[2], 0x242070dbu, 17)
        QOR_MD5_STEP(QOR_MD5_F, b, c, d, a, x[3], 0xc1bdceeeu, 22)
        QOR_MD5_STEP(QOR_MD5_F, a, b, c, d, x[4], 0xf57c0fafu, 7)
        QOR_MD5_STEP(QOR_MD5_F, d, a, b, c, x[5], 0x4787c62au, 12)
        QOR_MD5_STEP(QOR_MD5_F, c, d, a, b, x[6], 0xa8304613u, 17)
        QOR_MD5_STEP(QOR_MD5_F, b, c, d, a, x[7], 0xfd469501u, 22)
        QOR_MD5_STEP(QOR_MD5_F, a, b, c, d, x[8], 0x698098d8u, 7)
        QOR_MD5_STEP(QOR_MD5_F, d, a, b, c, x[9], 0x8b44f7afu, 12)
        QOR_MD5_STEP(QOR_MD5_F, c, d, a, b, x[10], 0xffff5bb1u, 17)
        QOR_MD5_STEP(QOR_MD5_F, b, c, d, a, x[11], 0x895cd7beu, 22)
        QOR_MD5_STEP(QOR_MD5_F, a, b, c, d, x[12], 0x6b901122u, 7)
        QOR_MD5_STEP(QOR_MD5_F, d, a, b, c, x[13], 0xfd987193u, 12)
        QOR_MD5_STEP(QOR_MD5_F, c, d, a, b, x[14], 0xa679438eu, 17)
        QOR_MD5_STEP(QOR_MD5_F, b, c, d, a, x[15], 0x49b40821u, 22)

        QOR_MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562u, 5)
        QOR_MD5_STEP_G(d, a, b, c, x[6], 0xc040b340u, 9)
        QOR_MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51u, 14)
        QOR_MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aau, 20)
        QOR_MD5_STEP_G(a, b, c, d, x[5], 0xd62f105du, 5)
        QOR_MD5_STEP_G(d, a, b, c, x[10], 0x02441453u, 9)
        QOR_MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681u, 14)
        QOR_MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8u, 20)
        QOR_MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6u, 5)
        QOR_MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6u, 9)
        QOR_MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87u, 14)
        QOR_MD5_STEP_G(b, c, d, a, x[8], 0x455a14edu, 20)
        QOR_MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905u, 5)
        QOR_MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8u, 9)
        QOR_MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9u, 14)
        QOR_MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8au, 20)

        QOR_MD5_STEP(QOR_MD5_H, a, b, c, d, x[5], 0xfffa3942u, 4)
        QOR_MD5_STEP(QOR_MD5_H, d, a, b, c, x[8], 0x8771f681u, 11)
        QOR_MD5_STEP(QOR_MD5_H, c, d, a, b, x[11], 0x6d9d6122u, 16)
        QOR_MD5_STEP(QOR_MD5_H, b, c, d, a, x[14], 0xfde5380cu, 23)
        QOR_MD5_STEP(QOR_MD5_H, a, b, c, d, x[1], 0xa4beea44u, 4)
        QOR_MD5_STEP(QOR_MD5_H, d, a, b, c, x[4], 0x4bdecfa9u, 11)
        QOR_MD5_STEP(QOR_MD5_H, c, d, a, b, x[7], 0xf6bb4b60u, 16)
        QOR_MD5_STEP(QOR_MD5_H, b, c, d, a, x[10], 0xbebfbc70u, 23)
        QOR_MD5_STEP(QOR_MD5_H, a, b, c, d, x[13], 0x289b7ec6u, 4)
        QOR_MD5_STEP(QOR_MD5_H, d, a, b, c, x[0], 0xeaa127fau, 11)
        QOR_MD5_STEP(QOR_MD5_H, c, d, a, b, x[3], 0xd4ef3085u, 16)
        QOR_MD5_STEP(QOR_MD5_H, b, c, d, a, x[6], 0x04881d05u, 23)
        QOR_MD5_STEP(QOR_MD5_H, a, b, c, d, x[9], 0xd9d4d039u, 4)
        QOR_MD5_STEP(QOR_MD5_H, d, a, b, c, x[12], 0xe6db99e5u, 11)
        QOR_MD5_STEP(QOR_MD5_H, c, d, a, b, x[15], 0x1fa27cf8u, 16)
        QOR_MD5_STEP(QOR_MD5_H, b, c, d, a, x[2], 0xc4ac5665u, 23)

        QOR_MD5_STEP(QOR_MD5_I, a, b, c, d, x[0], 0xf4292244u, 6)
        QOR_MD5_STEP(QOR_MD5_I, d, a, b, c, x[7], 0x432aff97u, 10)
        QOR_MD5_STEP(QOR_MD5_I, c, d, a, b, x[14], 0xab9423a7u, 15)
        QOR_MD5_STEP(QOR_MD5_I, b, c, d, a, x[5], 0xfc93a039u, 21)
        QOR_MD5_STEP(QOR_MD5_I, a, b, c, d, x[12], 0x655b59c3u, 6)
        QOR_MD5_STEP(QOR_MD5_I, d, a, b, c, x[3], 0x8f0ccc92u, 10)
        QOR_MD5_STEP(QOR_MD5_I, c, d, a, b, x[10], 0xffeff47du, 15)
        QOR_MD5_STEP(QOR_MD5_I, b, c, d, a, x[1], 0x85845dd1u, 21)
        QOR_MD5_STEP(QOR_MD5_I, a, b, c, d, x[8], 0x6fa87e4fu, 6)
        QOR_MD5_STEP(QOR_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0u, 10)
        QOR_MD5_STEP(QOR_MD5_I, c, d, a, b, x[6], 0xa3014314u, 15)
        QOR_MD5_STEP(QOR_MD5_I, b, c, d, a, x[13], 0x4e0811a1u, 21)
        QOR_MD5_STEP(QOR_MD5_I, a, b, c, d, x[4], 0xf7537e82u, 6)
        QOR_MD5_STEP(QOR_MD5_I, d, a, b, c, x[11], 0xbd3af235u, 10)
        QOR_MD5_STEP(QOR_MD5_I, c, d, a, b, x[2], 0x2ad7d2bbu, 15)
        QOR_MD5_STEP(QOR_MD5_I, b, c, d, a, x[9], 0xeb86d391u, 21)

        a += sa;
        b += sb;
        c += sc;
        d += sd;
    }
    mState[0] = a;
    mState[1] = b;
    mState[2] = c;
    mState[3] = d;
}

void MD5::update(const void* data, size_t length)
{
    if (length == 0)
        return;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    mBitCount += static_cast<uint64_t>(length) << 3;

    if (mPendingLength > 0)
    {
        const size_t take = length < 64 - mPendingLength ? length : 64 - mPendingLength;
        std::memcpy(mPending + mPendingLength, in, take);
        mPendingLength += static_cast<uint32_t>(take);
        in += take;
        length -= take;
        if (mPendingLength < 64)
            return;
        Transform(mPending, 1);
        mPendingLength = 0;
    }
    const size_t blocks = length / 64;
    if (blocks > 0)
    {
        Transform(in, blocks);
        in += blocks * 64;
        length -= blocks * 64;
    }
    if (length > 0)
    {
        std::memcpy(mPending, in, length);
        mPendingLength = static_cast<uint32_t>(length);
    }
}

MD5Digest MD5::finish()
{
    const uint64_t bits = mBitCount;
    uint8_t pad[72];
    const uint32_t padLength = (mPendingLength < 56 ? 56 : 120) - mPendingLength;
    std::memset(pad, 0, sizeof(pad));
    pad[0] = 0x80;
    StoreLE32(pad + padLength, static_cast<uint32_t>(bits));
    StoreLE32(pad + padLength + 4, static_cast<uint32_t>(bits >> 32));
    update(pad, padLength + 8);

    MD5Digest out;
    for (int i = 0; i < 4; ++i)
        StoreLE32(out.data() + 4 * i, mState[i]);
    reset();
    return out;
}

MD5Digest MD5::digest(const void* data, size_t length)
{
    update(data, length);
    return finish();
}

} // namespace QORAPI
