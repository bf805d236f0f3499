#include "DirTestUtil.h"

#include "dir/AddEntityOp.h"
#include "dir/EntityClearDataObjectsOp.h"
#include "dir/EntityModifyDataObjectsOp.h"
#include "dir/EntitySetDataObjectsOp.h"
#include "dir/FindEntityOp.h"
#include "dir/GetDirOp.h"
#include "dir/GetMultiDirOp.h"
#include "dir/GetServiceOp.h"
#include "dir/ModifyEntityOp.h"
#include "dir/RemoveEntityOp.h"
#include "dir/RenameEntityOp.h"
#include "dir/RenewEntityOp.h"

#include <gtest/gtest.h>

using namespace QORAPI;
using namespace QORAPI::DirTest;

namespace {

SmartPtr<ByteBuffer> Text(const std::string& s) { return new ByteBuffer(s.data(), static_cast<uint32_t>(s.size())); }

// Points an entity operation at path/name and, with a port, at one address.
template <class Op>
SmartPtr<Op> Target(Op* op, const std::u16string& path, const std::u16string& name, uint16_t port = 0)
{
    op->SetPath(path);
    op->SetName(name);
    if (port)
        op->SetNetAddress(Local(port));
    return op;
}

// Every test runs once blocking and once asynchronously.
class DirOpsTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        mCore.reset(new QORAPICore(true, true, true));
        ASSERT_EQ(mServer.Start(0), WS_Success);
        mContext = new ServerContext;
        mContext->AddAddress(Local(mServer.GetPort()));
    }
    void TearDown() override
    {
        mServer.Stop();
        mCore.reset();
    }

    bool Async() const { return GetParam(); }
    WSStatus Run(const SmartPtr<AsyncOp>& op) { return RunOp(op, Async()); }

    WSStatus AddService(const std::u16string& path, const std::u16string& name, uint16_t port,
                        const std::string& objType = "", const std::string& objData = "")
    {
        SmartPtr<AddEntityOp> op = Target(new AddEntityOp(mContext, true), path, name, port);
        op->SetFlags(DirAddFlag_Unique | DirAddFlag_CreatePath);
        op->SetDisplayName(u"Server " + name);
        if (!objType.empty())
            op->AddDataObject(objType, Text(objData));
        return Run(op);
    }

    std::unique_ptr<QORAPICore> mCore;
    DirServer mServer;
    SmartPtr<ServerContext> mContext;
};

} // namespace

TEST_P(DirOpsTest, AddListAndGetService)
{
    SmartPtr<AddEntityOp> dir = Target(new AddEntityOp(mContext, false), u"/", u"games");
    dir->SetDisplayName(u"Games");
    EXPECT_EQ(Run(dir), WS_Success);
    EXPECT_EQ(Run(dir), WS_DirServ_DirExists);   // flags 1: an existing entity is refused
    EXPECT_EQ(AddService(u"/games", u"lobby", 4000, "map", "forest"), WS_Success);
    EXPECT_EQ(AddService(u"/games", u"lobby", 4001), WS_Success);
    EXPECT_EQ(AddService(u"/games/chess", u"table", 5000), WS_Success);

    SmartPtr<GetDirOp> list = new GetDirOp(mContext);
    list->SetPath(u"/games");
    EXPECT_EQ(Run(list), WS_Success);
    ASSERT_EQ(list->GetEntities().size(), 3u);
    const DirEntityPtr first = list->GetEntities().front();
    EXPECT_TRUE(first->IsService());
    EXPECT_EQ(first->GetAddress(), Local(4000));
    EXPECT_EQ(first->GetDisplayName(), u"Server lobby");
    EXPECT_TRUE(list->GetEntities().back()->IsDirectory());
    EXPECT_EQ(list->GetDirMap().count(u"/games/chess"), 1u);

    // A context filled from the listing holds the two lobbies.
    ServerContext lobbies;
    lobbies.SetShuffle(false);
    EXPECT_TRUE(lobbies.AddAddressesFromDir(list->GetEntities(), u"lobby"));
    EXPECT_EQ(lobbies.GetAddressCount(), 2u);

    SmartPtr<GetServiceOp> get = Target(new GetServiceOp(mContext), u"/games", u"lobby", 4000);
    get->SetGetFlags(DirGetFlags_ServiceDefault | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    EXPECT_EQ(Run(get), WS_Success);
    ASSERT_TRUE(get->GetEntity());
    ASSERT_NE(get->GetEntity()->FindDataObject("map"), nullptr);
    EXPECT_EQ(get->GetEntity()->FindDataObject("map")->mData->ToString(), "forest");

    SmartPtr<GetServiceOp> missing = Target(new GetServiceOp(mContext), u"/games", u"nobody");
    EXPECT_EQ(Run(missing), WS_DirServ_ServiceNotFound);
    EXPECT_FALSE(missing->GetEntity());

    SmartPtr<GetDirOp> nowhere = new GetDirOp(mContext);
    nowhere->SetPath(u"/nowhere");
    EXPECT_EQ(Run(nowhere), WS_DirServ_DirNotFound);
}

TEST_P(DirOpsTest, AddReturnsTheAddressTheServerSaw)
{
    SmartPtr<AddEntityOp> op = new AddEntityOp(mContext, true);
    op->SetFlags(DirAddFlag_Unique | DirAddFlag_UsePeerAddress);
    op->SetPath(u"/");
    op->SetName(u"host");
    op->SetNetAddress(InetAddress(0x0A000001u, 7777));   // 10.0.0.1: replaced by the address seen
    EXPECT_EQ(Run(op), WS_Success);
    ASSERT_EQ(ByteBuffer::LengthOf(op->GetNetAddress()), 6u);
    InetAddress seen;
    seen.SetSixBytes(op->GetNetAddress()->GetData());
    EXPECT_EQ(seen, Local(7777));
}

TEST_P(DirOpsTest, ChangeRenameRenewAndRemove)
{
    ASSERT_EQ(AddService(u"/g", u"svc", 4000), WS_Success);

    SmartPtr<ModifyEntityOp> modify = Target(new ModifyEntityOp(mContext, true), u"/g", u"svc", 4000);
    modify->SetNewNetAddress(Local(4100));
    modify->SetNewDisplayName(u"Moved");
    modify->AddDataObject("state", Text("open"));
    EXPECT_EQ(Run(modify), WS_Success);

    SmartPtr<RenameEntityOp> rename = Target(new RenameEntityOp(mContext, true), u"/g", u"svc", 4100);
    rename->SetNewName(u"renamed");
    EXPECT_EQ(Run(rename), WS_Success);

    SmartPtr<RenewEntityOp> renew = Target(new RenewEntityOp(mContext, true), u"/g", u"renamed", 4100);
    renew->SetLifespan(3600);
    EXPECT_EQ(Run(renew), WS_Success);
    renew = Target(new RenewEntityOp(mContext, true), u"/g", u"renamed");
    renew->SetLifespan(0xFFFFFFFFu);
    EXPECT_EQ(Run(renew), WS_DirServ_InvalidLifespan);

    SmartPtr<GetDirOp> list = new GetDirOp(mContext);
    list->SetPath(u"/g");
    list->SetGetFlags(DirGetFlags_Default | DirGetFlag_Value2 | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    ASSERT_EQ(Run(list), WS_Success);
    ASSERT_EQ(list->GetEntities().size(), 1u);
    const DirEntityPtr e = list->GetEntities().front();
    EXPECT_EQ(e->GetName(), u"renamed");
    EXPECT_EQ(e->GetDisplayName(), u"Moved");
    EXPECT_EQ(e->GetAddress(), Local(4100));
    EXPECT_GT(e->GetValue(1), 3500u);   // lifespan left
    EXPECT_EQ(e->FindDataObject("state")->mData->ToString(), "open");

    SmartPtr<RemoveEntityOp> remove = new RemoveEntityOp(mContext, false);
    remove->SetPath(u"/g");
    EXPECT_EQ(Run(remove), WS_Success);
    EXPECT_EQ(Run(remove), WS_DirServ_DirNotFound);
    EXPECT_EQ(mServer.GetEngine().CountEntities(), 0u);
}

TEST_P(DirOpsTest, DataObjects)
{
    ASSERT_EQ(AddService(u"/", u"svc", 4000, "map", "forest"), WS_Success);

    SmartPtr<EntitySetDataObjectsOp> set = Target(new EntitySetDataObjectsOp(mContext, true), u"/", u"svc");
    set->SetMode(DirSetData_Add);
    set->AddDataObject("map", Text("x"));
    EXPECT_EQ(Run(set), WS_DirServ_DataObjectExists);
    set = Target(new EntitySetDataObjectsOp(mContext, true), u"/", u"svc");
    set->SetMode(DirSetData_Add);
    set->AddDataObject("players", Text("3"));
    EXPECT_EQ(Run(set), WS_Success);

    SmartPtr<EntityModifyDataObjectsOp> change = Target(new EntityModifyDataObjectsOp(mContext, true), u"/", u"svc");
    change->AddChange(0, false, "players", Text("4"));
    change->AddChange(6, true, "map", Text("-north"));
    EXPECT_EQ(Run(change), WS_Success);
    change = Target(new EntityModifyDataObjectsOp(mContext, true), u"/", u"svc");
    change->AddChange(99, false, "map", Text("!"));
    EXPECT_EQ(Run(change), WS_DirServ_BadDataOffset);

    SmartPtr<GetServiceOp> get = Target(new GetServiceOp(mContext), u"/", u"svc");
    get->SetGetFlags(DirGetFlags_ServiceDefault | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    ASSERT_EQ(Run(get), WS_Success);
    EXPECT_EQ(get->GetEntity()->FindDataObject("map")->mData->ToString(), "forest-north");
    EXPECT_EQ(get->GetEntity()->FindDataObject("players")->mData->ToString(), "4");

    SmartPtr<EntityClearDataObjectsOp> clear = Target(new EntityClearDataObjectsOp(mContext, true), u"/", u"svc");
    clear->AddDataObjectType("absent");
    EXPECT_EQ(Run(clear), WS_DirServ_DataObjectNotFound);
    clear = Target(new EntityClearDataObjectsOp(mContext, true), u"/", u"svc");
    EXPECT_EQ(Run(clear), WS_Success);
    EXPECT_EQ(Run(clear), WS_DirServ_NoDataObjects);
}

TEST_P(DirOpsTest, FindServicesAndDirectories)
{
    ASSERT_EQ(AddService(u"/g/chess", u"lobby", 4000, "mode", "ranked"), WS_Success);
    ASSERT_EQ(AddService(u"/g/go", u"lobby", 4001), WS_Success);

    SmartPtr<FindEntityOp> one = Target(new FindEntityOp(mContext, true), u"/g", u"lobby");
    one->SetMatchFlags(DirMatchFlag_Recursive);
    one->AddMatchDataObject("mode", nullptr);
    EXPECT_EQ(Run(one), WS_Success);
    ASSERT_TRUE(one->GetEntity());
    EXPECT_EQ(one->GetEntity()->GetAddress(), Local(4000));
    EXPECT_EQ(one->GetEntities().size(), 1u);

    SmartPtr<FindEntityOp> all = Target(new FindEntityOp(mContext, true), u"/", u"lob");
    all->SetMatchMode(DirMatch_Prefix);
    all->SetMatchFlags(DirMatchFlag_All | DirMatchFlag_Recursive);
    EXPECT_EQ(Run(all), WS_Success);
    EXPECT_EQ(all->GetEntities().size(), 2u);
    EXPECT_EQ(all->GetEntity(), all->GetEntities().front().Get());

    SmartPtr<FindEntityOp> dirs = Target(new FindEntityOp(mContext, false), u"/g", u"go");
    EXPECT_EQ(Run(dirs), WS_Success);
    ASSERT_EQ(dirs->GetEntities().size(), 1u);
    EXPECT_TRUE(dirs->GetEntities().front()->IsDirectory());
    EXPECT_FALSE(dirs->GetEntity());

    SmartPtr<FindEntityOp> none = Target(new FindEntityOp(mContext, true), u"/g", u"nobody");
    none->SetMatchFlags(DirMatchFlag_Recursive);
    EXPECT_EQ(Run(none), WS_DirServ_ServiceNotFound);
}

TEST_P(DirOpsTest, ListingOverSeveralReplies)
{
    DirServerEngine::Limits limits;
    limits.mMaxEntitiesPerReply = 3;
    mServer.GetEngine().SetLimits(limits);
    for (uint16_t i = 0; i < 10; ++i)
        ASSERT_EQ(mServer.GetEngine().AddService(u"/many", u"s", std::string("\x10\x00\x7f\x00\x00", 5) + char(i)),
                  WS_Success);
    SmartPtr<GetDirOp> list = new GetDirOp(mContext);
    list->SetPath(u"/many");
    EXPECT_EQ(Run(list), WS_Success);
    EXPECT_EQ(list->GetEntities().size(), 10u);
    EXPECT_EQ(mServer.GetRequestCount(), 1u);
}

TEST_P(DirOpsTest, MultiGetSuccessPartialAndTotalFailure)
{
    ASSERT_EQ(mServer.GetEngine().AddService(u"/a", u"x", std::string("\x10\x00\x7f\x00\x00\x01", 6)), WS_Success);
    ASSERT_EQ(mServer.GetEngine().AddService(u"/b", u"y", std::string("\x10\x01\x7f\x00\x00\x01", 6)), WS_Success);
    DirServerEngine::Limits limits;
    limits.mMaxEntitiesPerReply = 1;
    mServer.GetEngine().SetLimits(limits);
    ASSERT_EQ(mServer.GetEngine().AddService(u"/b", u"z", std::string("\x10\x02\x7f\x00\x00\x01", 6)), WS_Success);

    SmartPtr<GetMultiDirOp> ok = new GetMultiDirOp(mContext);
    ok->AddRequest(u"/a");
    ok->AddRequest(u"/b");
    EXPECT_EQ(Run(ok), WS_Success);
    EXPECT_EQ(ok->GetRequests()[0]->GetEntities().size(), 1u);
    EXPECT_EQ(ok->GetRequests()[1]->GetEntities().size(), 2u);   // two replies for /b

    SmartPtr<GetMultiDirOp> partial = new GetMultiDirOp(mContext);
    partial->AddRequest(u"/a");
    partial->AddRequest(u"/missing");
    partial->AddRequest(u"/b");
    EXPECT_EQ(Run(partial), WS_DirServ_MultiGetPartialFailure);
    EXPECT_EQ(partial->GetFailedCount(), 1u);
    EXPECT_EQ(partial->GetRequests()[1]->GetStatus(), WS_DirServ_DirNotFound);
    EXPECT_EQ(partial->GetRequests()[2]->GetEntities().size(), 2u);

    SmartPtr<GetMultiDirOp> failed = new GetMultiDirOp(mContext);
    failed->AddRequest(u"/m1");
    failed->AddRequest(u"/m2");
    failed->AddRequest(u"/m3");
    EXPECT_EQ(Run(failed), WS_DirServ_MultiGetFailedAllRequests);
    EXPECT_EQ(failed->GetFailedCount(), 3u);
}

TEST_P(DirOpsTest, RequestsThatCannotBeSentOrRun)
{
    // A name too long for its length field is refused before anything is sent.
    SmartPtr<AddEntityOp> tooLong = Target(new AddEntityOp(mContext, false), u"/", std::u16string(70000, u'x'));
    EXPECT_EQ(Run(tooLong), WS_InvalidMessage);
    SmartPtr<GetMultiDirOp> tooMany = new GetMultiDirOp(mContext);
    for (int i = 0; i < 256; ++i)
        tooMany->AddRequest(u"/");
    EXPECT_EQ(Run(tooMany), WS_InvalidMessage);
    EXPECT_EQ(mServer.GetRequestCount(), 0u);

    SmartPtr<GetDirOp> noServers = new GetDirOp(SmartPtr<ServerContext>(new ServerContext));
    EXPECT_EQ(Run(noServers), WS_ServerReq_NoServersSpecified);

    SmartPtr<GetDirOp> needsAuth = new GetDirOp(mContext);
    needsAuth->SetAuthType(1);
    EXPECT_EQ(Run(needsAuth), WS_ServerReq_NeedAuthContext);

    // A context without credentials cannot renew them: the request ends
    // before anything is sent, with the renewal's status kept.
    SmartPtr<GetDirOp> auth = new GetDirOp(mContext);
    auth->SetAuthType(1);
    auth->SetAuthContext(new AuthContext);
    EXPECT_EQ(Run(auth), WS_ServerReq_GetCertFailure);
    EXPECT_NE(auth->GetCertStatus(), WS_None);
    EXPECT_NE(auth->GetCertStatus(), WS_Success);
    EXPECT_EQ(mServer.GetRequestCount(), 0u);

    SmartPtr<GetDirOp> badField = new GetDirOp(mContext);
    badField->SetLengthFieldSize(3);
    EXPECT_EQ(Run(badField), WS_RecvMsg_InvalidLengthFieldSize);

    // One address instead of a context.
    SmartPtr<GetDirOp> single = new GetDirOp(Local(mServer.GetPort()));
    single->SetPath(u"/");
    EXPECT_EQ(Run(single), WS_Success);
}

// Requests longer than their length field carries never leave the client:
// cut to the field's width, their lengths would let the server take bytes of
// a name for a request of its own.
TEST_P(DirOpsTest, RequestsLongerThanTheLengthFieldAreNotSent)
{
    // A directory add to "/" is a frame of field + 22 + 2 * name length bytes.
    const struct
    {
        uint8_t field;
        size_t nameLength;
        WSStatus expected;
    } cases[] = {{1, 52, WS_Success},   {1, 53, WS_SendMsg_FrameTooLong}, {1, 126, WS_SendMsg_FrameTooLong},
                 {2, 200, WS_Success},  {2, 16371, WS_DirServ_InvalidPath}, {2, 16372, WS_SendMsg_FrameTooLong},
                 {2, 32000, WS_SendMsg_FrameTooLong}};
    for (const auto& c : cases)
    {
        DirServer server;
        server.SetLengthFieldSize(c.field);
        ASSERT_EQ(server.Start(0), WS_Success);
        SmartPtr<AddEntityOp> op =
            Target(new AddEntityOp(Local(server.GetPort()), false), u"/", std::u16string(c.nameLength, u'n'));
        op->SetLengthFieldSize(c.field);
        EXPECT_EQ(Run(op), c.expected) << int(c.field) << " " << c.nameLength;
        EXPECT_EQ(server.GetRequestCount(), c.expected == WS_SendMsg_FrameTooLong ? 0u : 1u);
        server.Stop();
    }

    // With a 4-byte field the frame limit is 256000 bytes.
    SmartPtr<EntitySetDataObjectsOp> big = Target(new EntitySetDataObjectsOp(mContext, false), u"/", u"");
    for (int i = 0; i < 4; ++i)
        big->AddDataObject("t" + std::to_string(i), Text(std::string(64000, 'd')));
    EXPECT_EQ(Run(big), WS_SendMsg_FrameTooLong);
    EXPECT_EQ(mServer.GetRequestCount(), 0u);
}

// With a 1-byte length field, listings are cut into replies of at most 127
// bytes; a reply that cannot be cut is refused in its own type, and the rest
// of its listing is not sent, so later listings stay in step.
TEST_P(DirOpsTest, RepliesFitTheLengthField)
{
    DirServer server;
    server.SetLengthFieldSize(1);
    ASSERT_EQ(server.Start(0), WS_Success);
    DirServerEngine& engine = server.GetEngine();
    for (char i = 0; i < 12; ++i)
        ASSERT_EQ(engine.AddService(u"/small", u"s", std::string("\x10\x00\x7f\x00\x00", 5) + i), WS_Success);
    ASSERT_EQ(engine.AddService(u"/big", u"b", std::string("\x10\x00\x7f\x00\x00\x01", 6), std::u16string(100, u'd')),
              WS_Success);
    ASSERT_EQ(engine.AddService(u"/big", u"c", std::string("\x10\x00\x7f\x00\x00\x02", 6)), WS_Success);

    SmartPtr<GetDirOp> small = new GetDirOp(Local(server.GetPort()));
    small->SetLengthFieldSize(1);
    small->SetPath(u"/small");
    EXPECT_EQ(Run(small), WS_Success);
    EXPECT_EQ(small->GetEntities().size(), 12u);

    SmartPtr<GetMultiDirOp> multi = new GetMultiDirOp(Local(server.GetPort()));
    multi->SetLengthFieldSize(1);
    multi->AddRequest(u"/big");
    multi->AddRequest(u"/small");
    EXPECT_EQ(Run(multi), WS_DirServ_MultiGetPartialFailure);
    EXPECT_EQ(multi->GetRequests()[0]->GetStatus(), WS_CommServ_MessageExceedsMax);
    EXPECT_EQ(multi->GetRequests()[1]->GetEntities().size(), 12u);
    server.Stop();
}

INSTANTIATE_TEST_SUITE_P(Modes, DirOpsTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Async" : "Blocking"; });
