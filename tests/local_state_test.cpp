#include "AuthTestUtil.h"
#include "dir/DirMessage.h"
#include "dir/GetEntityRequest.h"
#include "service/DirServerEngine.h"
#include "service/LocalState.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <iterator>

using namespace QORAPI;

namespace {

const std::string kAddr("\x0F\xA0\x7F\x00\x00\x01", 6);   // 127.0.0.1:4000

bool SameRecords(const std::vector<DirEngineRecord>& a, const std::vector<DirEngineRecord>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        const DirEngineRecord& x = a[i];
        const DirEngineRecord& y = b[i];
        if (x.mPath != y.mPath || x.mService != y.mService || x.mName != y.mName ||
            x.mDisplayName != y.mDisplayName || x.mAddress != y.mAddress || x.mDataObjects != y.mDataObjects ||
            x.mExpiry != y.mExpiry || x.mPermissions.size() != y.mPermissions.size())
            return false;
        for (size_t j = 0; j < x.mPermissions.size(); ++j)
            if (x.mPermissions[j].mACLType != y.mPermissions[j].mACLType ||
                x.mPermissions[j].mValue1 != y.mPermissions[j].mValue1 ||
                x.mPermissions[j].mValue3 != y.mPermissions[j].mValue3)
                return false;
    }
    return true;
}

class LocalStateTest : public ::testing::Test
{
protected:
    AuthTest::TempDir mDir;
    std::string mPath = mDir.File("state.db");
    uint32_t mNow = 1000000;

    void Fill(DirServerEngine& engine)
    {
        engine.SetClock([this] { return mNow; });
        ASSERT_EQ(engine.AddDirectory(u"/games/chess", u"Chess \u00e9checs"), WS_Success);
        ASSERT_EQ(engine.AddService(u"/games/chess", u"Lobby \u4e2d", kAddr, u"lobby", 600,
                                    {{"map", std::string("a\0b", 3)}, {"players", "3/16"}}),
                  WS_Success);
        DirPermission perm;
        perm.mACLType = 2;
        perm.mValue1 = 77;
        perm.mValue3 = 5;
        ASSERT_EQ(engine.SetPermissions(u"/games/chess", u"Lobby \u4e2d", {perm}), WS_Success);
        ASSERT_EQ(engine.AddDirectory(u"/racing"), WS_Success);
    }
};

TEST_F(LocalStateTest, TreeComesBackWholeAfterReopening)
{
    DirServerEngine engine;
    Fill(engine);
    const std::vector<DirEngineRecord> before = engine.Export();
    ASSERT_EQ(before.size(), 4u);
    {
        LocalState state;
        std::string error;
        ASSERT_TRUE(state.Open(mPath, error)) << error;
        ASSERT_TRUE(state.SaveTree(before)) << state.GetLastError();
    }
    LocalState state;
    std::string error;
    ASSERT_TRUE(state.Open(mPath, error)) << error;
    std::vector<DirEngineRecord> loaded;
    ASSERT_TRUE(state.LoadTree(loaded));
    EXPECT_TRUE(SameRecords(before, loaded));

    DirServerEngine restored;
    restored.SetClock([this] { return mNow; });
    EXPECT_EQ(restored.Import(loaded), 4u);
    EXPECT_TRUE(SameRecords(before, restored.Export()));
}

TEST_F(LocalStateTest, ImportSkipsExpiredEntitiesAndThoseWithoutTheirDirectory)
{
    DirServerEngine engine;
    Fill(engine);
    std::vector<DirEngineRecord> records = engine.Export();
    DirEngineRecord orphan = records.back();
    orphan.mPath = u"/missing";
    records.push_back(orphan);
    mNow += 601;   // the service's lifespan is over
    DirServerEngine restored;
    restored.SetClock([this] { return mNow; });
    EXPECT_EQ(restored.Import(records), 3u);
    EXPECT_EQ(restored.CountEntities(), 3u);
}

TEST_F(LocalStateTest, ChangeHookSeesEachChangeBeforeTheReplyAndNoRead)
{
    DirServerEngine engine;
    std::vector<size_t> seen;
    bool stores = true;
    engine.SetChangeHook([&seen, &stores](const std::vector<DirEngineRecord>& tree) {
        seen.push_back(tree.size());
        return stores;
    });
    DirMessageWriter add(0);
    add.Begin(DirMsg_AddDirectory);
    add.Byte(0);
    add.String(u"/");
    add.String(u"games");
    add.String(u"");
    add.Long(0);
    add.Short(0);
    add.Short(0);
    SmartPtr<ByteBuffer> addMsg = add.Finish();
    engine.HandleRequest(addMsg.Get());
    ASSERT_EQ(seen, std::vector<size_t>{1});

    DirMessageWriter list(0);
    list.Begin(DirMsg_GetDir);
    GetEntityRequest request;
    request.SetPath(u"/");
    request.Pack(list, GetEntityRequest::Form_Single);
    SmartPtr<ByteBuffer> listMsg = list.Finish();
    engine.HandleRequest(listMsg.Get());
    EXPECT_EQ(seen.size(), 1u);

    // A change the store cannot keep is undone and refused, never acknowledged.
    stores = false;
    DirMessageWriter second(0);
    second.Begin(DirMsg_AddDirectory);
    second.Byte(0);
    second.String(u"/");
    second.String(u"maps");
    second.String(u"");
    second.Long(0);
    second.Short(0);
    second.Short(0);
    SmartPtr<ByteBuffer> secondMsg = second.Finish();
    const DirServerReplies refused = engine.HandleRequest(secondMsg.Get());
    ASSERT_EQ(refused.mReplies.size(), 1u);
    ReadBuffer reply(refused.mReplies[0].Get());
    reply.ReadBytes(5);
    EXPECT_EQ(static_cast<int16_t>(reply.ReadShort()), WS_CommServ_Failure);
    EXPECT_EQ(engine.CountEntities(), 1u);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(LocalStateTest, AccountsArePutReplacedAndRemoved)
{
    {
        LocalState state;
        std::string error;
        ASSERT_TRUE(state.Open(mPath, error)) << error;
        AuthAccount a;
        a.mUserName = u"alice";
        a.mPassword = u"p\u00e4ss";
        a.mCommunities = {u"qor", u"chess"};
        a.mTrustLevel = 3;
        a.mChallenge = true;
        a.mUserId = 1002;
        ASSERT_TRUE(state.PutAccount(a));
        a.mPassword = u"new";
        ASSERT_TRUE(state.PutAccount(a));
        AuthAccount b;
        b.mUserName = u"bob";
        b.mCommunities = {u"qor"};
        ASSERT_TRUE(state.PutAccount(b));
        EXPECT_TRUE(state.RemoveAccount(u"bob"));
        EXPECT_FALSE(state.RemoveAccount(u"bob"));
    }
    LocalState state;
    std::string error;
    ASSERT_TRUE(state.Open(mPath, error));
    const std::vector<AuthAccount> accounts = state.GetAccounts();
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].mPassword, u"new");
    EXPECT_EQ(accounts[0].mCommunities, (std::vector<std::u16string>{u"qor", u"chess"}));
    EXPECT_EQ(accounts[0].mTrustLevel, 3);
    EXPECT_TRUE(accounts[0].mChallenge);
    EXPECT_EQ(accounts[0].mUserId, 1002u);
}

TEST_F(LocalStateTest, BadFilesAndDamagedRowsAreRefusedNotTrusted)
{
    {
        std::ofstream junk(mDir.File("junk.db"), std::ios::binary);
        junk << std::string(4096, 'x');
    }
    LocalState junk;
    std::string error;
    EXPECT_FALSE(junk.Open(mDir.File("junk.db"), error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(junk.Open(mDir.File("no/such/dir/state.db"), error));

    DirServerEngine engine;
    Fill(engine);
    std::vector<DirEngineRecord> records = engine.Export();
    LocalState state;
    ASSERT_TRUE(state.Open(mPath, error)) << error;
    ASSERT_TRUE(state.SaveTree(records));
    ASSERT_TRUE(state.SetMeta("probe", "1"));
    // A permissions field cut short in one row: that row is skipped, the others load.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(mPath.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, "UPDATE entities SET perms = x'0102' WHERE seq = 3;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    std::vector<DirEngineRecord> loaded;
    ASSERT_TRUE(state.LoadTree(loaded));
    EXPECT_EQ(loaded.size(), records.size() - 1);
    EXPECT_EQ(state.GetMeta("probe"), "1");
    EXPECT_EQ(state.GetMeta("absent", "fallback"), "fallback");
}

} // namespace

namespace {

TEST_F(LocalStateTest, TextsAreStoredWholeOrRefusedWithAReason)
{
    LocalState state;
    std::string error;
    ASSERT_TRUE(state.Open(mPath, error)) << error;
    // A NUL inside a meta key or value is kept, not cut off.
    const std::string key("k\0ey", 4);
    const std::string value("\0value", 6);
    ASSERT_TRUE(state.SetMeta(key, value));
    EXPECT_EQ(state.GetMeta(key), value);
    EXPECT_EQ(state.GetMeta("k", "missing"), "missing");

    AuthAccount replacement;
    replacement.mUserName = u"\ufffd";
    ASSERT_TRUE(state.PutAccount(replacement));
    AuthAccount withNul;
    withNul.mUserName = std::u16string(u"a\0b", 3);
    withNul.mPassword = std::u16string(u"\0", 1);
    ASSERT_TRUE(state.PutAccount(withNul));

    struct Case
    {
        const char* mWhat;
        std::u16string mUser;
        std::vector<std::u16string> mCommunities;
    };
    const Case refused[] = {
        {"lone surrogate in the name", std::u16string(1, char16_t(0xD800)), {}},
        {"empty community", u"carol", {u"qor", u""}},
        {"comma in a community", u"dave", {u"a,b"}},
        {"lone surrogate in a community", u"erin", {std::u16string(1, char16_t(0xDC00))}},
    };
    for (const Case& c : refused)
    {
        AuthAccount a;
        a.mUserName = c.mUser;
        a.mCommunities = c.mCommunities;
        EXPECT_FALSE(state.PutAccount(a)) << c.mWhat;
        EXPECT_NE(state.GetLastError(), "") << c.mWhat;
    }
    // Removing a name without a UTF-8 form leaves the account its replacement
    // characters would spell.
    EXPECT_FALSE(state.RemoveAccount(std::u16string(1, char16_t(0xDFFF))));

    state.Close();
    ASSERT_TRUE(state.Open(mPath, error)) << error;
    const std::vector<AuthAccount> accounts = state.GetAccounts();
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[0].mUserName, withNul.mUserName);
    EXPECT_EQ(accounts[0].mPassword, withNul.mPassword);
    EXPECT_EQ(accounts[1].mUserName, replacement.mUserName);
    EXPECT_EQ(state.GetMeta(key), value);
}

} // namespace

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(LocalStateTest, DamagedAndForeignDatabasesAreRefusedAndLeftAsTheyWere)
{
    {
        LocalState state;
        std::string error;
        ASSERT_TRUE(state.Open(mPath, error)) << error;
        DirServerEngine engine;
        Fill(engine);
        ASSERT_TRUE(state.SaveTree(engine.Export()));
    }
    // A page of the file overwritten: quick_check's findings refuse it.
    std::string bytes = ReadAll(mPath);
    ASSERT_GT(bytes.size(), 3 * 4096u);
    for (size_t i = 4096; i < 4096 + 64; ++i)
        bytes[i] = static_cast<char>(0xFF);
    const std::string damaged = mDir.File("damaged.db");
    std::ofstream(damaged, std::ios::binary) << bytes;

    // A database of another program with a table of one of our names.
    const std::string foreign = mDir.File("foreign.db");
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE accounts (id INTEGER, name TEXT); INSERT INTO accounts VALUES (1, 'x');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);

    for (const std::string& path : {damaged, foreign})
    {
        const std::string before = ReadAll(path);
        LocalState state;
        std::string error;
        EXPECT_FALSE(state.Open(path, error)) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_FALSE(state.IsOpen());
        EXPECT_EQ(ReadAll(path), before) << path;
    }
}

} // namespace
