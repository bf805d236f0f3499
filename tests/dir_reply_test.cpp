#include "auth/ServerMsgHeader.h"
#include "dir/DirMessage.h"
#include "dir/DirReply.h"
#include "dir/GetEntityRequest.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace QORAPI;

namespace {

// Builds replies by hand in the directory layouts.
struct ReplyBuilder
{
    WriteBuffer wb{0};

    explicit ReplyBuilder(uint16_t type) { AppendServerMsgHeader(wb, DirServiceType, type); }
    ReplyBuilder& Byte(uint8_t v) { wb.AppendByte(v); return *this; }
    ReplyBuilder& Short(uint16_t v) { wb.AppendShort(v); return *this; }
    ReplyBuilder& Long(uint32_t v) { wb.AppendLong(v); return *this; }
    ReplyBuilder& Wide(const std::u16string& s) { wb.AppendWString(s, 2); return *this; }
    ReplyBuilder& Str(const std::string& s, uint8_t field) { wb.AppendString(s, field); return *this; }
    SmartPtr<ByteBuffer> Done() { return wb.ToByteBuffer(true); }
};

const std::string kAddr("\x0F\xA0\x7F\x00\x00\x01", 6);   // port 4000, 127.0.0.1

SmartPtr<ByteBuffer> Prefix(const SmartPtr<ByteBuffer>& full, uint32_t n)
{
    return new ByteBuffer(full->GetData(), n);
}

// A listing of one directory and two services with every field the list layout can carry.
SmartPtr<ByteBuffer> RichListReply(uint8_t seq)
{
    const uint32_t flags = DirGetFlags_All;
    ReplyBuilder b(DirMsg_EntityListReply);
    b.Short(0).Byte(seq).Long(flags).Short(2);
    // a directory
    b.Byte('D').Wide(u"/games").Wide(u"chess").Byte(1).Wide(u"Chess");
    b.Long(1).Long(2).Long(3).Long(4);
    b.Short(1).Str("motd", 1).Str("hello", 2);
    b.Short(1).Byte(7).Short(2).Long(10).Long(11).Short(12).Long(20).Long(21).Short(22);
    // a service
    b.Byte('S').Wide(u"/games/chess").Wide(u"lobby").Str(kAddr, 1).Wide(u"Lobby");
    b.Long(5).Long(6).Long(7).Long(8);
    b.Short(2).Str("map", 1).Str("forest", 2).Str("mode", 1).Str("", 2);
    b.Short(0);
    return b.Done();
}

} // namespace

TEST(ServerMsgHeader, SessionExpiredNotice)
{
    WriteBuffer wb(0);
    wb.AppendLong(1);
    wb.AppendLong(15);
    wb.AppendShort(0);
    SmartPtr<ByteBuffer> notice = wb.ToByteBuffer(true);
    EXPECT_TRUE(IsSessionExpiredNotice(notice.Get()));
    EXPECT_FALSE(IsSessionExpiredNotice(Prefix(notice, 9).Get()));
    EXPECT_FALSE(IsSessionExpiredNotice(nullptr));
    wb.AppendLong(1);
    wb.AppendLong(16);
    wb.AppendShort(0);
    EXPECT_FALSE(IsSessionExpiredNotice(wb.ToByteBuffer(true).Get()));
}

TEST(GetEntityRequest, PackAddsTypeFlagWhenBothKindsAreAsked)
{
    GetEntityRequest req(u"/a", 0x3);
    req.AddDataObjectType("map");
    DirMessageWriter w(0);
    w.Begin(DirMsg_GetDir);
    req.Pack(w, GetEntityRequest::Form_Single);
    SmartPtr<ByteBuffer> msg = w.Finish();
    const uint8_t expected[] = {5, 2, 0, 103, 0, 0x13, 0, 0, 0, 0, 0, 2, 0, '/', 0, 'a', 0, 1, 0, 3, 'm', 'a', 'p'};
    ASSERT_EQ(msg->GetLength(), sizeof(expected));
    EXPECT_EQ(0, memcmp(msg->GetData(), expected, sizeof(expected)));

    DirMessageWriter w1(0);
    GetEntityRequest servicesOnly(u"", 0x2);
    servicesOnly.Pack(w1, GetEntityRequest::Form_Multi);
    msg = w1.Finish();
    const uint8_t expected1[] = {0x2, 0, 0, 0, 'D', 0, 0, 0, 0};
    ASSERT_EQ(msg->GetLength(), sizeof(expected1));
    EXPECT_EQ(0, memcmp(msg->GetData(), expected1, sizeof(expected1)));
}

TEST(DirMessageWriter, OverlongValuesAreFlagged)
{
    DirMessageWriter w(4);
    w.Begin(DirMsg_GetDir);
    w.ShortString(std::string(255, 'x'));
    EXPECT_FALSE(w.Overflowed());
    w.ShortString(std::string(256, 'x'));
    EXPECT_TRUE(w.Overflowed());
    w.Begin(DirMsg_GetDir);
    EXPECT_FALSE(w.Overflowed());
    w.String(std::u16string(70000, u'a'));
    EXPECT_TRUE(w.Overflowed());
    w.Begin(DirMsg_GetDir);
    w.Count(256, 1);
    EXPECT_TRUE(w.Overflowed());
}

TEST(EntityListReply, ParsesEveryField)
{
    DirEntityList list;
    EXPECT_EQ(UnpackEntityListReply(RichListReply(0x80).Get(), list), WS_Success);
    ASSERT_EQ(list.size(), 2u);
    const DirEntityPtr dir = list.front();
    EXPECT_TRUE(dir->IsDirectory());
    EXPECT_EQ(dir->GetPath(), u"/games");
    EXPECT_EQ(dir->GetName(), u"chess");
    EXPECT_TRUE(dir->GetDirFlag());
    EXPECT_EQ(dir->GetDisplayName(), u"Chess");
    EXPECT_EQ(dir->GetValue(0), 1u);
    EXPECT_EQ(dir->GetValue(3), 4u);
    ASSERT_EQ(dir->GetDataObjects().size(), 1u);
    EXPECT_EQ(dir->GetDataObjects()[0].mData->ToString(), "hello");
    ASSERT_EQ(dir->GetPermissions().size(), 2u);
    EXPECT_EQ(dir->GetPermissions()[1].mACLType, 7);
    EXPECT_EQ(dir->GetPermissions()[1].mValue3, 22);
    const DirEntityPtr svc = list.back();
    EXPECT_TRUE(svc->IsService());
    EXPECT_EQ(svc->GetName(), u"lobby");
    EXPECT_EQ(svc->GetNetAddress()->ToString(), kAddr);
    ASSERT_NE(svc->FindDataObject("mode"), nullptr);
    EXPECT_EQ(ByteBuffer::LengthOf(svc->FindDataObject("mode")->mData), 0u);
    EXPECT_EQ(svc->FindDataObject("absent"), nullptr);
}

TEST(EntityListReply, EveryTruncationFailsCleanlyAndStoresNothing)
{
    const SmartPtr<ByteBuffer> full = RichListReply(0x80);
    for (uint32_t n = 0; n < full->GetLength(); ++n)
    {
        DirEntityList list;
        const WSStatus status = UnpackEntityListReply(Prefix(full, n).Get(), list);
        EXPECT_EQ(status, n < ServerMsgHeader_Size ? WS_ServerReq_InvalidReplyHeader : WS_ServerReq_UnpackFailure) << n;
        EXPECT_TRUE(list.empty()) << n;
    }
}

TEST(EntityListReply, HeaderAndStatusRules)
{
    DirEntityList list;
    EXPECT_EQ(UnpackEntityListReply(ReplyBuilder(DirMsg_EntityReply).Short(0).Byte(0x80).Long(2).Short(0).Done().Get(), list),
              WS_ServerReq_InvalidReplyHeader);
    WriteBuffer wb(0);
    AppendServerMsgHeader(wb, 3, DirMsg_EntityListReply);
    wb.AppendShort(0);
    EXPECT_EQ(UnpackEntityListReply(wb.ToByteBuffer(true).Get(), list), WS_ServerReq_InvalidReplyHeader);
    // A negative status ends the parse; nothing after it is needed.
    EXPECT_EQ(UnpackEntityListReply(ReplyBuilder(DirMsg_EntityListReply).Short(static_cast<uint16_t>(-1200)).Done().Get(), list),
              WS_DirServ_DirNotFound);
    EXPECT_TRUE(list.empty());
}

TEST(EntityListReply, ServicesOnlyFlagsReadEntitiesAsServices)
{
    // Flags 0x06000002: services, name and address; no type bytes.
    ReplyBuilder b(DirMsg_EntityListReply);
    b.Short(0).Byte(0x80).Long(0x06000002).Short(2);
    b.Wide(u"a").Str(kAddr, 1);
    b.Wide(u"b").Str(std::string("\x00\x50\x0a\x00", 4), 1);   // too short for an address
    DirEntityList list;
    EXPECT_EQ(UnpackEntityListReply(b.Done().Get(), list), WS_Success);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list.front()->IsService());
    EXPECT_EQ(list.back()->GetName(), u"b");
    EXPECT_EQ(ByteBuffer::LengthOf(list.back()->GetNetAddress()), 4u);
}

TEST(EntityListReply, DataObjectsWithoutBytesAreBoundedPerReply)
{
    // Flags 0x802: services with data objects, but neither their types nor
    // their data, so each object takes no bytes.
    auto reply = [](uint16_t entities, uint16_t objects) {
        ReplyBuilder b(DirMsg_EntityListReply);
        b.Short(0).Byte(0x80).Long(0x802).Short(entities);
        for (uint16_t i = 0; i < entities; ++i)
            b.Short(objects);
        return b.Done();
    };
    DirEntityList list;
    ASSERT_EQ(UnpackEntityListReply(reply(3, 5).Get(), list), WS_Success);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.front()->GetDataObjects().size(), 5u);
    // Up to the bound in one reply, and not one object more (a few hundred
    // kilobytes of counts would otherwise ask for billions of objects).
    list.clear();
    const uint16_t atBound = static_cast<uint16_t>(kMaxEmptyDataObjects / 0xFFFF);
    EXPECT_EQ(UnpackEntityListReply(reply(atBound, 0xFFFF).Get(), list), WS_Success);
    list.clear();
    EXPECT_EQ(UnpackEntityListReply(reply(0xFFFF, 0xFFFF).Get(), list), WS_ServerReq_UnpackFailure);
    EXPECT_TRUE(list.empty());
}

TEST(GetEntityRequest, ListingInThreeRepliesCollectsAll)
{
    GetEntityRequest req(u"/games");
    EXPECT_EQ(req.Unpack(RichListReply(0)), WS_ServerReq_Recv);
    EXPECT_EQ(req.Unpack(RichListReply(0)), WS_ServerReq_Recv);
    EXPECT_EQ(req.Unpack(RichListReply(0x80)), WS_Success);
    EXPECT_EQ(req.GetEntities().size(), 6u);
    EXPECT_EQ(req.GetStatus(), WS_Success);
    // A failed parse keeps what the earlier replies brought.
    EXPECT_EQ(req.Unpack(Prefix(RichListReply(0x80), 20)), WS_ServerReq_UnpackFailure);
    EXPECT_EQ(req.GetEntities().size(), 6u);
    req.Clear();
    EXPECT_TRUE(req.GetEntities().empty());
}

TEST(GetEntityRequest, DirMapGroupsEntitiesUnderTheirDirectory)
{
    // Default flags: no paths; the map follows the order of the listing.
    ReplyBuilder b(DirMsg_EntityListReply);
    b.Short(0).Byte(0x80).Long(0x06020837).Short(5);
    auto service = [&](const std::u16string& name) { b.Byte('S').Wide(name).Str(kAddr, 1).Wide(u"").Short(0); };
    auto directory = [&](const std::u16string& name) { b.Byte('D').Wide(name).Wide(u"").Short(0); };
    service(u"top");
    directory(u"chess");
    service(u"c1");
    directory(u"go");
    service(u"g1");
    GetEntityRequest req(u"/games");
    ASSERT_EQ(req.Unpack(b.Done()), WS_Success);
    const DirEntityMap& map = req.GetDirMap();
    ASSERT_EQ(map.size(), 3u);
    ASSERT_EQ(map.at(u"/games").size(), 1u);
    ASSERT_EQ(map.at(u"/games/chess").size(), 2u);
    EXPECT_TRUE(map.at(u"/games/chess").front()->IsDirectory());
    EXPECT_EQ(map.at(u"/games/chess").back()->GetName(), u"c1");
    EXPECT_EQ(map.at(u"/games/go").back()->GetName(), u"g1");

    // The root: an empty requested path gets a slash before the name.
    ReplyBuilder r(DirMsg_EntityListReply);
    r.Short(0).Byte(0x80).Long(0x06020837).Short(1).Byte('D').Wide(u"x").Wide(u"").Short(0);
    GetEntityRequest root(u"");
    ASSERT_EQ(root.Unpack(r.Done()), WS_Success);
    EXPECT_EQ(root.GetDirMap().count(u"/x"), 1u);
    EXPECT_EQ(root.GetDirMap().count(u""), 1u);
}

TEST(SingleEntityReply, ReadsServiceFieldsAndSurvivesTruncation)
{
    ReplyBuilder b(DirMsg_EntityReply);
    b.Short(0).Long(0x06000822 | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    b.Wide(u"lobby").Str(kAddr, 1).Wide(u"Lobby").Short(1).Str("map", 1).Str("forest", 2);
    const SmartPtr<ByteBuffer> full = b.Done();
    DirEntityPtr entity;
    EXPECT_EQ(UnpackSingleEntityReply(full.Get(), entity), WS_Success);
    ASSERT_TRUE(entity);
    EXPECT_EQ(entity->GetName(), u"lobby");
    EXPECT_EQ(entity->GetDisplayName(), u"Lobby");
    EXPECT_EQ(entity->FindDataObject("map")->mData->ToString(), "forest");
    for (uint32_t n = 0; n < full->GetLength(); ++n)
    {
        DirEntityPtr partial;
        const WSStatus status = UnpackSingleEntityReply(Prefix(full, n).Get(), partial);
        EXPECT_TRUE(status == WS_ServerReq_UnpackFailure || status == WS_ServerReq_InvalidReplyHeader) << n;
        EXPECT_FALSE(partial) << n;
    }
    EXPECT_EQ(UnpackSingleEntityReply(ReplyBuilder(DirMsg_EntityReply).Short(static_cast<uint16_t>(-1201)).Done().Get(), entity),
              WS_DirServ_ServiceNotFound);
}

TEST(StatusReply, AddressFollowsOnlyWhenAskedAndNonNegative)
{
    SmartPtr<ByteBuffer> address;
    const SmartPtr<ByteBuffer> withAddr = ReplyBuilder(DirMsg_StatusReply).Short(0).Str(kAddr, 1).Done();
    EXPECT_EQ(UnpackStatusReply(withAddr.Get(), true, address), WS_Success);
    EXPECT_EQ(address->ToString(), kAddr);
    for (uint32_t n = ServerMsgHeader_Size; n < withAddr->GetLength(); ++n)
    {
        SmartPtr<ByteBuffer> none;
        EXPECT_EQ(UnpackStatusReply(Prefix(withAddr, n).Get(), true, none), WS_ServerReq_UnpackFailure) << n;
        EXPECT_FALSE(none);
    }
    const SmartPtr<ByteBuffer> refusal = ReplyBuilder(DirMsg_StatusReply).Short(static_cast<uint16_t>(-1203)).Done();
    SmartPtr<ByteBuffer> none;
    EXPECT_EQ(UnpackStatusReply(refusal.Get(), true, none), WS_DirServ_ServiceExists);
    EXPECT_FALSE(none);
    EXPECT_EQ(UnpackStatusReply(ReplyBuilder(DirMsg_StatusReply).Short(0).Done().Get()), WS_Success);
    EXPECT_EQ(UnpackStatusReply(ReplyBuilder(DirMsg_EntityListReply).Short(0).Done().Get()), WS_ServerReq_InvalidReplyHeader);
}
