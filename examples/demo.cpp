// The library at work against the local service on loopback: a library core,
// the directory server and the authentication server on ephemeral ports, a
// tour of the directory operations, blocking and asynchronous, and a login of
// the default account with one asynchronous renewal. Every step prints what
// it did and the status it got, by name.
#include "QORAPI.h"
#include "auth/AuthContext.h"
#include "auth/ServerContext.h"
#include "dir/AddEntityOp.h"
#include "dir/EntityModifyDataObjectsOp.h"
#include "dir/EntitySetDataObjectsOp.h"
#include "dir/FindEntityOp.h"
#include "dir/GetDirOp.h"
#include "dir/GetMultiDirOp.h"
#include "dir/GetServiceOp.h"
#include "dir/ModifyEntityOp.h"
#include "dir/RemoveEntityOp.h"
#include "dir/RenameEntityOp.h"
#include "QORSocket/BlockingSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/PeerAuthOp.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "service/AuthServer.h"
#include "service/DirServer.h"
#include "service/GameHost.h"
#include "service/LocalAuthority.h"

#include <cstdio>
#include <string>

using namespace QORAPI;

namespace {

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

SmartPtr<ByteBuffer> Text(const std::string& s) { return new ByteBuffer(s.data(), static_cast<uint32_t>(s.size())); }

void Step(const char* what, WSStatus status)
{
    std::printf("  %-58s %s\n", what, WSStatusToString(status));
}

std::string Describe(const DirEntity& e)
{
    std::string line = (e.IsDirectory() ? "[dir] " : "[svc] ") + Narrow(e.GetName());
    if (e.IsService())
        line += "  " + e.GetAddress().GetText();
    if (!e.GetDisplayName().empty())
        line += "  \"" + Narrow(e.GetDisplayName()) + "\"";
    for (const DirDataObject& o : e.GetDataObjects())
        line += "  " + o.mType + "=" + (o.mData ? o.mData->ToString() : std::string());
    return line;
}

// Prints the tree below path, one blocking listing per directory.
void PrintTree(const SmartPtr<ServerContext>& dirServers, const std::u16string& path, int depth)
{
    SmartPtr<GetDirOp> list = new GetDirOp(dirServers);
    list->SetPath(path);
    list->SetGetFlags(DirGetFlags_Default | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    if (!list->RunBlock(5000))
    {
        std::printf("%*slisting %s failed: %s\n", depth * 2 + 4, "", Narrow(path).c_str(),
                    WSStatusToString(list->GetStatus()));
        return;
    }
    for (const DirEntityPtr& e : list->GetEntities())
    {
        std::printf("%*s%s\n", depth * 2 + 4, "", Describe(*e).c_str());
        if (e->IsDirectory())
            PrintTree(dirServers, (path == u"/" ? std::u16string() : path) + u"/" + e->GetName(), depth + 1);
    }
}

WSStatus AddServer(const SmartPtr<ServerContext>& dirServers, const std::u16string& path, const std::u16string& name,
                   uint16_t port, const std::u16string& display, const std::string& map)
{
    SmartPtr<AddEntityOp> add = new AddEntityOp(dirServers, true);
    add->SetFlags(DirAddFlag_Unique | DirAddFlag_CreatePath);
    add->SetPath(path);
    add->SetName(name);
    add->SetNetAddress(InetAddress(0x7F000001u, port));
    add->SetDisplayName(display);
    add->SetLifespan(3600);
    add->AddDataObject("map", Text(map));
    add->AddDataObject("players", Text("0/16"));
    add->RunBlock(5000);
    return add->GetStatus();
}

int gPending = 0;

void OnAsyncDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> label)
{
    --gPending;
    const std::string what = static_cast<ByteBuffer*>(label.Get())->ToString();
    std::printf("  (async) %-50s %s\n", what.c_str(), WSStatusToString(op->GetStatus()));
    FindEntityOp* find = dynamic_cast<FindEntityOp*>(op.Get());
    if (find)
        for (const DirEntityPtr& e : find->GetEntities())
            std::printf("            found %s in %s\n", Describe(*e).c_str(), Narrow(e->GetPath()).c_str());
    GetMultiDirOp* multi = dynamic_cast<GetMultiDirOp*>(op.Get());
    if (multi)
        for (const SmartPtr<GetEntityRequest>& r : multi->GetRequests())
            std::printf("            %-24s %zu entities, %s\n", Narrow(r->GetPath()).c_str(), r->GetEntities().size(),
                        WSStatusToString(r->GetStatus()));
}

void RunAsync(QORAPICore& core, const SmartPtr<AsyncOp>& op, const char* label)
{
    op->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(
        &OnAsyncDone, SmartPtr<RefCount>(new ByteBuffer(label, static_cast<uint32_t>(std::string(label).size())))));
    ++gPending;
    op->RunAsync(5000);
    (void)core;
}

// Logs the default account in at a local authentication server and renews
// its certificate once asynchronously.
bool LoginTour(QORAPICore& core)
{
    AuthServer authServer;
    const WSStatus started = authServer.Start(0);
    if (started != WS_Success)
    {
        std::printf("cannot start the local authentication server: %s\n", WSStatusToString(started));
        return false;
    }
    const AuthAccount account = AuthServer::DefaultAccount();
    std::printf("\nLocal authentication server listening on 127.0.0.1:%u\n", authServer.GetPort());
    std::printf("Logging in as %s (blocking Refresh):\n", Narrow(account.mUserName).c_str());

    SmartPtr<AuthContext> auth = new AuthContext(account.mUserName, account.mCommunities.front(), account.mPassword);
    auth->AddAddress(InetAddress(0x7F000001u, authServer.GetPort()));
    const WSStatus login = auth->Refresh(10000);
    Step("log in", login);
    if (login != WS_Success)
        return false;
    SmartPtr<AuthPeerData> peer = auth->GetPeerData();
    const Auth2Certificate& cert2 = *peer->GetCertificate2();
    std::printf("    who:        %s, user id %u\n", Narrow(cert2.GetName()).c_str(), cert2.GetUserId());
    std::printf("    lifetime:   %u s (issued %u, expires %u), %u s left\n",
                peer->GetCertificate()->GetExpiryTime() - peer->GetCertificate()->GetIssueTime(),
                peer->GetCertificate()->GetIssueTime(), peer->GetCertificate()->GetExpiryTime(),
                peer->GetSecondsUntilExpiry());
    std::printf("    community:  %s, id %u, trust level %u\n", Narrow(account.mCommunities.front()).c_str(),
                peer->GetCertificate()->GetCommunityId(), peer->GetCertificate()->GetTrustLevel());

    std::printf("Renewing once (RefreshAsync with a waiter):\n");
    SmartPtr<LightGetCertOp> waiter = new LightGetCertOp();
    auth->RefreshAsync(waiter, 10000);
    for (int i = 0; i < 200 && (waiter->IsPending() || waiter->IsAwaitingCompletion()); ++i)
        core.Pump(50, 0);
    Step("renewal", waiter->GetStatus());
    SmartPtr<AuthPeerData> renewed = waiter->GetPeerData();
    if (renewed)
        std::printf("    new certificate expires %u, the context holds it: %s\n",
                    renewed->GetCertificate()->GetExpiryTime(), renewed == auth->GetPeerData() ? "yes" : "no");
    auth->CancelRefresh();
    authServer.Stop();
    std::printf("The authentication server logged in %u times.\n", authServer.GetLoginCount());
    return waiter->GetStatus() == WS_Success && renewed == auth->GetPeerData();
}

// Waits, pumping, until op has run and completed (bounded); an operation
// queued on a socket has not started yet while it waits its turn.
void PumpUntilDone(QORAPICore& core, const SmartPtr<AsyncOp>& op)
{
    for (int i = 0; i < 200 && (op->GetStatus() == WS_None || op->IsPending() || op->IsAwaitingCompletion()); ++i)
        core.Pump(50, 0);
}

// After a login: an authenticated directory server and a game host, both
// holding certificates of the local authority. Two authenticated listings
// (the second reuses the cached session), then an encrypted conversation
// with the game host.
bool PeerTour(QORAPICore& core)
{
    AuthServer authServer;
    LocalAuthority authority;
    DirServer dirServer;
    GameHost host;
    IssueRequest serverCert;
    serverCert.mUserId = 901;
    serverCert.mUserName = u"directory";
    dirServer.SetCredentials(authority.IssuePeerData(serverCert));
    serverCert.mUserId = 900;
    serverCert.mUserName = u"game host";
    host.SetCredentials(authority.IssuePeerData(serverCert));
    host.SetServeSessionMode(true);
    host.SetReport([](const GameHostClient& c) {
        std::printf("    (host) %s: user %u \"%s\", type %d, %s\n", c.mAddress.GetText().c_str(), c.mUserId,
                    Narrow(c.mName).c_str(), c.mAuthType, WSStatusToString(c.mStatus));
    });
    if (authServer.Start(0) != WS_Success || dirServer.Start(0) != WS_Success || host.Start(0) != WS_Success)
    {
        std::printf("cannot start the local servers for peer authentication\n");
        return false;
    }
    dirServer.GetEngine().AddService(u"/games/chess", u"Host", std::string("\x00\x00\x7f\x00\x00\x01", 6));
    std::printf("\nPeer authentication: directory server on 127.0.0.1:%u, game host on 127.0.0.1:%u\n",
                dirServer.GetPort(), host.GetPort());

    const AuthAccount account = AuthServer::DefaultAccount();
    SmartPtr<AuthContext> auth = new AuthContext(account.mUserName, account.mCommunities.front(), account.mPassword);
    auth->AddAddress(InetAddress(0x7F000001u, authServer.GetPort()));
    Step("log in", auth->Refresh(10000));

    std::printf("Authenticated listings (GetDirOp, authentication type 1, blocking):\n");
    SmartPtr<ServerContext> dirServers = new ServerContext;
    dirServers->AddAddress(InetAddress(0x7F000001u, dirServer.GetPort()));
    bool listed = true;
    for (int i = 0; i < 2; ++i)
    {
        SmartPtr<GetDirOp> list = new GetDirOp(dirServers);
        list->SetPath(u"/games/chess");
        list->SetAuthType(1);
        list->SetAuthContext(auth);
        list->RunBlock(10000);
        Step(i == 0 ? "list /games/chess (peer authentication first)" : "list /games/chess (cached session)",
             list->GetStatus());
        listed = listed && list->GetStatus() == WS_Success;
        std::printf("    %zu entities; handshakes so far %u, sessions cached %zu\n", list->GetEntities().size(),
                    dirServer.GetSessionGate().GetHandshakeCount(),
                    auth->GetSessionCount(InetAddress(0x7F000001u, dirServer.GetPort())));
    }

    std::printf("Talking to the game host (PeerAuthOp type 1, asynchronous, pumped here):\n");
    SmartPtr<BlockingSocket> socket = new BlockingSocket();
    SmartPtr<PeerAuthOp> peer =
        new PeerAuthOp(InetAddress(0x7F000001u, host.GetPort()), auth, 1, SmartPtr<AsyncSocket>(socket.Get()), true);
    peer->RunAsync(10000);
    PumpUntilDone(core, peer);
    Step("authenticate with the game host", peer->GetStatus());
    int echoed = 0;
    const char* lines[] = {"hello, host", "move e2e4", "good game"};
    for (const char* line : lines)
    {
        if (peer->GetStatus() != WS_Success)
            break;
        WriteBuffer wb(4, true);
        wb.AppendString(line, 2);
        SmartPtr<SendMsgOp> send = new SendMsgOp(wb.ToByteBuffer(true));
        SmartPtr<RecvMsgOp> recv = new RecvMsgOp();
        socket->QueueOp(send, 5000);
        socket->QueueOp(recv, 5000);
        PumpUntilDone(core, recv);
        std::string text;
        if (recv->GetStatus() == WS_Success)
        {
            ReadBuffer rb(recv->GetMsg());
            rb.ReadString(text, 2);
            ++echoed;
        }
        std::printf("    sent \"%s\" encrypted, the host echoed \"%s\" (%s)\n", line, text.c_str(),
                    WSStatusToString(recv->GetStatus()));
    }
    if (SmartPtr<AuthSession> session = peer->GetSession())
        std::printf("    session %u: type %d, sequence numbers %u out, %u in\n", session->GetSessionId(),
                    session->GetAuthType(),
                    session->GetOutgoingSequence(), session->GetIncomingSequence());
    socket->Close();
    for (int i = 0; i < 4; ++i)
        core.Pump(20, 0);
    host.Stop();
    dirServer.Stop();
    authServer.Stop();
    return listed && echoed == 3;
}

} // namespace

int main()
{
    // The application pumps the core itself: every completion runs here.
    QORAPICore core(false, true, true);
    DirServer server;
    const WSStatus started = server.Start(0);
    if (started != WS_Success)
    {
        std::printf("cannot start the local directory server: %s\n", WSStatusToString(started));
        return 1;
    }
    std::printf("Local directory server listening on 127.0.0.1:%u\n\n", server.GetPort());

    SmartPtr<ServerContext> dirServers = new ServerContext;
    dirServers->AddAddress(InetAddress(0x7F000001u, server.GetPort()));

    std::printf("Registering game servers (blocking AddEntityOp):\n");
    Step("add /games/chess/Lobby 127.0.0.1:4000",
         AddServer(dirServers, u"/games/chess", u"Lobby", 4000, u"Chess lobby", "classic"));
    Step("add /games/chess/Lobby 127.0.0.1:4001",
         AddServer(dirServers, u"/games/chess", u"Lobby", 4001, u"Chess lobby 2", "blitz"));
    Step("add /games/racing/Track 127.0.0.1:5000",
         AddServer(dirServers, u"/games/racing", u"Track", 5000, u"Racing", "desert"));
    Step("add /games/racing/Track 127.0.0.1:5000 again",
         AddServer(dirServers, u"/games/racing", u"Track", 5000, u"Racing", "desert"));
    SmartPtr<AddEntityOp> dir = new AddEntityOp(dirServers, false);
    dir->SetPath(u"/games");
    dir->SetName(u"puzzles");
    dir->SetDisplayName(u"Puzzle games");
    dir->RunBlock(5000);
    Step("add directory /games/puzzles", dir->GetStatus());

    std::printf("\nThe tree (one GetDirOp per directory):\n    /\n");
    PrintTree(dirServers, u"/", 1);

    std::printf("\nChanging entities (blocking):\n");
    SmartPtr<ModifyEntityOp> modify = new ModifyEntityOp(dirServers, true);
    modify->SetPath(u"/games/racing");
    modify->SetName(u"Track");
    modify->SetNetAddress(InetAddress(0x7F000001u, 5000));
    modify->SetNewDisplayName(u"Racing (night)");
    modify->AddDataObject("map", Text("city"));
    modify->RunBlock(5000);
    Step("modify Track: display name, map=city", modify->GetStatus());
    SmartPtr<EntitySetDataObjectsOp> set = new EntitySetDataObjectsOp(dirServers, true);
    set->SetPath(u"/games/chess");
    set->SetName(u"Lobby");
    set->SetNetAddress(InetAddress(0x7F000001u, 4000));
    set->SetMode(DirSetData_AddReplace);
    set->AddDataObject("players", Text("12/16"));
    set->RunBlock(5000);
    Step("set players=12/16 on Lobby :4000", set->GetStatus());
    SmartPtr<EntityModifyDataObjectsOp> patch = new EntityModifyDataObjectsOp(dirServers, true);
    patch->SetPath(u"/games/chess");
    patch->SetName(u"Lobby");
    patch->SetNetAddress(InetAddress(0x7F000001u, 4001));
    patch->AddChange(5, true, "map", Text("-960"));
    patch->RunBlock(5000);
    Step("insert -960 into map of Lobby :4001", patch->GetStatus());
    SmartPtr<RenameEntityOp> rename = new RenameEntityOp(dirServers, false);
    rename->SetPath(u"/games/puzzles");
    rename->SetNewName(u"logic");
    rename->RunBlock(5000);
    Step("rename /games/puzzles to logic", rename->GetStatus());
    SmartPtr<GetServiceOp> get = new GetServiceOp(dirServers);
    get->SetPath(u"/games/chess");
    get->SetName(u"Nobody");
    get->RunBlock(5000);
    Step("get service /games/chess/Nobody", get->GetStatus());

    std::printf("\nAsynchronous operations, completed by this thread's Pump:\n");
    SmartPtr<FindEntityOp> find = new FindEntityOp(dirServers, true);
    find->SetPath(u"/");
    find->SetName(u"Lobby");
    find->SetMatchFlags(DirMatchFlag_All | DirMatchFlag_Recursive);
    find->SetGetFlags(DirGetFlags_Default | DirGetFlag_ServicePath | DirGetFlag_DataObjectTypes |
                      DirGetFlag_DataObjectData);
    RunAsync(core, find, "find every service named Lobby");
    SmartPtr<GetMultiDirOp> multi = new GetMultiDirOp(dirServers);
    multi->AddRequest(u"/games/chess");
    multi->AddRequest(u"/games/racing");
    multi->AddRequest(u"/games/missing");
    RunAsync(core, multi, "list three directories at once");
    for (int i = 0; i < 200 && gPending > 0; ++i)
        core.Pump(50, 0);

    std::printf("\nA server list built from the directory:\n");
    SmartPtr<GetDirOp> lobbies = new GetDirOp(dirServers);
    lobbies->SetPath(u"/games/chess");
    lobbies->RunBlock(5000);
    ServerContext chessServers;
    chessServers.SetShuffle(false);
    chessServers.AddAddressesFromDir(lobbies->GetEntities(), u"Lobby");
    InetAddressList addresses;
    chessServers.CopyAddresses(addresses);
    for (const InetAddress& a : addresses)
        std::printf("    %s\n", a.GetText().c_str());

    std::printf("\nRemoving entities (blocking):\n");
    SmartPtr<RemoveEntityOp> remove = new RemoveEntityOp(dirServers, true);
    remove->SetPath(u"/games/racing");
    remove->SetName(u"Track");
    remove->RunBlock(5000);
    Step("remove service Track", remove->GetStatus());
    SmartPtr<RemoveEntityOp> removeDir = new RemoveEntityOp(dirServers, false);
    removeDir->SetPath(u"/games/logic");
    removeDir->RunBlock(5000);
    Step("remove directory /games/logic", removeDir->GetStatus());
    removeDir = new RemoveEntityOp(dirServers, false);
    removeDir->SetPath(u"/games/logic");
    removeDir->RunBlock(5000);
    Step("remove directory /games/logic again", removeDir->GetStatus());

    std::printf("\nThe tree now:\n    /\n");
    PrintTree(dirServers, u"/", 1);

    server.Stop();
    std::printf("\nThe server answered %u requests.\n", server.GetRequestCount());
    const bool loggedIn = LoginTour(core);
    const bool peered = PeerTour(core);
    return gPending == 0 && loggedIn && peered ? 0 : 1;
}
