// Directory listing: registers a game server with the directory service and
// prints the tree, one blocking GetDirOp per directory.
//   dir_listing HOST:PORT      (the directory server, e.g. of `qor local`)
#include "QORAPI.h"
#include "auth/ServerContext.h"
#include "dir/AddEntityOp.h"
#include "dir/GetDirOp.h"

#include <cstdio>
#include <string>

using namespace QORAPI;

namespace {

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// Prints path's entries, then descends into its directories.
bool PrintTree(const SmartPtr<ServerContext>& servers, const std::u16string& path, int depth)
{
    SmartPtr<GetDirOp> list = new GetDirOp(servers);
    list->SetPath(path);
    list->SetGetFlags(DirGetFlags_Default | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    if (!list->RunBlock(5000))   // blocking: the status is known when it returns
    {
        std::printf("listing %s: %s\n", Narrow(path).c_str(), WSStatusToString(list->GetStatus()));
        return false;
    }
    for (const DirEntityPtr& e : list->GetEntities())
    {
        std::printf("%*s%s%s", depth * 2 + 2, "", Narrow(e->GetName()).c_str(), e->IsDirectory() ? "/" : "");
        if (e->IsService())
            std::printf("  %s", e->GetAddress().GetText().c_str());
        std::printf("\n");
        if (e->IsDirectory() &&
            !PrintTree(servers, (path == u"/" ? std::u16string() : path) + u"/" + e->GetName(), depth + 1))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    InetAddress server;
    if (argc != 2 || !server.SetFromText(argv[1]))
    {
        std::fprintf(stderr, "usage: dir_listing HOST:PORT\n");
        return 2;
    }
    // The core owns the library's threads; with a pump thread, completions
    // run there and the blocking calls below simply wait.
    QORAPICore core(true, true, true);

    // A server list for the directory service; requests fail over along it.
    SmartPtr<ServerContext> servers = new ServerContext;
    servers->AddAddress(server);

    // Register a service, creating its directories on the way (flag 0x02).
    SmartPtr<AddEntityOp> add = new AddEntityOp(servers, true);
    add->SetFlags(0x02);
    add->SetPath(u"/examples/chess");
    add->SetName(u"Lobby");
    add->SetNetAddress(InetAddress(0x7F000001u, 4000));
    add->RunBlock(5000);
    std::printf("add /examples/chess/Lobby: %s\n", WSStatusToString(add->GetStatus()));
    if (add->GetStatus() != WS_Success && add->GetStatus() != WS_DirServ_ServiceExists)
        return 1;

    std::printf("/\n");
    return PrintTree(servers, u"/", 0) ? 0 : 1;
}
