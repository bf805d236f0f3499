#include "common/RegKey.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

const uint32_t kUser = 1;

// Every test runs against a fresh store folder, never the user's own registry.
class RegKeyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateTemporaryDirectory("qorapi-reg-", mTemp));
        mRoot = mTemp + "/store";
        RegKey::SetStoreRoot(mRoot);
    }
    void TearDown() override
    {
        RegKey::SetStoreRoot("");
        std::error_code ec;
        std::filesystem::remove_all(mTemp, ec);
    }

    // Writes raw bytes as a file of the store.
    void WriteRaw(const std::string& rel, const std::string& bytes)
    {
        std::ofstream f(mRoot + "/" + rel, std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    static std::string ValueFile(uint32_t type, const std::string& data, int32_t lengthDelta = 0)
    {
        std::string f = "QRV1";
        const uint32_t len = static_cast<uint32_t>(data.size()) + static_cast<uint32_t>(lengthDelta);
        for (uint32_t v : {type, len})
            for (int i = 0; i < 4; ++i)
                f += static_cast<char>((v >> (8 * i)) & 0xFF);
        return f + data;
    }

    std::vector<std::string> SubKeys(RegKey& key)
    {
        std::vector<std::string> names;
        RegKey sub;
        if (key.GetFirstSubKey(sub))
            return names;
        do
            names.push_back(sub.GetPath());
        while (key.GetNextSubKey(sub) == RegOk);
        return names;
    }

    std::vector<std::pair<std::string, uint32_t>> Values(RegKey& key)
    {
        std::vector<std::pair<std::string, uint32_t>> out;
        std::string name;
        uint32_t kind = 99;
        if (key.GetFirstValue(name, kind))
            return out;
        do
            out.emplace_back(name, kind);
        while (key.GetNextValue(name, kind) == RegOk);
        return out;
    }

    using DW = std::pair<RegResult, uint32_t>;
    using ST = std::pair<RegResult, std::string>;
    // Typed reads start from a value that a failed read must clear.
    static DW Dword(RegKey& key, const std::string& name)
    {
        uint32_t d = 77;
        const RegResult r = key.GetDWORD(name, d);
        return {r, d};
    }
    static ST Str(RegKey& key, const std::string& name)
    {
        std::string s = "old";
        const RegResult r = key.GetString(name, s);
        return {r, s};
    }

    std::string mTemp;
    std::string mRoot;
};

} // namespace

// ---- opening ---------------------------------------------------------------------------

TEST_F(RegKeyTest, RootIndexesAndEmptyPaths)
{
    RegKey key;
    EXPECT_FALSE(key.Open(7, "Software", true));
    EXPECT_FALSE(key.IsOpen());
    EXPECT_FALSE(key.Open(0xFFFFFFFFu, "Software", true));
    EXPECT_FALSE(key.Open(kUser, "", true));
    EXPECT_FALSE(key.IsOpen());
    for (uint32_t root = 0; root < 7; ++root)
    {
        RegKey k(root, "Software\\Test", true);
        EXPECT_TRUE(k.IsOpen()) << root;
        EXPECT_EQ(k.GetPath(), "Software\\Test");
        EXPECT_TRUE(std::filesystem::is_directory(mRoot + "/" + std::to_string(root) + "/Software/Test"));
    }
}

TEST_F(RegKeyTest, OpenWithoutCreateNeedsAnExistingKey)
{
    RegKey key;
    EXPECT_FALSE(key.Open(kUser, "Software\\Missing"));
    EXPECT_FALSE(std::filesystem::exists(mRoot + "/1/Software"));
    ASSERT_TRUE(key.Open(kUser, "Software\\Present", true));
    RegKey again;
    EXPECT_TRUE(again.Open(kUser, "Software\\Present"));
}

TEST_F(RegKeyTest, OpenSubKeyReplacesOrLeavesAlone)
{
    RegKey key(kUser, "Software", true);
    ASSERT_TRUE(key.IsOpen());
    EXPECT_FALSE(key.OpenSubKey("Nope"));
    EXPECT_TRUE(key.IsOpen());
    EXPECT_EQ(key.GetPath(), "Software");
    EXPECT_FALSE(key.OpenSubKey(""));
    ASSERT_TRUE(key.OpenSubKey("Game\\Settings", true));
    EXPECT_EQ(key.GetPath(), "Game\\Settings");
    ASSERT_TRUE(key.SetDWORD("x", 1));

    RegKey base(kUser, "Software");
    RegKey dest;
    EXPECT_FALSE(base.OpenSubKeyInto("", dest));
    ASSERT_TRUE(base.OpenSubKeyInto("Game\\Settings", dest));
    EXPECT_EQ(Dword(dest, "x"), DW(RegOk, 1u));
    // A key may open its own sub-key into itself.
    ASSERT_TRUE(base.OpenSubKeyInto("Game", base));
    EXPECT_EQ(base.GetPath(), "Game");

    RegKey closed;
    EXPECT_FALSE(closed.OpenSubKey("Game", true));
    EXPECT_FALSE(closed.OpenSubKeyInto("Game", dest, true));
}

// ---- values ----------------------------------------------------------------------------

TEST_F(RegKeyTest, ValueRoundTrips)
{
    RegKey key(kUser, "Software\\Game", true);
    ASSERT_TRUE(key.SetString("Name", "Player One"));
    ASSERT_TRUE(key.SetString("Empty", ""));
    ASSERT_TRUE(key.SetString("", "default value"));
    ASSERT_TRUE(key.SetDWORD("Volume", 0xDEADBEEFu));
    const uint8_t blob[] = {0, 1, 2, 0xFF};
    ASSERT_TRUE(key.SetBinary("Blob", blob, sizeof(blob)));

    EXPECT_EQ(Str(key, "Name"), ST(RegOk, "Player One"));
    EXPECT_EQ(Str(key, "Empty"), ST(RegOk, ""));
    EXPECT_EQ(Str(key, ""), ST(RegOk, "default value"));
    EXPECT_EQ(Dword(key, "Volume"), DW(RegOk, 0xDEADBEEFu));
    SmartPtr<ByteBuffer> b;
    EXPECT_EQ(key.GetBinary("Blob", b), RegOk);
    ASSERT_EQ(ByteBuffer::LengthOf(b), 4u);
    EXPECT_EQ(b->GetData()[3], 0xFF);

    // Overwriting replaces the value and its type.
    ASSERT_TRUE(key.SetDWORD("Name", 5));
    EXPECT_EQ(Dword(key, "Name"), DW(RegOk, 5u));
    // Deleting ignores case.
    EXPECT_TRUE(key.DeleteValue("NAME"));
    EXPECT_EQ(Dword(key, "Name").first, RegNotFound);
    EXPECT_FALSE(key.DeleteValue("Name"));

    // A string stops at its first zero byte.
    ASSERT_TRUE(key.SetString("Z", std::string("ab\0cd", 5)));
    EXPECT_EQ(Str(key, "Z"), ST(RegOk, "ab"));
    // A stored string without terminator is read whole.
    ASSERT_TRUE(key.SetValue("Raw", RegTypeString, "xyz", 3));
    EXPECT_EQ(Str(key, "Raw"), ST(RegOk, "xyz"));

    // Reading a large value after a small one and back.
    std::vector<uint8_t> big(5000, 0x5A);
    ASSERT_TRUE(key.SetBinary("Big", big.data(), static_cast<uint32_t>(big.size())));
    ASSERT_TRUE(key.SetBinary("Small", "ab", 2));
    EXPECT_EQ(key.GetBinary("Small", b), RegOk);
    EXPECT_EQ(ByteBuffer::LengthOf(b), 2u);
    EXPECT_EQ(key.GetBinary("Big", b), RegOk);
    ASSERT_EQ(ByteBuffer::LengthOf(b), 5000u);
    EXPECT_EQ(b->GetData()[4999], 0x5A);
    EXPECT_EQ(key.GetBinary("Small", b), RegOk);
    EXPECT_EQ(b->ToString(), "ab");
}

TEST_F(RegKeyTest, WrongTypesMissingValuesAndEmptyBinary)
{
    RegKey key(kUser, "Software\\Game", true);
    ASSERT_TRUE(key.SetString("Text", "12"));
    ASSERT_TRUE(key.SetDWORD("Number", 12));
    ASSERT_TRUE(key.SetBinary("Nothing", nullptr, 0));

    EXPECT_EQ(Dword(key, "Text"), DW(RegWrongType, 0u));
    EXPECT_EQ(Str(key, "Number"), ST(RegWrongType, ""));
    SmartPtr<ByteBuffer> keep(new ByteBuffer("keep"));
    SmartPtr<ByteBuffer> b = keep;
    EXPECT_EQ(key.GetBinary("Text", b), RegWrongType);
    EXPECT_EQ(key.GetBinary("Nothing", b), RegEmptyValue);
    EXPECT_EQ(b.Get(), keep.Get());

    EXPECT_EQ(Dword(key, "Absent"), DW(RegNotFound, 0u));
    EXPECT_EQ(Str(key, "Absent").first, RegNotFound);
    EXPECT_EQ(key.GetBinary("Absent", b), RegNotFound);

    EXPECT_FALSE(key.SetBinary("Bad", nullptr, 3));
    EXPECT_FALSE(key.SetValue("Bad", 12, "x", 1));
    EXPECT_FALSE(key.SetValue("Bad", RegTypeDWORD, "xyz", 3));
}

TEST_F(RegKeyTest, ClosedKeyReadsNotFoundAndRefusesWrites)
{
    RegKey key;
    SmartPtr<ByteBuffer> b;
    EXPECT_EQ(Str(key, "a").first, RegNotFound);
    EXPECT_EQ(Dword(key, "a"), DW(RegNotFound, 0u));
    EXPECT_EQ(key.GetBinary("a", b), RegNotFound);
    EXPECT_FALSE(key.SetString("a", "b"));
    EXPECT_FALSE(key.SetDWORD("a", 1));
    EXPECT_FALSE(key.SetBinary("a", "b", 1));
    EXPECT_FALSE(key.DeleteValue("a"));
    EXPECT_FALSE(key.DeleteSubKey("a"));
    RegKey out;
    EXPECT_TRUE(key.GetFirstSubKey(out));
    std::string name;
    uint32_t kind;
    EXPECT_TRUE(key.GetFirstValue(name, kind));
    EXPECT_EQ(key.GetNextValue(name, kind), RegNoMoreItems);
}

// ---- names -----------------------------------------------------------------------------

TEST_F(RegKeyTest, NamesAreCaseInsensitiveAndKeepTheirCase)
{
    RegKey key(kUser, "Software\\MyGame", true);
    ASSERT_TRUE(key.SetDWORD("Volume", 3));
    RegKey other(kUser, "SOFTWARE\\mygame");
    ASSERT_TRUE(other.IsOpen());
    EXPECT_EQ(other.GetPath(), "SOFTWARE\\mygame");
    EXPECT_EQ(Dword(other, "VOLUME"), DW(RegOk, 3u));
    ASSERT_TRUE(other.SetDWORD("volume", 4));
    EXPECT_EQ(Dword(key, "Volume"), DW(RegOk, 4u));
    // Creating with another case opens the existing key; names keep the first case.
    RegKey again(kUser, "software\\MYGAME\\Sub\xE9", true);
    ASSERT_TRUE(again.IsOpen());
    RegKey latin(kUser, "Software\\MyGame\\SUB\xC9");
    EXPECT_TRUE(latin.IsOpen());
    EXPECT_EQ(Values(key), (std::vector<std::pair<std::string, uint32_t>>{{"Volume", RegKindDWORD}}));
    EXPECT_EQ(SubKeys(key), std::vector<std::string>{"Sub\xE9"});
    EXPECT_TRUE(std::filesystem::exists(mRoot + "/1/Software/MyGame/@Volume"));
}

TEST_F(RegKeyTest, HostileNamesAreRefused)
{
    RegKey key;
    const std::string bad[] = {"..", ".", "a\\..\\b", "a\\.", "/etc", "a/b", "\\abs", "a\\\\b", "a\\",
                               std::string("a\0b", 3), "..\\..\\escape"};
    for (const std::string& path : bad)
    {
        EXPECT_FALSE(key.Open(kUser, path, true)) << path;
        EXPECT_FALSE(key.IsOpen());
    }
    ASSERT_TRUE(key.Open(kUser, "Safe", true));
    for (const std::string& path : bad)
        EXPECT_FALSE(key.OpenSubKey(path, true)) << path;
    EXPECT_FALSE(key.SetDWORD("..", 1));
    EXPECT_FALSE(key.SetDWORD("a/b", 1));
    EXPECT_FALSE(key.SetDWORD(std::string("a\0", 2), 1));
    EXPECT_FALSE(key.DeleteSubKey(".."));
    EXPECT_FALSE(key.DeleteSubKey("\\Safe"));
    EXPECT_FALSE(key.OpenSubKey(std::string(300, 'k'), true));
    EXPECT_FALSE(key.SetDWORD(std::string(300, 'v'), 1));
    EXPECT_TRUE(key.SetDWORD(std::string(200, 'v'), 1));
    EXPECT_TRUE(key.DeleteValue(std::string(200, 'v')));

    // Names that look like paths or escapes once on disk stay inside their folder.
    RegKey odd;
    ASSERT_TRUE(odd.Open(kUser, "Safe\\%2e%2e", true));
    ASSERT_TRUE(odd.SetDWORD(".hidden", 1));
    ASSERT_TRUE(odd.SetDWORD("@at", 2));
    ASSERT_TRUE(odd.SetDWORD("back\\slash", 3));
    RegKey dot;
    ASSERT_TRUE(dot.Open(kUser, "Safe\\.config", true));
    RegKey at;
    ASSERT_TRUE(at.Open(kUser, "Safe\\@value", true));
    EXPECT_EQ(SubKeys(key), (std::vector<std::string>{"%2e%2e", ".config", "@value"}));
    auto values = Values(odd);
    ASSERT_EQ(values.size(), 3u);
    std::set<std::string> names;
    for (auto& v : values)
        names.insert(v.first);
    EXPECT_EQ(names, (std::set<std::string>{".hidden", "@at", "back\\slash"}));

    // Nothing was created outside the store's root index folder.
    std::set<std::string> top;
    for (auto& e : std::filesystem::directory_iterator(mTemp))
        top.insert(e.path().filename().string());
    EXPECT_EQ(top, std::set<std::string>{"store"});
    std::set<std::string> roots;
    for (auto& e : std::filesystem::directory_iterator(mRoot))
        roots.insert(e.path().filename().string());
    EXPECT_EQ(roots, std::set<std::string>{"1"});
}

// A name is refused exactly when its folder entry ("@" and the escaped name for
// a value, the escaped name for a key) would be longer than 255 bytes.
TEST_F(RegKeyTest, LongNamesUpToTheEntryLimit)
{
    RegKey key(kUser, "Long", true);
    ASSERT_TRUE(key.IsOpen());
    struct Case
    {
        std::string mName;
        bool mValueFits;
        bool mKeyFits;
    };
    const Case cases[] = {
        {std::string(242, 'v'), true, true},  {std::string(243, 'v'), true, true},
        {std::string(250, 'v'), true, true},  {std::string(254, 'v'), true, true},
        {std::string(255, 'v'), false, true}, {std::string(256, 'v'), false, false},
        {std::string(84, '%'), true, true},   {std::string(85, '%'), false, true},
        {std::string(86, '%'), false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.mName.size());
        EXPECT_EQ(key.SetDWORD(c.mName, 5), c.mValueFits);
        EXPECT_EQ(Dword(key, c.mName), c.mValueFits ? DW(RegOk, 5u) : DW(RegNotFound, 0u));
        EXPECT_EQ(key.DeleteValue(c.mName), c.mValueFits);
        RegKey sub;
        EXPECT_EQ(key.OpenSubKeyInto(c.mName, sub, true), c.mKeyFits);
        EXPECT_EQ(key.DeleteSubKey(c.mName), c.mKeyFits);
    }
    EXPECT_TRUE(Values(key).empty());
    EXPECT_TRUE(SubKeys(key).empty());
}

TEST_F(RegKeyTest, SymbolicLinksInTheStoreAreIgnored)
{
    RegKey key(kUser, "Software", true);
    std::filesystem::create_directories(mTemp + "/outside");
    std::error_code ec;
    std::filesystem::create_directory_symlink(mTemp + "/outside", mRoot + "/1/Software/Link", ec);
    if (ec)
        GTEST_SKIP() << "symbolic links cannot be made here: " << ec.message();
    std::filesystem::create_symlink(mTemp + "/outside/file", mRoot + "/1/Software/@Linked");
    RegKey link;
    EXPECT_FALSE(link.Open(kUser, "Software\\Link"));
    EXPECT_EQ(Dword(key, "Linked").first, RegNotFound);
    EXPECT_TRUE(SubKeys(key).empty());
}

// ---- persistence ----------------------------------------------------------------------

TEST_F(RegKeyTest, ValuesPersistAcrossObjects)
{
    {
        RegKey writer(kUser, "Software\\Game", true);
        ASSERT_TRUE(writer.SetString("Server", "127.0.0.1"));
    }
    RegKey reader(kUser, "Software\\Game");
    EXPECT_EQ(Str(reader, "Server"), ST(RegOk, "127.0.0.1"));

    // The store under another root does not see it.
    std::string otherRoot = mTemp + "/other";
    RegKey::SetStoreRoot(otherRoot);
    RegKey elsewhere;
    EXPECT_FALSE(elsewhere.Open(kUser, "Software\\Game"));
    RegKey::SetStoreRoot(mRoot);
    EXPECT_TRUE(elsewhere.Open(kUser, "Software\\Game"));
}

TEST_F(RegKeyTest, StoreRootFromEnvironment)
{
    std::string savedReg, savedXdg;
    const bool hadReg = GetEnvironmentVariable("QORAPI_REGISTRY_DIR", savedReg);
    const bool hadXdg = GetEnvironmentVariable("XDG_DATA_HOME", savedXdg);
    RegKey::SetStoreRoot("");

    SetEnvironmentVariable("QORAPI_REGISTRY_DIR", mTemp + "/env");
    EXPECT_EQ(RegKey::GetStoreRoot(), mTemp + "/env");
    SetEnvironmentVariable("QORAPI_REGISTRY_DIR", "");
    SetEnvironmentVariable("XDG_DATA_HOME", mTemp + "/xdg");
    EXPECT_EQ(RegKey::GetStoreRoot(), mTemp + "/xdg/qorapi/registry");
    SetEnvironmentVariable("XDG_DATA_HOME", "relative/path");
    std::string home;
    ASSERT_TRUE(GetHomeDirectory(home));
    EXPECT_EQ(RegKey::GetStoreRoot(), home + "/.local/share/qorapi/registry");
    RegKey::SetStoreRoot(mRoot);
    EXPECT_EQ(RegKey::GetStoreRoot(), mRoot);

    SetEnvironmentVariable("QORAPI_REGISTRY_DIR", hadReg ? savedReg : "");
    SetEnvironmentVariable("XDG_DATA_HOME", hadXdg ? savedXdg : "");
}

TEST_F(RegKeyTest, NonPersistentKeysLiveInMemory)
{
    RegKey parent(kUser, "Software\\VolatileTest", true);
    RegKey session;
    ASSERT_TRUE(session.Open(kUser, "Software\\VolatileTest\\Session", true, false));
    ASSERT_TRUE(session.SetDWORD("Id", 42));
    ASSERT_TRUE(session.SetString("Who", "me"));
    EXPECT_FALSE(std::filesystem::exists(mRoot + "/1/Software/VolatileTest/Session"));

    // Visible to other keys of the process, case-insensitively.
    RegKey other(kUser, "software\\volatiletest\\SESSION");
    ASSERT_TRUE(other.IsOpen());
    EXPECT_EQ(Dword(other, "ID"), DW(RegOk, 42u));
    EXPECT_EQ(Values(other), (std::vector<std::pair<std::string, uint32_t>>{{"Id", RegKindDWORD},
                                                                           {"Who", RegKindString}}));
    EXPECT_EQ(SubKeys(parent), std::vector<std::string>{"Session"});

    // A key kept in memory has only such sub-keys.
    RegKey child;
    EXPECT_FALSE(child.Open(kUser, "Software\\VolatileTest\\Session\\Disk", true, true));
    EXPECT_TRUE(child.Open(kUser, "Software\\VolatileTest\\Session\\Mem", true, false));
    // Opening an existing key keeps its kind whatever the flag.
    RegKey reopen(kUser, "Software\\VolatileTest\\Session", true, true);
    EXPECT_FALSE(std::filesystem::exists(mRoot + "/1/Software/VolatileTest/Session"));

    EXPECT_FALSE(parent.DeleteSubKey("Session"));  // still has a sub-key
    EXPECT_TRUE(parent.DeleteSubKey("Session\\Mem"));
    EXPECT_FALSE(parent.DeleteSubKey("VolatileTest"));
    EXPECT_TRUE(parent.DeleteSubKey("Session"));
    EXPECT_FALSE(other.SetDWORD("Id", 1));
    EXPECT_EQ(Dword(other, "Id").first, RegNotFound);
    EXPECT_FALSE(reopen.Open(kUser, "Software\\VolatileTest\\Session"));
    EXPECT_TRUE(SubKeys(parent).empty());

    // Intermediate keys created as not persistent are kept in memory too.
    RegKey deep;
    ASSERT_TRUE(deep.Open(kUser, "VolatileRoot\\A\\B", true, false));
    EXPECT_FALSE(std::filesystem::exists(mRoot + "/1/VolatileRoot"));
    RegKey top(kUser, "VolatileRoot");
    EXPECT_TRUE(top.DeleteSubKey("A\\B"));
    EXPECT_TRUE(top.DeleteSubKey("A"));
}

// ---- enumeration ----------------------------------------------------------------------

TEST_F(RegKeyTest, SubKeyEnumeration)
{
    RegKey key(kUser, "Software\\Enum", true);
    RegKey sub;
    EXPECT_TRUE(key.GetFirstSubKey(sub));
    EXPECT_FALSE(sub.IsOpen());
    for (const char* name : {"charlie", "Alpha", "bravo"})
        ASSERT_TRUE(RegKey(kUser, std::string("Software\\Enum\\") + name, true).IsOpen());

    // Sorted without regard to case; restarting gives the same order; the end stays the end.
    for (int pass = 0; pass < 2; ++pass)
        EXPECT_EQ(SubKeys(key), (std::vector<std::string>{"Alpha", "bravo", "charlie"}));
    EXPECT_EQ(key.GetNextSubKey(sub), RegNoMoreItems);
    EXPECT_EQ(key.GetNextSubKey(sub), RegNoMoreItems);
    // The opened sub-key is usable.
    ASSERT_FALSE(key.GetFirstSubKey(sub));
    EXPECT_EQ(sub.GetPath(), "Alpha");
    ASSERT_TRUE(sub.SetDWORD("v", 1));
    RegKey check(kUser, "Software\\Enum\\Alpha");
    EXPECT_EQ(Dword(check, "v").first, RegOk);
}

TEST_F(RegKeyTest, EnumerationAdvancesPastAnItemThatVanished)
{
    RegKey key(kUser, "Software\\Enum", true);
    for (const char* name : {"a", "b", "c"})
        ASSERT_TRUE(RegKey(kUser, std::string("Software\\Enum\\") + name, true).IsOpen());
    RegKey sub;
    ASSERT_FALSE(key.GetFirstSubKey(sub));
    EXPECT_EQ(sub.GetPath(), "a");
    // Deleting the next item shifts the list; the index moves on regardless.
    EXPECT_TRUE(key.DeleteSubKey("a"));
    EXPECT_EQ(key.GetNextSubKey(sub), RegOk);
    EXPECT_EQ(sub.GetPath(), "c");
    EXPECT_EQ(key.GetNextSubKey(sub), RegNoMoreItems);
}

TEST_F(RegKeyTest, ValueEnumerationKinds)
{
    RegKey key(kUser, "Software\\Values", true);
    std::string name = "unchanged";
    uint32_t kind = 9;
    EXPECT_TRUE(key.GetFirstValue(name, kind));
    ASSERT_TRUE(key.SetString("s", "text"));
    ASSERT_TRUE(key.SetDWORD("d", 1));
    ASSERT_TRUE(key.SetBinary("b", "x", 1));
    ASSERT_TRUE(key.SetValue("m", RegTypeMultiString, "a\0b\0", 4));
    ASSERT_TRUE(key.SetValue("q", RegTypeQWORD, "12345678", 8));
    EXPECT_EQ(Values(key), (std::vector<std::pair<std::string, uint32_t>>{
                               {"b", RegKindBinary}, {"d", RegKindDWORD}, {"m", RegKindOther},
                               {"q", RegKindOther}, {"s", RegKindString}}));
    EXPECT_EQ(Str(key, "m").first, RegWrongType);

    EXPECT_FALSE(key.GetFirstValue(name, kind));
    EXPECT_EQ(name, "b");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(key.GetNextValue(name, kind), RegOk);
    EXPECT_EQ(key.GetNextValue(name, kind), RegNoMoreItems);
    EXPECT_EQ(name, "s");
}

// ---- deletion -------------------------------------------------------------------------

TEST_F(RegKeyTest, DeleteSubKeyByPathAndByKey)
{
    RegKey root(kUser, "Software", true);
    RegKey leaf(kUser, "Software\\Del\\Leaf", true);
    ASSERT_TRUE(leaf.SetString("v", "x"));
    EXPECT_FALSE(root.DeleteSubKey(""));
    EXPECT_FALSE(root.DeleteSubKey("Del"));  // has a sub-key
    EXPECT_FALSE(root.DeleteSubKey("Absent"));
    EXPECT_TRUE(root.DeleteSubKey("DEL\\leaf"));
    EXPECT_FALSE(std::filesystem::exists(mRoot + "/1/Software/Del/Leaf"));
    // The open handle of a deleted key reads nothing and never brings it back.
    EXPECT_EQ(Str(leaf, "v").first, RegNotFound);
    EXPECT_FALSE(leaf.SetString("v", "y"));
    EXPECT_FALSE(std::filesystem::exists(mRoot + "/1/Software/Del/Leaf"));

    RegKey del;
    ASSERT_TRUE(root.OpenSubKeyInto("Del", del));
    EXPECT_TRUE(root.DeleteSubKey(del));
    EXPECT_FALSE(del.IsOpen());
    EXPECT_FALSE(RegKey(kUser, "Software\\Del").IsOpen());

    RegKey closedRoot;
    RegKey some(kUser, "Software\\Some", true);
    EXPECT_FALSE(closedRoot.DeleteSubKey(some));
    EXPECT_TRUE(RegKey(kUser, "Software\\Some").IsOpen());
}

// ---- damaged and foreign files ------------------------------------------------------------

TEST_F(RegKeyTest, DamagedValueFilesReadAsNotFound)
{
    RegKey key(kUser, "Software\\Damaged", true);
    ASSERT_TRUE(key.SetDWORD("Good", 7));
    const std::string dir = "1/Software/Damaged/";
    WriteRaw(dir + "@Truncated", ValueFile(RegTypeDWORD, "\x01\x02\x03\x04").substr(0, 14));
    WriteRaw(dir + "@Garbage", "this is not a value file at all");
    WriteRaw(dir + "@Empty", "");
    WriteRaw(dir + "@BadTag", ValueFile(99, "abcd"));
    WriteRaw(dir + "@ShortDword", ValueFile(RegTypeDWORD, "\x01\x02\x03"));
    WriteRaw(dir + "@LongerThanSaid", ValueFile(RegTypeBinary, "abcdef", -2));
    WriteRaw(dir + "@HugeLength", ValueFile(RegTypeBinary, "ab", 0x7FFFFFF0));
    WriteRaw(dir + "@Bad%zzEscape", ValueFile(RegTypeDWORD, "\x01\x00\x00\x00"));
    WriteRaw(dir + "README", "foreign file");
    std::filesystem::create_directory(mRoot + "/" + dir + "@Folder");

    SmartPtr<ByteBuffer> b;
    for (const char* name : {"Truncated", "Garbage", "Empty", "BadTag", "ShortDword", "LongerThanSaid",
                             "HugeLength", "Bad%zzEscape", "README", "Folder"})
    {
        EXPECT_EQ(Dword(key, name).first, RegNotFound) << name;
        EXPECT_EQ(Str(key, name).first, RegNotFound) << name;
        EXPECT_EQ(key.GetBinary(name, b), RegNotFound) << name;
    }
    EXPECT_EQ(Values(key), (std::vector<std::pair<std::string, uint32_t>>{{"Good", RegKindDWORD}}));
    EXPECT_EQ(Dword(key, "Good"), DW(RegOk, 7u));

    // Writing a value over a damaged file replaces it; the rest stays.
    ASSERT_TRUE(key.SetDWORD("Garbage", 3));
    EXPECT_EQ(Dword(key, "Garbage"), DW(RegOk, 3u));

    // The foreign file keeps the key from being deleted and is not lost.
    RegKey parent(kUser, "Software");
    EXPECT_FALSE(parent.DeleteSubKey("Damaged"));
    EXPECT_TRUE(std::filesystem::exists(mRoot + "/" + dir + "README"));
    EXPECT_EQ(Dword(key, "Good").first, RegOk);
}

TEST_F(RegKeyTest, ForeignFoldersAndStaleTemporaries)
{
    RegKey key(kUser, "Software\\Mixed", true);
    const std::string dir = mRoot + "/1/Software/Mixed/";
    std::filesystem::create_directory(dir + ".git");
    std::filesystem::create_directory(dir + "bad%q");
    EXPECT_TRUE(SubKeys(key).empty());
    std::filesystem::remove(dir + ".git");
    std::filesystem::remove(dir + "bad%q");

    // A temporary file left by an interrupted write is not a value and does not block deletion.
    WriteRaw("1/Software/Mixed/.@Val.tmp-abc123", ValueFile(RegTypeDWORD, "\x01\x00\x00\x00"));
    ASSERT_TRUE(key.SetDWORD("Val", 9));
    EXPECT_EQ(Values(key).size(), 1u);
    RegKey parent(kUser, "Software");
    EXPECT_TRUE(parent.DeleteSubKey("Mixed"));
    EXPECT_FALSE(std::filesystem::exists(dir));
}

// A store written without the folder lock may hold one value under two cases:
// it still reads, and deleting the value removes every variant.
TEST_F(RegKeyTest, DuplicateCaseVariantsOfOlderStoresAreDeletedTogether)
{
    RegKey key(kUser, "Old", true);
    ASSERT_TRUE(key.IsOpen());
    WriteRaw("1/Old/@Level", ValueFile(RegTypeDWORD, std::string("\x01\0\0\0", 4)));
    WriteRaw("1/Old/@LEVEL", ValueFile(RegTypeDWORD, std::string("\x02\0\0\0", 4)));
    EXPECT_EQ(Dword(key, "level").first, RegOk);
    EXPECT_EQ(Values(key).size(), 1u);
    EXPECT_TRUE(key.DeleteValue("level"));
    EXPECT_EQ(Dword(key, "Level").first, RegNotFound);
    EXPECT_FALSE(key.DeleteValue("level"));
}

// ---- several processes -------------------------------------------------------------

namespace {

const char kWriterVariable[] = "QORAPI_TEST_REGKEY_WRITER";
const int kRaceNames = 40;
const uint64_t kRaceSlotMs = 10;

std::string RaceName(const char* base, int i, bool upper)
{
    std::string name = base + std::to_string(i);
    for (char& c : name)
        c = static_cast<char>(upper ? toupper(static_cast<unsigned char>(c)) : tolower(static_cast<unsigned char>(c)));
    return name;
}

uint64_t NowMs()
{
    return GetSystemTimeAsFileTime() / 10000;
}

} // namespace

// The writer run in a child process by CaseVariantsFromTwoProcesses; it does
// nothing unless that test started it. Name i is written in slot i of a shared
// schedule, so both writers reach the same name at the same moment.
TEST(RegKeyProcesses, DISABLED_CaseVariantWriter)
{
    std::string writerArgs;
    ASSERT_TRUE(GetEnvironmentVariable(kWriterVariable, writerArgs));
    const size_t a = writerArgs.find('|'), b = writerArgs.rfind('|');
    ASSERT_TRUE(a != std::string::npos && b > a);
    RegKey::SetStoreRoot(writerArgs.substr(0, a));
    const bool upper = writerArgs.substr(a + 1, b - a - 1) == "upper";
    const uint64_t start = std::stoull(writerArgs.substr(b + 1));
    RegKey key(kUser, "Race");
    ASSERT_TRUE(key.IsOpen());
    for (int i = 0; i < kRaceNames; ++i)
    {
        while (NowMs() < start + static_cast<uint64_t>(i) * kRaceSlotMs)
        {
        }
        EXPECT_TRUE(key.SetDWORD(RaceName("Level", i, upper), upper ? 2u : 1u));
        RegKey sub;
        EXPECT_TRUE(key.OpenSubKeyInto(RaceName("Sub", i, upper), sub, true));
    }
    RegKey::SetStoreRoot("");
}

// Two processes create the same values and sub-keys, one in lower case and one
// in upper case: each name ends up stored once, and once deleted it is gone.
TEST_F(RegKeyTest, CaseVariantsFromTwoProcesses)
{
    std::string self;
    ASSERT_TRUE(GetExecutablePath(self));
    RegKey key(kUser, "Race", true);
    ASSERT_TRUE(key.IsOpen());
    const uint64_t start = NowMs() + 2000;  // time for both children to start
    ChildProcess children[2];
    for (int c = 0; c < 2; ++c)
    {
        ASSERT_TRUE(SetEnvironmentVariable(kWriterVariable, mRoot + (c ? "|upper|" : "|lower|") + std::to_string(start)));
        ASSERT_TRUE(StartProcess(self, {"--gtest_filter=RegKeyProcesses.DISABLED_CaseVariantWriter",
                                        "--gtest_also_run_disabled_tests", "--gtest_brief=1"},
                                 children[c]));
    }
    SetEnvironmentVariable(kWriterVariable, "");
    for (ChildProcess& child : children)
    {
        int code = -1;
        if (!WaitProcess(child, 120000, code))
        {
            KillProcess(child);
            ADD_FAILURE() << "writer did not finish";
        }
        EXPECT_EQ(code, 0);
    }

    size_t valueFiles = 0, keyFolders = 0;
    for (auto& e : std::filesystem::directory_iterator(mRoot + "/1/Race"))
    {
        const std::string name = e.path().filename().string();
        valueFiles += name[0] == '@';
        keyFolders += e.is_directory();
    }
    EXPECT_EQ(valueFiles, static_cast<size_t>(kRaceNames));
    EXPECT_EQ(keyFolders, static_cast<size_t>(kRaceNames));
    for (int i = 0; i < kRaceNames; ++i)
    {
        const std::string value = RaceName("Level", i, false);
        EXPECT_EQ(Dword(key, value).first, RegOk) << value;
        EXPECT_TRUE(key.DeleteValue(value)) << value;
        EXPECT_EQ(Dword(key, value).first, RegNotFound) << value;
        const std::string sub = RaceName("Sub", i, true);
        EXPECT_TRUE(key.DeleteSubKey(sub)) << sub;
        RegKey gone;
        EXPECT_FALSE(key.OpenSubKeyInto(sub, gone)) << sub;
    }
}
