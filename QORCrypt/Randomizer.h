// Randomizer: a digest-based generator of random bytes. Its state is the MD5
// of everything it was seeded with; each 16-byte pool is MD5(state, counter).
// The default constructor seeds from system readings and the kernel's random
// source; a Randomizer built from an explicit seed is fully deterministic.
//
// Thread safety: none; a Randomizer belongs to one thread at a time. Building
// default Randomizers on several threads at once is safe.
#ifndef QORAPI_QORCRYPT_RANDOMIZER_H
#define QORAPI_QORCRYPT_RANDOMIZER_H

#include "QORCrypt/MD5.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QORAPI {

class Randomizer
{
public:
    // Seeds with freshly gathered entropy.
    Randomizer();
    // Seeds with the given bytes only; the output depends on them alone.
    explicit Randomizer(const std::vector<uint8_t>& seed);
    Randomizer(const void* seed, size_t length);

    // state = MD5(state || seed); the first seeding hashes the seed alone.
    void addSeed(const void* seed, size_t length);
    void addSeed(const std::vector<uint8_t>& seed) { addSeed(seed.data(), seed.size()); }
    // Seeds with the value's 8 bytes, least significant first; 0 does nothing.
    void addSeed(uint64_t value);

    // Overwrites every byte with random bytes.
    void fill(void* data, size_t length);
    void fill(std::vector<uint8_t>& data) { fill(data.data(), data.size()); }

    // A random number of n bits, n from 1 to 32 (clamped to that range).
    uint32_t randomBits(uint32_t n);

    // The 8 bytes of system entropy the default constructor starts from.
    static uint64_t GatherEntropy();

private:
    std::vector<uint8_t> mState;   // empty until the first seeding, then 16 bytes
    MD5 mDigest;
    uint8_t mPool[16];
    uint32_t mPoolLength;          // 0 until the first refill
    uint32_t mPoolPos;
    uint64_t mCounter;
};

} // namespace QORAPI

#endif
