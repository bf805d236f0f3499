// RegKey against the store a program gets by default: the system registry
// where the platform has one (under a key of its own below HKEY_CURRENT_USER,
// removed afterwards), else the folder store in a fresh folder.
#include "common/RegKey.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

const uint32_t kUser = 1;

class RegKeyDefaultStore : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegKey::SetStoreRoot("");
        mHadVariable = GetEnvironmentVariable("QORAPI_REGISTRY_DIR", mSavedVariable);
        if (SysRegAvailable())
            ASSERT_TRUE(SetEnvironmentVariable("QORAPI_REGISTRY_DIR", ""));
        else
        {
            ASSERT_TRUE(CreateTemporaryDirectory("qorapi-regdef-", mTemp));
            ASSERT_TRUE(SetEnvironmentVariable("QORAPI_REGISTRY_DIR", mTemp));
        }
        mBase = "Software\\qorapi-test-" + std::to_string(GetTickCount());
        RegKey base(kUser, mBase, true);
        ASSERT_TRUE(base.IsOpen());
        RegKey sub;
        ASSERT_TRUE(base.GetFirstSubKey(sub));  // a fresh key: no sub-keys
    }
    void TearDown() override
    {
        RegKey software(kUser, "Software");
        RegKey base(kUser, mBase);
        if (base.IsOpen())
            RemoveTree(base);
        if (software.IsOpen())
        {
            EXPECT_TRUE(software.DeleteSubKey(mBase.substr(mBase.find('\\') + 1)));
        }
        SetEnvironmentVariable("QORAPI_REGISTRY_DIR", mHadVariable ? mSavedVariable : "");
        if (!mTemp.empty())
        {
            std::error_code ec;
            std::filesystem::remove_all(mTemp, ec);
        }
    }

    // Deletes every sub-key of key, deepest first.
    static void RemoveTree(RegKey& key)
    {
        std::vector<std::string> names;
        RegKey sub;
        if (!key.GetFirstSubKey(sub))
            do
            {
                RemoveTree(sub);
                names.push_back(sub.GetPath());
            } while (key.GetNextSubKey(sub) == RegOk);
        sub.Close();
        for (const std::string& name : names)
            EXPECT_TRUE(key.DeleteSubKey(name)) << name;
    }

    std::string Path(const std::string& rest) const { return mBase + "\\" + rest; }

    std::string mBase;
    std::string mTemp;
    std::string mSavedVariable;
    bool mHadVariable = false;
};

} // namespace

TEST_F(RegKeyDefaultStore, TypedValuesAndTheirFailures)
{
    RegKey key(kUser, Path("Values"), true);
    ASSERT_TRUE(key.IsOpen());
    const uint8_t blob[] = {0, 1, 0xFF};
    ASSERT_TRUE(key.SetString("Name", "Player"));
    ASSERT_TRUE(key.SetString("", "default"));
    ASSERT_TRUE(key.SetDWORD("Volume", 0xDEADBEEFu));
    ASSERT_TRUE(key.SetBinary("Blob", blob, sizeof(blob)));
    ASSERT_TRUE(key.SetBinary("Empty", nullptr, 0));
    ASSERT_TRUE(key.SetString("Cut", std::string("ab\0cd", 5)));
    ASSERT_TRUE(key.SetValue("Raw", RegTypeString, "xyz", 3));  // no terminator

    std::string s = "old";
    uint32_t d = 7;
    SmartPtr<ByteBuffer> b;
    EXPECT_EQ(key.GetString("NAME", s), RegOk);
    EXPECT_EQ(s, "Player");
    EXPECT_EQ(key.GetString("", s), RegOk);
    EXPECT_EQ(s, "default");
    EXPECT_EQ(key.GetString("Cut", s), RegOk);
    EXPECT_EQ(s, "ab");
    EXPECT_EQ(key.GetString("Raw", s), RegOk);
    EXPECT_EQ(s, "xyz");
    EXPECT_EQ(key.GetDWORD("volume", d), RegOk);
    EXPECT_EQ(d, 0xDEADBEEFu);
    ASSERT_EQ(key.GetBinary("Blob", b), RegOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b->GetData()), b->GetLength()), std::string("\0\1\xFF", 3));

    SmartPtr<ByteBuffer> keep = b;
    EXPECT_EQ(key.GetBinary("Empty", b), RegEmptyValue);
    EXPECT_EQ(b.Get(), keep.Get());
    EXPECT_EQ(key.GetDWORD("Name", d), RegWrongType);
    EXPECT_EQ(d, 0u);
    EXPECT_EQ(key.GetString("Volume", s), RegWrongType);
    EXPECT_EQ(s, "");
    EXPECT_EQ(key.GetBinary("Name", b), RegWrongType);
    EXPECT_EQ(key.GetDWORD("Absent", d), RegNotFound);
    EXPECT_FALSE(key.SetValue("Bad", RegTypeDWORD, "xyz", 3));

    EXPECT_TRUE(key.DeleteValue("NAME"));
    EXPECT_FALSE(key.DeleteValue("Name"));
    EXPECT_EQ(key.GetString("Name", s), RegNotFound);

    // A second object on the same key sees the values, whatever the case of the path.
    RegKey other(kUser, Path("VALUES"));
    ASSERT_TRUE(other.IsOpen());
    EXPECT_EQ(other.GetDWORD("Volume", d), RegOk);
}

TEST_F(RegKeyDefaultStore, OpeningAndSubKeys)
{
    RegKey key;
    EXPECT_FALSE(key.Open(7, Path("X"), true));
    EXPECT_FALSE(key.Open(kUser, Path("Missing")));
    EXPECT_FALSE(key.IsOpen());
    ASSERT_TRUE(key.Open(kUser, Path("Game"), true));
    EXPECT_FALSE(key.OpenSubKey("Nope"));
    EXPECT_EQ(key.GetPath(), Path("Game"));
    ASSERT_TRUE(key.OpenSubKey("Settings\\Audio", true));
    EXPECT_EQ(key.GetPath(), "Settings\\Audio");
    ASSERT_TRUE(key.SetDWORD("x", 1));

    RegKey game(kUser, Path("Game"));
    for (const char* name : {"charlie", "Alpha", "bravo"})
    {
        RegKey sub;
        ASSERT_TRUE(game.OpenSubKeyInto(name, sub, true));
    }
    std::vector<std::string> names;
    RegKey sub;
    ASSERT_FALSE(game.GetFirstSubKey(sub));
    do
        names.push_back(sub.GetPath());
    while (game.GetNextSubKey(sub) == RegOk);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "bravo", "charlie", "Settings"}));
    EXPECT_EQ(game.GetNextSubKey(sub), RegNoMoreItems);

    EXPECT_FALSE(game.DeleteSubKey("Settings"));  // still has a sub-key
    EXPECT_FALSE(game.DeleteSubKey("Absent"));
    EXPECT_FALSE(game.DeleteSubKey(""));
    EXPECT_TRUE(game.DeleteSubKey("settings\\AUDIO"));
    uint32_t x = 5;
    EXPECT_EQ(key.GetDWORD("x", x), RegNotFound);
    EXPECT_FALSE(key.SetDWORD("x", 2));  // a deleted key is not brought back
    RegKey settings;
    ASSERT_TRUE(game.OpenSubKeyInto("Settings", settings));
    EXPECT_TRUE(game.DeleteSubKey(settings));
    EXPECT_FALSE(settings.IsOpen());
    EXPECT_FALSE(RegKey(kUser, Path("Game\\Settings")).IsOpen());
}

TEST_F(RegKeyDefaultStore, ValueKindsAndVolatileKeys)
{
    RegKey key(kUser, Path("Kinds"), true);
    std::string name;
    uint32_t kind = 9;
    EXPECT_TRUE(key.GetFirstValue(name, kind));
    ASSERT_TRUE(key.SetString("s", "text"));
    ASSERT_TRUE(key.SetDWORD("d", 1));
    ASSERT_TRUE(key.SetBinary("b", "x", 1));
    ASSERT_TRUE(key.SetValue("m", RegTypeMultiString, "a\0b\0", 4));
    std::vector<std::pair<std::string, uint32_t>> seen;
    ASSERT_FALSE(key.GetFirstValue(name, kind));
    do
        seen.emplace_back(name, kind);
    while (key.GetNextValue(name, kind) == RegOk);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, uint32_t>>{
                        {"b", RegKindBinary}, {"d", RegKindDWORD}, {"m", RegKindOther}, {"s", RegKindString}}));

    // A key opened as not persistent holds values and only such sub-keys.
    RegKey session;
    ASSERT_TRUE(session.Open(kUser, Path("Kinds\\Session"), true, false));
    ASSERT_TRUE(session.SetDWORD("Id", 42));
    uint32_t id = 0;
    EXPECT_EQ(RegKey(kUser, Path("kinds\\SESSION")).GetDWORD("id", id), RegOk);
    EXPECT_EQ(id, 42u);
    RegKey child;
    EXPECT_FALSE(child.Open(kUser, Path("Kinds\\Session\\Disk"), true, true));
    EXPECT_TRUE(child.Open(kUser, Path("Kinds\\Session\\Mem"), true, false));
}
