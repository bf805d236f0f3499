// Known answers and framing rules of Blowfish, MD5 and the Randomizer.
#include "QORCrypt/Blowfish.h"
#include "QORCrypt/MD5.h"
#include "QORCrypt/Randomizer.h"
#include "common/Endian.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

std::vector<uint8_t> FromHex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const uint8_t* data, size_t length)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < length; ++i)
    {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::vector<uint8_t> Bytes(const SmartPtr<ByteBuffer>& buf)
{
    return std::vector<uint8_t>(ByteBuffer::DataOf(buf), ByteBuffer::DataOf(buf) + ByteBuffer::LengthOf(buf));
}

Blowfish KeyedCipher()
{
    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    return Blowfish(key, sizeof(key));
}

// The plaintext of a framed ciphertext, decrypted block by block here.
std::vector<uint8_t> RawCbcDecrypt(const Blowfish& bf, const std::vector<uint8_t>& ct)
{
    std::vector<uint8_t> out(ct.size());
    uint8_t chain[8];
    std::memset(chain, 0xFF, 8);
    for (size_t pos = 0; pos < ct.size(); pos += 8)
    {
        bf.DecryptBlock(&ct[pos], &out[pos]);
        for (int i = 0; i < 8; ++i)
            out[pos + i] ^= chain[i];
        std::memcpy(chain, &ct[pos], 8);
    }
    return out;
}

// Encrypts a chosen plaintext frame (length field and all) the way encrypt does.
std::vector<uint8_t> RawCbcEncrypt(const Blowfish& bf, std::vector<uint8_t> pt)
{
    uint8_t chain[8];
    std::memset(chain, 0xFF, 8);
    for (size_t pos = 0; pos < pt.size(); pos += 8)
    {
        for (int i = 0; i < 8; ++i)
            pt[pos + i] ^= chain[i];
        bf.EncryptBlock(&pt[pos], &pt[pos]);
        std::memcpy(chain, &pt[pos], 8);
    }
    return pt;
}

} // namespace

TEST(Blowfish, PublishedEcbVectors)
{
    std::ifstream in(std::string(QORAPI_TEST_DATA_DIR) + "/blowfish_ecb_vectors.txt");
    ASSERT_TRUE(in.good());
    std::string line;
    int count = 0;
    while (std::getline(in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string key, plain, cipher;
        fields >> key >> plain >> cipher;
        const std::vector<uint8_t> k = FromHex(key), p = FromHex(plain), c = FromHex(cipher);
        Blowfish bf;
        ASSERT_TRUE(bf.setKey(k.data(), static_cast<uint32_t>(k.size())));
        uint8_t out[8], back[8];
        bf.EncryptBlock(p.data(), out);
        EXPECT_EQ(ToHex(out, 8), ToHex(c.data(), 8)) << line;
        bf.DecryptBlock(out, back);
        EXPECT_EQ(ToHex(back, 8), ToHex(p.data(), 8)) << line;
        ++count;
    }
    EXPECT_EQ(count, 34);
}

TEST(Blowfish, KeyLengthLimits)
{
    const uint8_t key[57] = {7};
    Blowfish bf;
    EXPECT_FALSE(bf.IsKeySet());
    EXPECT_FALSE(bf.setKey(key, 4));
    EXPECT_FALSE(bf.setKey(key, 57));
    EXPECT_TRUE(bf.setKey(key, 5));
    EXPECT_EQ(bf.getKeyLength(), 5u);
    EXPECT_TRUE(bf.setKey(key, 56));
    EXPECT_EQ(bf.getKeyLength(), 56u);
    // A failed setKey drops the key that was set.
    EXPECT_FALSE(bf.setKey(key, 4));
    EXPECT_FALSE(bf.IsKeySet());
    EXPECT_FALSE(bf.encrypt("x", 1));
}

TEST(Blowfish, RandomKeys)
{
    Blowfish a(8), b(8), bad(4);
    EXPECT_TRUE(a.IsKeySet());
    EXPECT_FALSE(bad.IsKeySet());
    EXPECT_EQ(a.getKeyLength(), 8u);
    EXPECT_NE(0, std::memcmp(a.getKey(), b.getKey(), 8));

    // An out-of-range length leaves the current key alone.
    Blowfish c = KeyedCipher();
    EXPECT_FALSE(c.setRandomKey(57));
    EXPECT_TRUE(c.IsKeySet());
    EXPECT_EQ(c.getKey()[0], 1);
}

TEST(Blowfish, FramingBlockCounts)
{
    Blowfish bf = KeyedCipher();
    const uint8_t data[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    const std::pair<uint32_t, uint32_t> sizes[] = {{0, 8}, {4, 16}, {5, 16}, {11, 16}, {12, 24}};
    for (const auto& c : sizes)
        EXPECT_EQ(ByteBuffer::LengthOf(bf.encrypt(data, c.first)), c.second) << c.first;

    // Four data bytes: the second block is an encrypted block of zeros.
    const std::vector<uint8_t> plain = RawCbcDecrypt(bf, Bytes(bf.encrypt(data, 4)));
    const uint8_t expected[16] = {4, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(plain.data(), expected, 16));
    const std::vector<uint8_t> empty = RawCbcDecrypt(bf, Bytes(bf.encrypt(data, 0)));
    EXPECT_EQ(empty, std::vector<uint8_t>(8, 0));
}

// Encryption with and without the processor-specific round code.
class BlowfishPaths : public testing::TestWithParam<bool>
{
protected:
    void SetUp() override { Blowfish::SetPortableOnly(GetParam()); }
    void TearDown() override { Blowfish::SetPortableOnly(false); }
};

TEST_P(BlowfishPaths, RoundTripAllLengths)
{
    Blowfish bf = KeyedCipher();
    std::vector<uint8_t> data(200);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 5);
    for (uint32_t n = 0; n <= data.size(); ++n)
    {
        SmartPtr<ByteBuffer> ct = bf.encrypt(data.data(), n);
        ASSERT_TRUE(ct);
        ASSERT_EQ(ct->GetLength() % 8, 0u);
        // Block by block: the length field, the data, zero padding.
        std::vector<uint8_t> frame(ct->GetLength(), 0);
        StoreLE32(frame.data(), n);
        std::memcpy(frame.data() + 4, data.data(), n);
        ASSERT_EQ(Bytes(ct), RawCbcEncrypt(bf, frame)) << n;
        SmartPtr<ByteBuffer> pt = bf.decrypt(ct->GetData(), ct->GetLength());
        ASSERT_TRUE(pt) << n;
        ASSERT_EQ(pt->GetLength(), n);
        EXPECT_EQ(0, std::memcmp(pt->GetData(), data.data(), n));
    }
    // Same key, same data, same ciphertext: the chaining always starts afresh.
    EXPECT_TRUE(ByteBuffer::Equal(bf.encrypt(data.data(), 50).Get(), bf.encrypt(data.data(), 50).Get()));
    // A copy carries the key.
    Blowfish copy = bf;
    SmartPtr<ByteBuffer> ct = bf.encrypt(data.data(), 33);
    EXPECT_EQ(ByteBuffer::LengthOf(copy.decrypt(ct->GetData(), ct->GetLength())), 33u);
}

INSTANTIATE_TEST_SUITE_P(Blowfish, BlowfishPaths, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Portable" : "Native"; });

TEST(Blowfish, DecryptRejections)
{
    Blowfish bf = KeyedCipher();
    const uint8_t zeros[16] = {0};
    for (uint32_t n : {0u, 7u, 15u})
        EXPECT_FALSE(bf.decrypt(zeros, n)) << n;
    EXPECT_FALSE(bf.decrypt(nullptr, 8));
    Blowfish nokey;
    EXPECT_FALSE(nokey.decrypt(zeros, 8));

    auto frame = [&](int32_t n, size_t total) {
        std::vector<uint8_t> pt(total, 0xAB);
        StoreLE32(pt.data(), static_cast<uint32_t>(n));
        return RawCbcEncrypt(bf, pt);
    };
    // 16 bytes: a length of 3 leaves 13 bytes of overhead; 12 is the most data.
    // One block: any length 0 to 4 is accepted (no overhead rule below 13 bytes).
    const struct
    {
        int32_t field;
        size_t total;
        int expected;  // data length, or -1 for a rejection
    } cases[] = {{3, 16, -1}, {4, 16, 4}, {12, 16, 12}, {13, 16, -1}, {-1, 16, -1},
                 {INT32_MAX, 16, -1}, {0, 8, 0}, {4, 8, 4}, {5, 8, -1}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.field << " in " << c.total);
        const std::vector<uint8_t> ct = frame(c.field, c.total);
        SmartPtr<ByteBuffer> pt = bf.decrypt(ct.data(), static_cast<uint32_t>(c.total));
        if (c.expected < 0)
        {
            EXPECT_FALSE(pt);
            continue;
        }
        ASSERT_TRUE(pt);
        ASSERT_EQ(pt->GetLength(), static_cast<uint32_t>(c.expected));
        if (c.expected > 0)
        {
            EXPECT_EQ(pt->GetData()[c.expected - 1], 0xAB);
        }
    }
}

TEST(MD5, RfcSuite)
{
    std::ifstream in(std::string(QORAPI_TEST_DATA_DIR) + "/md5_rfc1321.txt");
    ASSERT_TRUE(in.good());
    std::string line;
    int count = 0;
    MD5 md5;
    while (std::getline(in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        const std::string expected = line.substr(0, 32);
        const std::string message = line.size() > 33 ? line.substr(33) : std::string();
        const MD5Digest d = md5.digest(message.data(), message.size());
        EXPECT_EQ(ToHex(d.data(), 16), expected) << message;
        // Byte-at-a-time updates give the same digest.
        for (char c : message)
            md5.update(&c, 1);
        EXPECT_EQ(ToHex(md5.finish().data(), 16), expected) << message;
        ++count;
    }
    EXPECT_EQ(count, 7);
}

TEST(MD5, FinishResetsAndSplitsAgree)
{
    MD5 md5;
    md5.update("abc", 3);
    md5.finish();
    EXPECT_EQ(ToHex(md5.finish().data(), 16), "d41d8cd98f00b204e9800998ecf8427e");

    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i ^ (i >> 3));
    const MD5Digest whole = md5.digest(data);
    // Splits around the 55/56/64-byte padding boundaries and block edges.
    for (size_t split : {1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 999u})
    {
        md5.update(data.data(), split);
        md5.update(data.data() + split, data.size() - split);
        EXPECT_EQ(md5.finish(), whole) << split;
    }
    // Messages whose padding spills into a second block.
    for (size_t n : {55u, 56u, 57u, 63u, 64u})
    {
        MD5 a, b;
        a.update(data.data(), n);
        for (size_t i = 0; i < n; ++i)
            b.update(&data[i], 1);
        EXPECT_EQ(a.finish(), b.finish());
    }
}

TEST(Randomizer, SeededIsDeterministic)
{
    const std::vector<uint8_t> seed = {1, 2, 3, 4, 5};
    Randomizer a(seed), b(seed), c(std::vector<uint8_t>{1, 2, 3, 4, 6});
    std::vector<uint8_t> x(100), y(100), z(100);
    a.fill(x);
    b.fill(y.data(), 30);
    b.fill(y.data() + 30, 70);
    c.fill(z);
    EXPECT_EQ(x, y);
    EXPECT_NE(x, z);

    // The first pool is MD5(MD5(seed) || counter 0).
    MD5 md5;
    const MD5Digest state = md5.digest(seed);
    md5.update(state.data(), 16);
    const uint8_t counter[8] = {0};
    md5.update(counter, 8);
    const MD5Digest pool = md5.finish();
    EXPECT_EQ(0, std::memcmp(x.data(), pool.data(), 16));

    // Seeding with 0 does nothing; another value changes the stream.
    Randomizer d(seed), e(seed);
    d.addSeed(static_cast<uint64_t>(0));
    std::vector<uint8_t> u(16), v(16);
    d.fill(u);
    e.fill(v);
    EXPECT_EQ(u, v);
    d.addSeed(static_cast<uint64_t>(99));
    e.addSeed(static_cast<uint64_t>(98));
    d.fill(u);
    e.fill(v);
    EXPECT_NE(u, v);
}

TEST(Randomizer, DefaultSeedsDifferAndBitsStayInRange)
{
    Randomizer a, b;
    std::vector<uint8_t> x(32), y(32);
    a.fill(x);
    b.fill(y);
    EXPECT_NE(x, y);

    bool seen0 = false, seen1 = false;
    for (int i = 0; i < 200; ++i)
    {
        const uint32_t bit = a.randomBits(1);
        ASSERT_LE(bit, 1u);
        (bit ? seen1 : seen0) = true;
        ASSERT_LT(a.randomBits(7), 128u);
        ASSERT_LT(a.randomBits(17), 1u << 17);
    }
    EXPECT_TRUE(seen0 && seen1);

    // randomBits(32) takes four pool bytes, big-endian.
    const std::vector<uint8_t> seed = {9};
    Randomizer r(seed), s(seed);
    uint8_t bytes[4];
    s.fill(bytes, 4);
    EXPECT_EQ(r.randomBits(32), LoadBE32(bytes));
    uint8_t next;
    s.fill(&next, 1);
    EXPECT_EQ(r.randomBits(8), next);
}
