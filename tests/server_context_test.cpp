#include "DirTestUtil.h"
#include "auth/AuthContext.h"
#include "auth/ServerContext.h"
#include "dir/DirEntityIdentity.h"
#include "service/DirSeed.h"
#include "service/DirServerEngine.h"

#include <gtest/gtest.h>

#include <set>

using namespace QORAPI;

namespace {

InetAddress Addr(uint16_t port) { return InetAddress(0x7F000001u, port); }

DirEntityPtr Entity(uint8_t type, const std::u16string& name, uint16_t port)
{
    DirEntityPtr e = new DirEntity;
    e->SetType(type);
    e->SetName(name);
    e->SetNetAddress(NetAddressOf(Addr(port)));
    return e;
}

std::vector<uint16_t> Ports(ServerContext& ctx) { return DirTest::PortsOf(ctx); }

} // namespace

TEST(ServerContext, UnshuffledOrderAndNotifyFailed)
{
    SmartPtr<ServerContext> ctx = new ServerContext;
    ctx->SetShuffle(false);
    EXPECT_TRUE(ctx->AddAddress(Addr(1)));
    EXPECT_TRUE(ctx->AddAddress(Addr(2)));
    EXPECT_TRUE(ctx->AddAddress(Addr(3)));
    EXPECT_FALSE(ctx->AddAddress(Addr(2)));
    EXPECT_FALSE(ctx->AddAddress(InetAddress()));
    EXPECT_EQ(Ports(*ctx), (std::vector<uint16_t>{1, 2, 3}));
    ctx->NotifyFailed(Addr(1));
    EXPECT_EQ(Ports(*ctx), (std::vector<uint16_t>{2, 3, 1}));
    ctx->NotifyFailed(Addr(9));   // absent: nothing changes
    EXPECT_EQ(Ports(*ctx), (std::vector<uint16_t>{2, 3, 1}));
    ctx->NotifyFailed(Addr(3));
    EXPECT_EQ(Ports(*ctx), (std::vector<uint16_t>{2, 1, 3}));
    EXPECT_TRUE(ctx->RemoveAddress(Addr(1)));
    EXPECT_FALSE(ctx->RemoveAddress(Addr(1)));
    ctx->NotifyFailed(Addr(2));
    EXPECT_EQ(Ports(*ctx), (std::vector<uint16_t>{3, 2}));
}

TEST(ServerContext, ShufflesOnceUntilCleared)
{
    // Over many contexts, the first copy puts the list in some order other
    // than the one added at least once, and later copies keep it.
    bool sawOtherOrder = false;
    for (int round = 0; round < 20; ++round)
    {
        ServerContext ctx;
        for (uint16_t p = 1; p <= 8; ++p)
            ctx.AddAddress(Addr(p));
        const std::vector<uint16_t> first = Ports(ctx);
        EXPECT_EQ(std::set<uint16_t>(first.begin(), first.end()).size(), 8u);
        if (first != std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7, 8})
            sawOtherOrder = true;
        EXPECT_EQ(Ports(ctx), first);
        ctx.AddAddress(Addr(9));   // added later: appended, no reshuffle
        std::vector<uint16_t> expected = first;
        expected.push_back(9);
        EXPECT_EQ(Ports(ctx), expected);
        ctx.NotifyFailed(Addr(first[0]));
        EXPECT_EQ(Ports(ctx).back(), first[0]);
    }
    EXPECT_TRUE(sawOtherOrder);

    ServerContext ctx;
    ctx.SetShuffle(false);
    ctx.AddAddress(Addr(1));
    ctx.ClearAddresses();   // clearing turns shuffling back on
    EXPECT_TRUE(ctx.GetShuffle());
    EXPECT_EQ(ctx.GetAddressCount(), 0u);
}

TEST(ServerContext, FillingFromDirectoryEntities)
{
    DirEntityList list;
    list.push_back(Entity(DirEntityType_Directory, u"lobby", 1));
    list.push_back(Entity(DirEntityType_Service, u"lobby", 2));
    list.push_back(Entity(DirEntityType_Service, u"other", 3));
    list.push_back(Entity(DirEntityType_Service, u"lobby", 4));
    DirEntityPtr shortAddr = Entity(DirEntityType_Service, u"lobby", 5);
    shortAddr->SetNetAddress(new ByteBuffer("\x00\x50\x7f\x00", 4));
    list.push_back(shortAddr);
    list.push_back(nullptr);

    ServerContext ctx;
    ctx.SetShuffle(false);
    EXPECT_TRUE(ctx.AddAddressesFromDir(list, u"lobby"));
    EXPECT_EQ(Ports(ctx), (std::vector<uint16_t>{2, 4}));
    EXPECT_FALSE(ctx.AddAddressesFromDir(list, u"lobby"));   // nothing new
    EXPECT_TRUE(ctx.SetAddressesFromDir(list, u""));
    ctx.SetShuffle(false);
    EXPECT_EQ(Ports(ctx), (std::vector<uint16_t>{2, 3, 4}));

    DirEntityMap map;
    map[u"/games"] = list;
    ServerContext fromMap;
    fromMap.SetShuffle(false);
    EXPECT_FALSE(fromMap.AddAddressesFromDirMap(map, u"/none", u""));
    EXPECT_TRUE(fromMap.AddAddressesFromDirMap(map, u"/games", u"other"));
    EXPECT_EQ(Ports(fromMap), (std::vector<uint16_t>{3}));
}

TEST(DirEntity, AddressFromSixBytes)
{
    DirEntityPtr e = Entity(DirEntityType_Service, u"x", 4000);
    EXPECT_TRUE(e->GetAddress().IsValid());
    EXPECT_EQ(e->GetAddress().GetText(), "127.0.0.1:4000");
    e->SetNetAddress(new ByteBuffer("\x0f\xa0\x7f\x00\x00", 5));
    EXPECT_FALSE(e->GetAddress().IsValid());
    e->SetNetAddress(nullptr);
    EXPECT_FALSE(e->GetAddress().IsValid());
}

TEST(AuthContext, SessionCacheTakesEachSessionOnce)
{
    SmartPtr<AuthContext> ctx = new AuthContext;
    EXPECT_FALSE(ctx->TakeSession(Addr(1)));
    Blowfish key;
    SmartPtr<AuthSession> a = new AuthSession(1, 7, key, 4);
    SmartPtr<AuthSession> b = new AuthSession(1, 8, key, 4);
    ctx->StoreSession(Addr(1), a);
    ctx->StoreSession(Addr(1), b);
    ctx->StoreSession(Addr(1), nullptr);
    EXPECT_EQ(ctx->GetSessionCount(Addr(1)), 2u);
    EXPECT_EQ(ctx->TakeSession(Addr(1)), a.Get());
    EXPECT_EQ(ctx->TakeSession(Addr(1)), b.Get());
    EXPECT_FALSE(ctx->TakeSession(Addr(1)));
    EXPECT_FALSE(ctx->TakeSession(Addr(2)));
}

TEST(DirSeed, LoadsTreeAndReportsBadLines)
{
    DirServerEngine engine;
    std::string error;
    EXPECT_TRUE(LoadDirSeed(engine,
                            "# demo tree\n"
                            "dir /games display=\"All games\"\n"
                            "service /games/chess lobby 127.0.0.1:4000 display=\"Lobby 1\" data:map=forest\n"
                            "\n"
                            "service /games/chess lobby 127.0.0.1:4001 lifespan=60\n",
                            error))
        << error;
    EXPECT_EQ(engine.CountEntities(), 4u);
    EXPECT_FALSE(LoadDirSeed(engine, "dir /a\nservice /a x 300.0.0.1:5\n", error));
    EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
    EXPECT_FALSE(LoadDirSeed(engine, "folder /a\n", error));
    EXPECT_FALSE(LoadDirSeed(engine, "dir \"/a\n", error));
    EXPECT_FALSE(LoadDirSeed(engine, "service /a x 1.2.3.4:99999\n", error));
    EXPECT_FALSE(LoadDirSeed(engine, "dir /a lifespan=abc\n", error));
    EXPECT_FALSE(LoadDirSeed(engine, "service /a x 1.2.3.4:1\nservice /a x 1.2.3.4:1\n", error));
    EXPECT_NE(error.find("WS_DirServ_ServiceExists"), std::string::npos) << error;
}
