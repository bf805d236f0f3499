#include "auth/ServerMsgHeader.h"
#include "dir/DirMessage.h"
#include "dir/DirReply.h"
#include "dir/GetEntityRequest.h"
#include "service/DirServerEngine.h"

#include <gtest/gtest.h>

using namespace QORAPI;

namespace {

const std::string kAddrA("\x0F\xA0\x7F\x00\x00\x01", 6);   // 127.0.0.1:4000
const std::string kAddrB("\x0F\xA1\x7F\x00\x00\x01", 6);   // 127.0.0.1:4001

SmartPtr<ByteBuffer> Bytes(const std::string& s) { return new ByteBuffer(s.data(), static_cast<uint32_t>(s.size())); }

class DirEngineTest : public ::testing::Test
{
protected:
    DirServerEngine mEngine;
    uint32_t mNow = 1000000;

    void SetUp() override { mEngine.SetClock([this] { return mNow; }); }

    DirServerReplies Send(DirMessageWriter& w, const std::string& peer = std::string())
    {
        SmartPtr<ByteBuffer> msg = w.Finish();
        SmartPtr<ByteBuffer> peerBuf = peer.empty() ? nullptr : Bytes(peer);
        return mEngine.HandleRequest(msg.Get(), peerBuf.Get());
    }

    WSStatus StatusOf(DirMessageWriter& w)
    {
        DirServerReplies r = Send(w);
        EXPECT_EQ(r.mReplies.size(), 1u);
        return r.mReplies.empty() ? WS_None : UnpackStatusReply(r.mReplies[0].Get());
    }

    WSStatus AddService(const std::u16string& path, const std::u16string& name, const std::string& addr,
                        uint8_t flags = 1, uint32_t lifespan = 0,
                        std::vector<std::pair<std::string, std::string>> objects = {})
    {
        DirMessageWriter w(0);
        w.Begin(DirMsg_AddService);
        w.Byte(flags);
        w.String(path);
        w.String(name);
        w.Buffer1(Bytes(addr));
        w.String(u"display " + name);
        w.Long(lifespan);
        w.Short(static_cast<uint16_t>(objects.size()));
        for (auto& o : objects)
        {
            w.ShortString(o.first);
            w.Buffer2(Bytes(o.second));
        }
        w.Short(0);
        return StatusOf(w);
    }

    WSStatus AddDir(const std::u16string& path, const std::u16string& name, uint8_t flags = 1, uint32_t lifespan = 0)
    {
        DirMessageWriter w(0);
        w.Begin(DirMsg_AddDirectory);
        w.Byte(flags);
        w.String(path);
        w.String(name);
        w.String(u"");
        w.Long(lifespan);
        w.Short(0);
        w.Short(0);
        return StatusOf(w);
    }

    WSStatus List(GetEntityRequest& req, size_t* replies = nullptr)
    {
        DirMessageWriter w(0);
        w.Begin(DirMsg_GetDir);
        req.Pack(w, GetEntityRequest::Form_Single);
        DirServerReplies r = Send(w);
        if (replies)
            *replies = r.mReplies.size();
        WSStatus status = WS_None;
        for (auto& reply : r.mReplies)
            status = req.Unpack(reply);
        return status;
    }

    void Identity(DirMessageWriter& w, bool isService, const std::u16string& path, const std::u16string& name,
                  const std::string& addr)
    {
        w.String(path);
        if (isService)
        {
            w.String(name);
            w.Buffer1(Bytes(addr));
        }
    }
};

} // namespace

TEST_F(DirEngineTest, AddListAndRefuseDuplicates)
{
    EXPECT_EQ(AddDir(u"/", u"games"), WS_Success);
    EXPECT_EQ(AddDir(u"/games", u"chess"), WS_Success);
    EXPECT_EQ(AddDir(u"/games", u"chess"), WS_DirServ_DirExists);
    EXPECT_EQ(AddService(u"/games/chess", u"lobby", kAddrA), WS_Success);
    EXPECT_EQ(AddService(u"/games/chess", u"lobby", kAddrB), WS_Success);
    EXPECT_EQ(AddService(u"/games/chess", u"lobby", kAddrA), WS_DirServ_ServiceExists);
    EXPECT_EQ(AddService(u"/games/none", u"lobby", kAddrA), WS_DirServ_DirNotFound);
    EXPECT_EQ(AddService(u"/games/auto/made", u"lobby", kAddrA, DirAddFlag_Unique | DirAddFlag_CreatePath), WS_Success);
    EXPECT_EQ(AddService(u"/games", u"bad", "\x01\x02"), WS_DirServ_InvalidKey);
    EXPECT_EQ(AddService(u"/games", u"a/b", kAddrA), WS_DirServ_InvalidPath);
    EXPECT_EQ(mEngine.CountEntities(), 7u);

    GetEntityRequest req(u"/games/chess");
    EXPECT_EQ(List(req), WS_Success);
    ASSERT_EQ(req.GetEntities().size(), 2u);
    EXPECT_EQ(req.GetEntities().front()->GetName(), u"lobby");
    EXPECT_EQ(req.GetEntities().front()->GetNetAddress()->ToString(), kAddrA);
    EXPECT_EQ(req.GetEntities().back()->GetNetAddress()->ToString(), kAddrB);

    GetEntityRequest missing(u"/nowhere");
    EXPECT_EQ(List(missing), WS_DirServ_DirNotFound);
    GetEntityRequest badFlags(u"/games", DirGetFlag_DisplayName);
    EXPECT_EQ(List(badFlags), WS_DirServ_InvalidGetFlags);
}

TEST_F(DirEngineTest, LongListingIsSplitOverReplies)
{
    DirServerEngine::Limits limits;
    limits.mMaxEntitiesPerReply = 4;
    mEngine.SetLimits(limits);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(mEngine.AddService(u"/big", u"s" + std::u16string(1, char16_t(u'0' + i)), kAddrA), WS_Success);
    GetEntityRequest req(u"/big");
    size_t replies = 0;
    EXPECT_EQ(List(req, &replies), WS_Success);
    EXPECT_EQ(replies, 3u);
    EXPECT_EQ(req.GetEntities().size(), 10u);
    EXPECT_EQ(req.GetEntities().back()->GetName(), u"s9");

    // An empty directory still answers with one (last) reply.
    ASSERT_EQ(mEngine.AddDirectory(u"/empty"), WS_Success);
    GetEntityRequest empty(u"/empty");
    EXPECT_EQ(List(empty, &replies), WS_Success);
    EXPECT_EQ(replies, 1u);
}

TEST_F(DirEngineTest, PeerAddressFlagRegistersUnderClientIP)
{
    DirMessageWriter w(0);
    w.Begin(DirMsg_AddService);
    w.Byte(DirAddFlag_Unique | DirAddFlag_UsePeerAddress);
    w.String(u"/");
    w.String(u"host");
    w.Buffer1(Bytes(std::string("\x1F\x90\x00\x00\x00\x00", 6)));
    w.String(u"");
    w.Long(0);
    w.Short(0);
    w.Short(0);
    DirServerReplies r = Send(w, std::string("\x00\x00\x0A\x01\x02\x03", 6));
    ASSERT_EQ(r.mReplies.size(), 1u);
    SmartPtr<ByteBuffer> address;
    EXPECT_EQ(UnpackStatusReply(r.mReplies[0].Get(), true, address), WS_Success);
    EXPECT_EQ(address->ToString(), std::string("\x1F\x90\x0A\x01\x02\x03", 6));
}

TEST_F(DirEngineTest, LifespansExpireAndRenew)
{
    EXPECT_EQ(AddService(u"/", u"short", kAddrA, 1, 10), WS_Success);
    EXPECT_EQ(AddService(u"/", u"long", kAddrA, 1, 0), WS_Success);
    EXPECT_EQ(AddService(u"/", u"huge", kAddrA, 1, 400000000), WS_DirServ_InvalidLifespan);
    auto renew = [&] {
        DirMessageWriter w(0);
        w.Begin(DirMsg_RenewService);
        Identity(w, true, u"/", u"short", kAddrA);
        w.Long(20);
        return StatusOf(w);
    };
    mNow += 5;
    EXPECT_EQ(renew(), WS_Success);
    mNow += 15;
    EXPECT_EQ(mEngine.CountEntities(), 2u);
    mNow += 10;
    EXPECT_EQ(mEngine.CountEntities(), 1u);
    EXPECT_EQ(renew(), WS_DirServ_ServiceNotFound);
}

TEST_F(DirEngineTest, RenameModifyAndRemove)
{
    ASSERT_EQ(AddDir(u"/", u"a"), WS_Success);
    ASSERT_EQ(AddDir(u"/", u"b"), WS_Success);
    ASSERT_EQ(AddService(u"/a", u"svc", kAddrA), WS_Success);
    DirMessageWriter w(0);
    for (const auto& rename : {std::make_pair(u"b", WS_DirServ_DirExists), std::make_pair(u"c", WS_Success)})
    {
        w.Begin(DirMsg_RenameDirectory);
        w.Bool(true);
        Identity(w, false, u"/a", u"", "");
        w.String(rename.first);
        EXPECT_EQ(StatusOf(w), rename.second);
    }

    // Modify: new name, new address, display name and a data object.
    w.Begin(DirMsg_ModifyService);
    w.Byte(1);
    Identity(w, true, u"/c", u"svc", kAddrA);
    w.String(u"svc2");
    w.Buffer1(Bytes(kAddrB));
    w.String(u"Shown");
    w.Long(0);
    w.Short(1);
    w.ShortString("k");
    w.Buffer2(Bytes("v"));
    w.Short(0);
    EXPECT_EQ(StatusOf(w), WS_Success);
    GetEntityRequest req(u"/c", DirGetFlags_Default | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    ASSERT_EQ(List(req), WS_Success);
    ASSERT_EQ(req.GetEntities().size(), 1u);
    EXPECT_EQ(req.GetEntities().front()->GetName(), u"svc2");
    EXPECT_EQ(req.GetEntities().front()->GetDisplayName(), u"Shown");
    EXPECT_EQ(req.GetEntities().front()->GetNetAddress()->ToString(), kAddrB);
    EXPECT_EQ(req.GetEntities().front()->FindDataObject("k")->mData->ToString(), "v");

    for (const auto& remove : {std::make_pair(u"/", WS_DirServ_InvalidPath), std::make_pair(u"/c", WS_Success)})
    {
        w.Begin(DirMsg_RemoveDirectory);
        Identity(w, false, remove.first, u"", "");
        EXPECT_EQ(StatusOf(w), remove.second);
    }
    EXPECT_EQ(mEngine.CountEntities(), 1u);
}

TEST_F(DirEngineTest, DataObjectModesAndRefusals)
{
    ASSERT_EQ(AddService(u"/", u"svc", kAddrA, 1, 0, {{"map", "forest"}}), WS_Success);
    EXPECT_EQ(AddService(u"/", u"dup", kAddrA, 1, 0, {{"x", "1"}, {"x", "2"}}), WS_DirServ_DataObjectExists);
    auto set = [&](uint8_t mode, std::vector<std::pair<std::string, std::string>> objects) {
        DirMessageWriter w(0);
        w.Begin(DirMsg_SetDataObjectsService);
        w.Byte(mode);
        Identity(w, true, u"/", u"svc", kAddrA);
        w.Short(static_cast<uint16_t>(objects.size()));
        for (auto& o : objects)
        {
            w.ShortString(o.first);
            w.Buffer2(Bytes(o.second));
        }
        return StatusOf(w);
    };
    EXPECT_EQ(set(DirSetData_Add, {{"map", "x"}}), WS_DirServ_DataObjectExists);
    EXPECT_EQ(set(DirSetData_Add, {{"mode", "ffa"}}), WS_Success);
    EXPECT_EQ(set(DirSetData_AddReplace, {{"map", "desert"}}), WS_Success);
    EXPECT_EQ(set(9, {{"map", "desert"}}), WS_DirServ_InvalidMode);
    EXPECT_EQ(set(DirSetData_Add, {{"", "x"}}), WS_DirServ_InvalidDataObject);

    auto modify = [&](uint16_t offset, bool insert, const std::string& type, const std::string& data) {
        DirMessageWriter w(0);
        w.Begin(DirMsg_ModifyDataObjectsService);
        Identity(w, true, u"/", u"svc", kAddrA);
        w.Short(1);
        w.Short(offset);
        w.Bool(insert);
        w.ShortString(type);
        w.Buffer2(Bytes(data));
        return StatusOf(w);
    };
    EXPECT_EQ(modify(0, false, "absent", "x"), WS_DirServ_DataObjectNotFound);
    EXPECT_EQ(modify(7, false, "map", "x"), WS_DirServ_BadDataOffset);
    EXPECT_EQ(modify(6, false, "map", "!!"), WS_Success);   // extends at the end
    EXPECT_EQ(modify(0, true, "map", ">"), WS_Success);

    GetEntityRequest req(u"/", DirGetFlags_Default | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    req.AddDataObjectType("map");
    ASSERT_EQ(List(req), WS_Success);
    ASSERT_EQ(req.GetEntities().front()->GetDataObjects().size(), 1u);
    EXPECT_EQ(req.GetEntities().front()->FindDataObject("map")->mData->ToString(), ">desert!!");

    auto clear = [&](std::vector<std::string> types) {
        DirMessageWriter w(0);
        w.Begin(DirMsg_ClearDataObjectsService);
        Identity(w, true, u"/", u"svc", kAddrA);
        w.Short(static_cast<uint16_t>(types.size()));
        for (auto& t : types)
            w.ShortString(t);
        return StatusOf(w);
    };
    EXPECT_EQ(clear({"mode", "absent"}), WS_DirServ_DataObjectNotFound);
    EXPECT_EQ(clear({"mode"}), WS_Success);
    EXPECT_EQ(clear({}), WS_Success);
    EXPECT_EQ(clear({}), WS_DirServ_NoDataObjects);
    EXPECT_EQ(set(DirSetData_ReplaceAll, {{"a", "1"}}), WS_Success);
}

TEST_F(DirEngineTest, GetServiceFindAndMultiGet)
{
    ASSERT_EQ(mEngine.AddService(u"/g/chess", u"lobby", kAddrA, u"Chess lobby", 0, {{"mode", "ranked"}}), WS_Success);
    ASSERT_EQ(mEngine.AddService(u"/g/go", u"lobby", kAddrB, u"Go lobby"), WS_Success);

    DirMessageWriter w(0);
    w.Begin(DirMsg_GetService);
    w.Long(DirGetFlags_ServiceDefault);
    w.String(u"/g/chess");
    w.String(u"lobby");
    w.Buffer1(nullptr);
    w.Short(0);
    DirServerReplies r = Send(w);
    ASSERT_EQ(r.mReplies.size(), 1u);
    DirEntityPtr entity;
    EXPECT_EQ(UnpackSingleEntityReply(r.mReplies[0].Get(), entity), WS_Success);
    EXPECT_EQ(entity->GetDisplayName(), u"Chess lobby");

    auto find = [&](bool isService, uint8_t mode, uint8_t matchFlags, const std::u16string& name,
                    const std::string& objType, DirServerReplies& out) {
        DirMessageWriter f(0);
        f.Begin(isService ? DirMsg_FindService : DirMsg_FindDirectory);
        f.Long(DirGetFlags_Default | DirGetFlag_ServicePath | DirGetFlag_DirPath);
        f.Byte(mode);
        f.Byte(matchFlags);
        f.Short(0);
        f.String(u"/");
        f.String(name);
        if (isService)
            f.Buffer1(nullptr);
        f.String(u"");
        f.Short(objType.empty() ? 0 : 1);
        if (!objType.empty())
        {
            f.ShortString(objType);
            f.Buffer2(nullptr);
        }
        f.Short(0);
        out = Send(f);
    };
    find(true, DirMatch_Exact, DirMatchFlag_All | DirMatchFlag_Recursive, u"lobby", "", r);
    DirEntityList list;
    for (auto& reply : r.mReplies)
        EXPECT_EQ(UnpackEntityListReply(reply.Get(), list), WS_Success);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front()->GetPath(), u"/g/chess");
    find(true, DirMatch_Prefix, DirMatchFlag_Recursive, u"lob", "mode", r);
    EXPECT_EQ(UnpackSingleEntityReply(r.mReplies[0].Get(), entity), WS_Success);
    EXPECT_EQ(entity->GetNetAddress()->ToString(), kAddrA);
    find(true, DirMatch_Exact, 0, u"lobby", "", r);   // not recursive: nothing directly in /
    EXPECT_EQ(UnpackSingleEntityReply(r.mReplies[0].Get(), entity), WS_DirServ_ServiceNotFound);
    find(false, DirMatch_Substring, DirMatchFlag_Recursive, u"o", "", r);
    list.clear();
    EXPECT_EQ(UnpackEntityListReply(r.mReplies[0].Get(), list), WS_Success);
    ASSERT_EQ(list.size(), 1u);   // "go"
    EXPECT_TRUE(list.front()->IsDirectory());

    // Multi-get: one listing per request, a failing one in the middle.
    DirMessageWriter m(0);
    m.Begin(DirMsg_GetMultiDir);
    m.Short(0);
    m.Byte(3);
    GetEntityRequest a(u"/g/chess"), b(u"/missing"), c(u"/g/go");
    a.Pack(m, GetEntityRequest::Form_Multi);
    b.Pack(m, GetEntityRequest::Form_Multi);
    c.Pack(m, GetEntityRequest::Form_Multi);
    r = Send(m);
    ASSERT_EQ(r.mReplies.size(), 3u);
    EXPECT_EQ(a.Unpack(r.mReplies[0]), WS_Success);
    EXPECT_EQ(b.Unpack(r.mReplies[1]), WS_DirServ_DirNotFound);
    EXPECT_EQ(c.Unpack(r.mReplies[2]), WS_Success);
    EXPECT_EQ(c.GetEntities().front()->GetDisplayName(), u"Go lobby");
}

TEST_F(DirEngineTest, MalformedRequestsAreRefusedWithoutChange)
{
    ASSERT_EQ(AddService(u"/", u"svc", kAddrA, 1, 0, {{"map", "forest"}}), WS_Success);
    // Every prefix of a valid add request is refused in the reply type it waits for.
    DirMessageWriter w(0);
    w.Begin(DirMsg_AddService);
    w.Byte(1);
    w.String(u"/");
    w.String(u"other");
    w.Buffer1(Bytes(kAddrB));
    w.String(u"x");
    w.Long(0);
    w.Short(1);
    w.ShortString("t");
    w.Buffer2(Bytes("data"));
    w.Short(0);
    SmartPtr<ByteBuffer> full = w.Finish();
    for (uint32_t n = 0; n < full->GetLength(); ++n)
    {
        SmartPtr<ByteBuffer> part = new ByteBuffer(full->GetData(), n);
        DirServerReplies r = mEngine.HandleRequest(part.Get());
        ASSERT_EQ(r.mReplies.size(), 1u);
        EXPECT_EQ(UnpackStatusReply(r.mReplies[0].Get()), WS_CommServ_InvalidMessage) << n;
        EXPECT_EQ(r.mClose, n < 5) << n;
    }
    EXPECT_EQ(mEngine.CountEntities(), 1u);

    // A truncated listing request gets an entity-list refusal.
    DirMessageWriter g(0);
    g.Begin(DirMsg_GetDir);
    g.Long(DirGetFlags_Default);
    SmartPtr<ByteBuffer> listing = g.Finish();
    DirServerReplies r = mEngine.HandleRequest(listing.Get());
    DirEntityList list;
    ASSERT_EQ(r.mReplies.size(), 1u);
    EXPECT_EQ(UnpackEntityListReply(r.mReplies[0].Get(), list), WS_CommServ_InvalidMessage);

    // Unknown message type: refused, connection kept. Wrong service: connection ends.
    g.Begin(999);
    r = Send(g);
    EXPECT_EQ(UnpackStatusReply(r.mReplies[0].Get()), WS_CommServ_NotSupported);
    EXPECT_FALSE(r.mClose);
    const uint8_t wrongService[] = {5, 12, 0, 1, 0};
    SmartPtr<ByteBuffer> bad = new ByteBuffer(wrongService, sizeof(wrongService));
    EXPECT_TRUE(mEngine.HandleRequest(bad.Get()).mClose);
}

// Every refusal and answer comes in the form the client's reader expects.
TEST_F(DirEngineTest, RepliesTheClientCanRead)
{
    ASSERT_EQ(mEngine.AddDirectory(u"/games/chess"), WS_Success);
    auto findRequest = [](bool isService, uint32_t flags, uint8_t matchFlags) {
        DirMessageWriter f(0);
        f.Begin(isService ? DirMsg_FindService : DirMsg_FindDirectory);
        f.Long(flags);
        f.Byte(DirMatch_Substring);
        f.Byte(matchFlags);
        f.Short(0);
        f.String(u"/");
        f.String(u"");
        if (isService)
            f.Buffer1(nullptr);
        f.String(u"");
        f.Short(0);
        f.Short(0);
        return f.Finish();
    };

    // A directory search whose flags name no directory kind would be read as
    // services: refused. With a directory kind the directory comes back.
    DirEntityList list;
    for (uint32_t flags : {0u, uint32_t(DirGetFlag_Services | DirGetFlag_DirName), uint32_t(DirGetFlag_DirName)})
    {
        SmartPtr<ByteBuffer> request = findRequest(false, flags, DirMatchFlag_Recursive);
        DirServerReplies r = mEngine.HandleRequest(request.Get());
        ASSERT_EQ(r.mReplies.size(), 1u);
        EXPECT_EQ(UnpackEntityListReply(r.mReplies[0].Get(), list), WS_DirServ_InvalidGetFlags) << flags;
    }
    for (uint32_t dirKind : {uint32_t(DirGetFlag_Directories), uint32_t(DirGetFlag_DirectoriesAlt)})
    {
        SmartPtr<ByteBuffer> request = findRequest(false, dirKind | DirGetFlag_DirName, DirMatchFlag_Recursive);
        list.clear();
        EXPECT_EQ(UnpackEntityListReply(mEngine.HandleRequest(request.Get()).mReplies[0].Get(), list), WS_Success);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_TRUE(list.back()->IsDirectory());
    }

    // Truncated service searches are refused in the reply type their sender
    // reads: one entity, or a listing when the match flags ask for all.
    for (uint8_t matchFlags : {uint8_t(0), uint8_t(DirMatchFlag_All)})
    {
        SmartPtr<ByteBuffer> full = findRequest(true, DirGetFlags_Default, matchFlags);
        const uint32_t first = matchFlags ? ServerMsgHeader_Size + 6 : ServerMsgHeader_Size;
        for (uint32_t n = first; n < full->GetLength(); ++n)
        {
            SmartPtr<ByteBuffer> part = new ByteBuffer(full->GetData(), n);
            DirServerReplies r = mEngine.HandleRequest(part.Get());
            ASSERT_EQ(r.mReplies.size(), 1u) << n;
            DirEntityPtr entity;
            list.clear();
            const WSStatus read = matchFlags ? UnpackEntityListReply(r.mReplies[0].Get(), list)
                                             : UnpackSingleEntityReply(r.mReplies[0].Get(), entity);
            EXPECT_EQ(read, WS_CommServ_InvalidMessage) << n << " " << int(matchFlags);
        }
    }

    // A multiple listing that announces more requests than it carries gets
    // one refusal per announced request, so the client is not left waiting.
    DirMessageWriter m(0);
    m.Begin(DirMsg_GetMultiDir);
    m.Short(0);
    m.Byte(3);
    GetEntityRequest only(u"/games");
    only.Pack(m, GetEntityRequest::Form_Multi);
    DirServerReplies r = Send(m);
    ASSERT_EQ(r.mReplies.size(), 3u);
    for (auto& reply : r.mReplies)
    {
        list.clear();
        EXPECT_EQ(UnpackEntityListReply(reply.Get(), list), WS_CommServ_InvalidMessage);
    }
}

TEST_F(DirEngineTest, LimitsAreEnforced)
{
    DirServerEngine::Limits limits;
    limits.mMaxDirEntries = 2;
    limits.mMaxDataObjects = 1;
    limits.mMaxEntityBytes = 100;
    mEngine.SetLimits(limits);
    EXPECT_EQ(AddService(u"/", u"a", kAddrA), WS_Success);
    EXPECT_EQ(AddService(u"/", u"b", kAddrA), WS_Success);
    EXPECT_EQ(AddService(u"/", u"c", kAddrA), WS_DirServ_DirIsFull);
    EXPECT_EQ(AddService(u"/x", u"a", kAddrA, 1, 0, {{"1", "a"}, {"2", "b"}}), WS_DirServ_MaxDataObjects);
    EXPECT_EQ(AddService(u"/x", u"a", kAddrA, 1, 0, {{"1", std::string(200, 'a')}}), WS_DirServ_EntityTooLarge);
    mEngine.Clear();
    EXPECT_EQ(AddService(u"/", u"a", kAddrA, 1, 0, {{"1", std::string(200, 'a')}}), WS_DirServ_EntityTooLarge);
    EXPECT_EQ(mEngine.CountEntities(), 0u);
}

TEST_F(DirEngineTest, PermissionsTravelInListings)
{
    ASSERT_EQ(mEngine.AddService(u"/", u"svc", kAddrA), WS_Success);
    DirPermission p;
    p.mACLType = 3;
    p.mValue1 = 42;
    p.mValue3 = 7;
    ASSERT_EQ(mEngine.SetPermissions(u"/", u"svc", {p, p}), WS_Success);
    GetEntityRequest req(u"/", DirGetFlags_Default | DirGetFlag_Permissions);
    ASSERT_EQ(List(req), WS_Success);
    ASSERT_EQ(req.GetEntities().front()->GetPermissions().size(), 2u);
    EXPECT_EQ(req.GetEntities().front()->GetPermissions()[1].mValue1, 42u);
}
