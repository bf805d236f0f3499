// Blowfish: the session cipher. 64-bit blocks, 16 rounds, used in CBC mode
// from a chaining start of eight 0xFF bytes, over a plaintext framed as a
// 4-byte little-endian length, the data and 1 to 8 zero bytes of padding.
//
// Thread safety: none. Encryption and decryption keep their chaining state in the
// object, so one Blowfish object must not be used by two threads at once;
// copies are independent.
#ifndef QORAPI_QORCRYPT_BLOWFISH_H
#define QORAPI_QORCRYPT_BLOWFISH_H

#include "common/ByteBuffer.h"

#include <cstdint>

namespace QORAPI {

class Blowfish
{
public:
    static constexpr uint32_t kMinKeyLength = 5;
    static constexpr uint32_t kMaxKeyLength = 56;

    // No key set.
    Blowfish();
    // A fresh random key of randomKeyLength bytes (see setRandomKey).
    explicit Blowfish(uint32_t randomKeyLength);
    Blowfish(const void* key, uint32_t length);

    // Runs the key schedule. Lengths outside 5 to 56 clear the key and return false.
    bool setKey(const void* key, uint32_t length);
    // A key of length random bytes from a newly seeded Randomizer. A length
    // outside 5 to 56 returns false and leaves the object as it was.
    bool setRandomKey(uint32_t length);

    bool IsKeySet() const { return mKeySet; }
    const uint8_t* getKey() const { return mKey; }
    uint32_t getKeyLength() const { return mKeyLength; }

    // Framed CBC encryption; none when no key is set or the data is too long
    // for the 32-bit signed length field.
    SmartPtr<ByteBuffer> encrypt(const void* data, uint32_t length);
    // The data of a framed ciphertext; none when no key is set, the length is
    // not a positive multiple of 8, or the length field is out of range.
    SmartPtr<ByteBuffer> decrypt(const void* data, uint32_t length);

    // Whether encryption may use processor-specific instructions where the
    // processor has them (the default) or runs the portable code only, for
    // tests and comparisons. Process-wide; the results are the same.
    static void SetPortableOnly(bool portable);

    // One raw block each way with the current key (8 bytes, big-endian halves).
    void EncryptBlock(const uint8_t in[8], uint8_t out[8]) const;
    void DecryptBlock(const uint8_t in[8], uint8_t out[8]) const;

private:
    void EncryptHalves(const uint32_t* p, uint32_t& l, uint32_t& r) const;
    void EncryptWords(uint32_t& l, uint32_t& r) const;
    void DecryptWords(uint32_t& l, uint32_t& r) const;

    uint32_t mS[4][256];
    uint32_t mP[18];          // P-array of the key schedule
    uint32_t mWorkP[18];      // copy used by the data path
    uint8_t mChain[8];        // CBC state of the call in progress
    uint8_t mKey[kMaxKeyLength];
    uint32_t mKeyLength;
    bool mKeySet;
};

} // namespace QORAPI

#endif
