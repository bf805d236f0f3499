// One directory operation of every request kind, each aimed at a tree that
// SeedCatalogTree builds, so that every kind gets a real reply (success or a
// refusal) from the local directory engine. Used by the fault matrix, the soak
// test and the generator of fuzz seeds.
#ifndef QORAPI_TESTS_DIROPCATALOG_H
#define QORAPI_TESTS_DIROPCATALOG_H

#include "QORSocket/InetAddress.h"
#include "auth/ServerContext.h"
#include "dir/AddEntityOp.h"
#include "dir/DirGetFlags.h"
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
#include "service/DirServerEngine.h"

#include <functional>
#include <string>
#include <vector>

namespace QORAPI {
namespace DirCatalog {

const uint32_t kAllGetFlags = DirGetFlags_All;

inline SmartPtr<ByteBuffer> Text(const std::string& s)
{
    return new ByteBuffer(s.data(), static_cast<uint32_t>(s.size()));
}

inline std::string Address6(uint16_t port)
{
    const SmartPtr<ByteBuffer> b = NetAddressOf(InetAddress(0x7F000001u, port));
    return b->ToString();
}

// /games (with chess, lobby, chat and by default enough services in chess
// for a listing of several replies) and /tools.
inline void SeedCatalogTree(DirServerEngine& engine, int chessServices = 70)
{
    engine.AddDirectory(u"/games", u"Games", 3600);
    engine.AddDirectory(u"/games/chess", u"Chess", 3600);
    engine.AddDirectory(u"/tools", u"Tools");
    engine.AddService(u"/games", u"lobby", Address6(4000), u"Lobby", 3600, {{"map", "forest"}, {"mode", "ffa"}});
    engine.AddService(u"/games", u"chat", Address6(4001), u"Chat", 0, {{"topic", "chess"}});
    for (int i = 0; i < chessServices; ++i)
    {
        const std::string n = std::to_string(i);
        engine.AddService(u"/games/chess", std::u16string(n.begin(), n.end()), Address6(static_cast<uint16_t>(5000 + i)));
    }
}

struct OpKind
{
    const char* mName;
    std::function<SmartPtr<ServerRequestOp>(const SmartPtr<ServerContext>&)> mMake;
};

template <class Op>
SmartPtr<Op> Aim(Op* op, const std::u16string& path, const std::u16string& name, uint16_t port = 0)
{
    op->SetPath(path);
    op->SetName(name);
    if (port)
        op->SetNetAddress(InetAddress(0x7F000001u, port));
    return op;
}

inline const std::vector<OpKind>& Kinds()
{
    typedef SmartPtr<ServerContext> Ctx;
    static const std::vector<OpKind> kinds = {
        {"GetDir", [](const Ctx& c) {
             SmartPtr<GetDirOp> op = new GetDirOp(c);
             op->SetPath(u"/games");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"GetDirAllFieldsSeveralReplies", [](const Ctx& c) {
             SmartPtr<GetDirOp> op = new GetDirOp(c);
             op->SetPath(u"/games/chess");
             op->SetGetFlags(kAllGetFlags);
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"GetMultiDir", [](const Ctx& c) {
             SmartPtr<GetMultiDirOp> op = new GetMultiDirOp(c);
             op->AddRequest(u"/games");
             op->AddRequest(u"/tools", kAllGetFlags);
             op->AddRequest(u"/missing");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"GetService", [](const Ctx& c) {
             SmartPtr<GetServiceOp> op = new GetServiceOp(c);
             op->SetPath(u"/games");
             op->SetName(u"lobby");
             op->SetGetFlags(kAllGetFlags);
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"FindServiceSingle", [](const Ctx& c) {
             SmartPtr<FindEntityOp> op = new FindEntityOp(c, true);
             op->SetPath(u"/games");
             op->SetName(u"lobby");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"FindServiceAll", [](const Ctx& c) {
             SmartPtr<FindEntityOp> op = new FindEntityOp(c, true);
             op->SetPath(u"/");
             op->SetName(u"1");
             op->SetMatchMode(DirMatch_Prefix);
             op->SetMatchFlags(DirMatchFlag_All | DirMatchFlag_Recursive);
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"FindDirectory", [](const Ctx& c) {
             SmartPtr<FindEntityOp> op = new FindEntityOp(c, false);
             op->SetPath(u"/games");
             op->SetName(u"chess");
             op->SetMatchFlags(DirMatchFlag_All);
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"AddDirectory", [](const Ctx& c) {
             SmartPtr<AddEntityOp> op = Aim(new AddEntityOp(c, false), u"/games", u"arcade");
             op->SetDisplayName(u"Arcade");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"AddService", [](const Ctx& c) {
             SmartPtr<AddEntityOp> op = Aim(new AddEntityOp(c, true), u"/games", u"duel", 4100);
             op->SetFlags(DirAddFlag_Unique | DirAddFlag_UsePeerAddress);
             op->AddDataObject("map", Text("desert"));
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"ModifyDirectory", [](const Ctx& c) {
             SmartPtr<ModifyEntityOp> op = Aim(new ModifyEntityOp(c, false), u"/games", u"chess");
             op->SetNewDisplayName(u"Chess and more");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"ModifyService", [](const Ctx& c) {
             SmartPtr<ModifyEntityOp> op = Aim(new ModifyEntityOp(c, true), u"/games", u"lobby", 4000);
             op->SetNewDisplayName(u"Main lobby");
             op->AddDataObject("map", Text("island"));
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"RenameDirectory", [](const Ctx& c) {
             SmartPtr<RenameEntityOp> op = Aim(new RenameEntityOp(c, false), u"/tools", u"");
             op->SetNewName(u"utilities");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"RenameService", [](const Ctx& c) {
             SmartPtr<RenameEntityOp> op = Aim(new RenameEntityOp(c, true), u"/games", u"chat", 4001);
             op->SetNewName(u"talk");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"RemoveDirectory", [](const Ctx& c) {
             return SmartPtr<ServerRequestOp>(Aim(new RemoveEntityOp(c, false), u"/tools", u""));
         }},
        {"RemoveService", [](const Ctx& c) {
             return SmartPtr<ServerRequestOp>(Aim(new RemoveEntityOp(c, true), u"/games", u"chat", 4001));
         }},
        {"RenewDirectory", [](const Ctx& c) {
             SmartPtr<RenewEntityOp> op = Aim(new RenewEntityOp(c, false), u"/games", u"chess");
             op->SetLifespan(600);
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"RenewService", [](const Ctx& c) {
             SmartPtr<RenewEntityOp> op = Aim(new RenewEntityOp(c, true), u"/games", u"lobby", 4000);
             op->SetLifespan(600);
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"SetDataObjectsDirectory", [](const Ctx& c) {
             SmartPtr<EntitySetDataObjectsOp> op = Aim(new EntitySetDataObjectsOp(c, false), u"/games", u"chess");
             op->SetMode(DirSetData_AddReplace);
             op->AddDataObject("rules", Text("fide"));
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"SetDataObjectsService", [](const Ctx& c) {
             SmartPtr<EntitySetDataObjectsOp> op = Aim(new EntitySetDataObjectsOp(c, true), u"/games", u"lobby", 4000);
             op->SetMode(DirSetData_Add);
             op->AddDataObject("map", Text("refused: exists"));
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"ClearDataObjectsDirectory", [](const Ctx& c) {
             SmartPtr<EntityClearDataObjectsOp> op = Aim(new EntityClearDataObjectsOp(c, false), u"/games", u"chess");
             op->AddDataObjectType("rules");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"ClearDataObjectsService", [](const Ctx& c) {
             SmartPtr<EntityClearDataObjectsOp> op = Aim(new EntityClearDataObjectsOp(c, true), u"/games", u"lobby", 4000);
             op->AddDataObjectType("mode");
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"ModifyDataObjectsDirectory", [](const Ctx& c) {
             SmartPtr<EntityModifyDataObjectsOp> op = Aim(new EntityModifyDataObjectsOp(c, false), u"/games", u"chess");
             op->AddChange(0, true, "rules", Text("x"));
             return SmartPtr<ServerRequestOp>(op);
         }},
        {"ModifyDataObjectsService", [](const Ctx& c) {
             SmartPtr<EntityModifyDataObjectsOp> op = Aim(new EntityModifyDataObjectsOp(c, true), u"/games", u"lobby", 4000);
             op->AddChange(1, false, "map", Text("ISL"));
             return SmartPtr<ServerRequestOp>(op);
         }},
    };
    return kinds;
}

} // namespace DirCatalog
} // namespace QORAPI

#endif
