#include "common/WSStatus.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;

TEST(StatusNames, FallbackBufferIsPerThread)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kRounds; ++i)
            {
                const int32_t value = (t % 2 == 0) ? 200000 + t * kRounds + i : -2901 - (i % 2);
                const char* text = WSStatusToString(value);
                const std::string expected = (t % 2 == 0) ? std::to_string(value)
                                                          : "DBProxyServ_GameSpecificError" + std::to_string(value);
                if (expected != text)
                    ++failures[t];
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}
