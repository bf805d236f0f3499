// The cryptography from several threads at once: default Randomizers share a
// process-wide seeding counter, and every thread uses its own key objects.
#include "QORCrypt/Blowfish.h"
#include "QORCrypt/ElGamal.h"
#include "QORCrypt/Randomizer.h"
#include "service/KeyGen.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace QORAPI;

TEST(CryptoThreads, ConcurrentSeedingGivesDistinctStreams)
{
    const int kThreads = 4, kPerThread = 50;
    std::vector<std::vector<std::vector<uint8_t>>> outputs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&outputs, t] {
            for (int i = 0; i < kPerThread; ++i)
            {
                Randomizer r;
                std::vector<uint8_t> bytes(16);
                r.fill(bytes);
                outputs[t].push_back(bytes);
                Blowfish bf(8);
                EXPECT_TRUE(bf.IsKeySet());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    std::set<std::vector<uint8_t>> distinct;
    for (const auto& perThread : outputs)
        distinct.insert(perThread.begin(), perThread.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kPerThread));
}

TEST(CryptoThreads, KeyCopiesPerThread)
{
    DLParams params;
    ASSERT_TRUE(KeyGen::LoadFixedParams(params, 1024));
    Randomizer random(std::vector<uint8_t>{3});
    SmartPtr<ElGamal> key = KeyGen::GenerateKeyPair(params, random);
    ASSERT_TRUE(key);
    std::vector<std::thread> threads;
    std::vector<int> verified(3, 0);
    for (int t = 0; t < 3; ++t)
    {
        threads.emplace_back([&key, &verified, t] {
            ElGamal own(*key);
            for (int i = 0; i < 3; ++i)
            {
                const uint8_t msg[2] = {static_cast<uint8_t>(t), static_cast<uint8_t>(i)};
                SmartPtr<ByteBuffer> sig = own.sign(msg, 2);
                if (sig && own.verify(msg, 2, sig->GetData(), sig->GetLength()))
                    ++verified[t];
                SmartPtr<ByteBuffer> ct = own.encrypt(msg, 2);
                SmartPtr<ByteBuffer> pt = ct ? own.decrypt(ct->GetData(), ct->GetLength()) : nullptr;
                EXPECT_EQ(ByteBuffer::LengthOf(pt), 2u);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(verified, (std::vector<int>{3, 3, 3}));
}
