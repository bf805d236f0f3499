#include "common/RegKey.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;

// Several threads write and read the same keys through their own RegKey
// objects: every read sees either no value or a complete one.
TEST(RegKeyThreads, ConcurrentWritersAndReaders)
{
    std::string temp;
    ASSERT_TRUE(CreateTemporaryDirectory("qorapi-regmt-", temp));
    RegKey::SetStoreRoot(temp);

    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::atomic<int> torn{0};
    std::atomic<int> failedWrites{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([t, &torn, &failedWrites] {
            const bool persistent = (t % 2) == 0;
            const std::string path = persistent ? "Shared\\Disk" : "SharedMem\\Memory";
            RegKey key;
            if (!key.Open(1, path, true, persistent))
            {
                ++failedWrites;
                return;
            }
            for (int i = 0; i < kRounds; ++i)
            {
                const std::string text(static_cast<size_t>(100 + i), static_cast<char>('a' + t));
                if (!key.SetString("Common", text) || !key.SetDWORD("Counter" + std::to_string(t), i))
                    ++failedWrites;
                std::string read;
                if (key.GetString("Common", read) == RegOk)
                {
                    // A complete value is one letter repeated 100 or more times.
                    if (read.size() < 100 || read.find_first_not_of(read[0]) != std::string::npos)
                        ++torn;
                }
                else
                    ++torn;
                RegKey sibling;
                RegKey parent(1, persistent ? "Shared" : "SharedMem");
                parent.GetFirstSubKey(sibling);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(failedWrites.load(), 0);

    for (const char* path : {"Shared\\Disk", "SharedMem\\Memory"})
    {
        RegKey key(1, path);
        ASSERT_TRUE(key.IsOpen()) << path;
        uint32_t last = 0;
        const int first = std::string(path) == "Shared\\Disk" ? 0 : 1;
        for (int t = first; t < kThreads; t += 2)
        {
            EXPECT_EQ(key.GetDWORD("Counter" + std::to_string(t), last), RegOk);
            EXPECT_EQ(last, static_cast<uint32_t>(kRounds - 1));
        }
    }
    RegKey mem(1, "SharedMem");
    EXPECT_TRUE(mem.DeleteSubKey("Memory"));
    RegKey::SetStoreRoot("");
    std::error_code ec;
    std::filesystem::remove_all(temp, ec);
}
