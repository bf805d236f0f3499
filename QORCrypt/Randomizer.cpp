#include "QORCrypt/Randomizer.h"

#include "common/Endian.h"
#include "platform/Entropy.h"
#include "platform/Tick.h"

#include <atomic>
#include <cstring>

namespace QORAPI {

namespace {
// Counts default seedings, so two built in the same instant still differ.
std::atomic<uint32_t> gEntropyCalls{0};
const size_t kSystemRandomBytes = 32;
}

uint64_t Randomizer::GatherEntropy()
{
    const uint32_t calls = gEntropyCalls.fetch_add(1, std::memory_order_relaxed) + 1;

    const DiskSpaceInfo disk = GetDiskSpaceInfo();
    const uint32_t used = disk.totalClusters - disk.freeClusters;
    const uint32_t m = used > disk.freeClusters ? used : disk.freeClusters;
    uint64_t v = static_cast<uint32_t>(m * disk.sectorsPerCluster * disk.bytesPerSector);

    v = (v & ~static_cast<uint64_t>(0xFFFF)) | (GetTickCount() >> 16);
    v ^= GetSystemTimeAsFileTime();
    v += calls;
    return v;
}

Randomizer::Randomizer() : mPoolLength(0), mPoolPos(0), mCounter(0)
{
    uint8_t seed[8 + kSystemRandomBytes];
    std::memset(seed, 0, sizeof(seed));
    const uint64_t v = GatherEntropy();
    StoreLE32(seed, static_cast<uint32_t>(v));
    StoreLE32(seed + 4, static_cast<uint32_t>(v >> 32));
    // The readings above are guessable; the kernel's random bytes are not.
    GetSystemRandomBytes(seed + 8, kSystemRandomBytes);
    addSeed(seed, sizeof(seed));
}

Randomizer::Randomizer(const std::vector<uint8_t>& seed) : Randomizer(seed.data(), seed.size()) {}

Randomizer::Randomizer(const void* seed, size_t length) : mPoolLength(0), mPoolPos(0), mCounter(0)
{
    addSeed(seed, length);
}

void Randomizer::addSeed(const void* seed, size_t length)
{
    if (!mState.empty())
        mDigest.update(mState);
    if (length > 0)
        mDigest.update(seed, length);
    const MD5Digest d = mDigest.finish();
    mState.assign(d.begin(), d.end());
}

void Randomizer::addSeed(uint64_t value)
{
    if (value == 0)
        return;
    uint8_t bytes[8];
    StoreLE32(bytes, static_cast<uint32_t>(value));
    StoreLE32(bytes + 4, static_cast<uint32_t>(value >> 32));
    addSeed(bytes, sizeof(bytes));
}

void Randomizer::fill(void* data, size_t length)
{
    uint8_t* out = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < length; ++i)
    {
        if (mPoolPos >= mPoolLength)
        {
            uint8_t counter[8];
            StoreLE32(counter, static_cast<uint32_t>(mCounter));
            StoreLE32(counter + 4, static_cast<uint32_t>(mCounter >> 32));
            mDigest.update(mState);
            mDigest.update(counter, sizeof(counter));
            const MD5Digest d = mDigest.finish();
            std::memcpy(mPool, d.data(), sizeof(mPool));
            mPoolLength = sizeof(mPool);
            ++mCounter;
            mPoolPos = 0;
        }
        out[i] = mPool[mPoolPos++];
    }
}

uint32_t Randomizer::randomBits(uint32_t n)
{
    if (n < 1)
        n = 1;
    if (n > 32)
        n = 32;
    const uint32_t bytes = (n + 7) / 8;
    uint8_t buf[4];
    fill(buf, bytes);
    uint64_t v = 0;
    for (uint32_t i = 0; i < bytes; ++i)
        v = (v << 8) | buf[i];
    return static_cast<uint32_t>(v >> (8 * bytes - n));
}

} // namespace QORAPI
