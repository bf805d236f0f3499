// MD5: the RFC 1321 message digest, used by signatures and by the random
// generator. Complete 64-byte blocks are transformed straight from the input.
//
// Thread safety: none; an MD5 object belongs to one thread at a time.
#ifndef QORAPI_QORCRYPT_MD5_H
#define QORAPI_QORCRYPT_MD5_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace QORAPI {

typedef std::array<uint8_t, 16> MD5Digest;

class MD5
{
public:
    MD5() { reset(); }

    // Back to the initial chaining values, nothing hashed.
    void reset();

    void update(const void* data, size_t length);
    void update(const std::vector<uint8_t>& data) { update(data.data(), data.size()); }

    // Pads, returns the digest (chaining words least significant byte first)
    // and resets the object for reuse.
    MD5Digest finish();

    // Absorbs data, then finishes.
    MD5Digest digest(const void* data, size_t length);
    MD5Digest digest(const std::vector<uint8_t>& data) { return digest(data.data(), data.size()); }

private:
    void Transform(const uint8_t* block, size_t blocks);

    uint32_t mState[4];
    uint64_t mBitCount;
    uint8_t mPending[64];
    uint32_t mPendingLength;
};

} // namespace QORAPI

#endif
