// qor local: the whole local service in one process (directory, authentication,
// game host, UDP and TCP ping responders), in memory or kept in a state file;
// qor local account: the accounts of a state file.
#include "QORAPI.h"
#include "platform/Signal.h"
#include "service/AuthServer.h"
#include "service/DirServer.h"
#include "service/GameHost.h"
#include "service/LocalAuthority.h"
#include "service/LocalState.h"
#include "service/PingResponder.h"
#include "tools/qor/Cli.h"
#include "tools/qor/Commands.h"

#include <cstdio>
#include <set>

namespace QORAPI {
namespace Qor {

namespace {

const char* const kLocalHelp =
    "Usage: qor local [--state FILE] [--port-base N] [--key-dir DIR] [--relay] [--json]\n"
    "       qor local account add USER [--password P] [--community C]... [--trust N] [--challenge] --state FILE\n"
    "       qor local account rm USER --state FILE\n"
    "       qor local account ls --state FILE [--json]\n"
    "Runs the local service on 127.0.0.1 until Ctrl-C (SIGINT) or SIGTERM: the directory\n"
    "server, the authentication server, the game host and the UDP and TCP ping responders.\n"
    "It prints their addresses, the account to log in with and where the verifier key\n"
    "file _qorkver.pub was written.\n\n"
    "  --state FILE     keep accounts and the directory tree in the SQLite database FILE\n"
    "                   (created when missing); without it everything lives in memory\n"
    "  --port-base N    ports N (directory), N+1 (authentication), N+2 (game host),\n"
    "                   N+3 (UDP ping), N+4 (TCP ping); 0 for ephemeral ports (default 15800)\n"
    "  --key-dir DIR    where to write _qorkver.pub (default: the current directory)\n"
    "  --relay          the game host relays messages to the other clients (default: echo)\n"
    "  --json           print the addresses as one JSON object\n\n"
    "Account changes made while the service runs are picked up within a second.\n";

std::string Text(const char* format, unsigned value)
{
    char buf[128];
    std::snprintf(buf, sizeof(buf), format, value);
    return buf;
}

int CmdAccount(const ArgList& argv)
{
    Args args;
    std::string error;
    if (!args.Parse(argv, {"--json", "--help", "--challenge"}, {"--state", "--password", "--community", "--trust"},
                    error))
        return Fail("local account", Exit_Usage, error + " (try --help)");
    if (args.Has("--help"))
    {
        std::printf("%s", kLocalHelp);
        return Exit_Ok;
    }
    const ArgList& pos = args.Positional();
    if (pos.empty() || (pos[0] != "add" && pos[0] != "rm" && pos[0] != "ls") ||
        (pos[0] == "ls" ? pos.size() != 1 : pos.size() != 2))
        return Fail("local account", Exit_Usage, "expected add USER, rm USER or ls (try --help)");
    if (!args.Has("--state"))
        return Fail("local account", Exit_Usage, "--state FILE is required");
    uint32_t trust = 1;
    if (!args.GetNumber("--trust", 65535, 1, trust, error))
        return Fail("local account", Exit_Usage, error);
    LocalState state;
    if (!state.Open(args.Get("--state"), error))
        return Fail("local account", Exit_Local, error);
    const bool json = args.Has("--json");
    if (pos[0] == "ls")
    {
        std::string list;
        for (const AuthAccount& a : state.GetAccounts())
        {
            std::string communities;
            std::string jsonCommunities;
            for (const std::u16string& c : a.mCommunities)
            {
                communities += (communities.empty() ? "" : ",") + Narrow(c);
                jsonCommunities += (jsonCommunities.empty() ? "" : ",") + Json::Quote(Narrow(c));
            }
            if (json)
                list += (list.empty() ? "" : ",") + Json()
                                                        .Field("user", Narrow(a.mUserName))
                                                        .Field("userId", static_cast<int64_t>(a.mUserId))
                                                        .Raw("communities", "[" + jsonCommunities + "]")
                                                        .Field("trust", static_cast<int64_t>(a.mTrustLevel))
                                                        .Field("challenge", a.mChallenge)
                                                        .Str();
            else
                std::printf("%-20s id %-6u communities %-16s trust %u%s\n", Narrow(a.mUserName).c_str(), a.mUserId,
                            communities.c_str(), a.mTrustLevel, a.mChallenge ? " challenge" : "");
        }
        if (json)
            Out(Json().Field("status", "WS_Success").Raw("accounts", "[" + list + "]").Str() + "\n");
        return Exit_Ok;
    }
    const std::u16string user = Widen(pos[1]);
    if (pos[0] == "rm")
    {
        if (!state.RemoveAccount(user))
            return Fail("local account", Exit_NotFound, "rm " + pos[1] + ": " + state.GetLastError());
        Out(json ? Json().Field("status", "WS_Success").Field("removed", pos[1]).Str() + "\n"
                 : "removed account " + pos[1] + "\n");
        return Exit_Ok;
    }
    if (user.empty() || pos[1].find_first_of(" \t\r\n") != std::string::npos)
        return Fail("local account", Exit_Usage, "bad user name: " + pos[1]);
    AuthAccount account;
    account.mUserName = user;
    account.mPassword = Widen(args.Has("--password") ? args.Get("--password") : ReadPassword("Password: "));
    for (const std::string& c : args.GetAll("--community"))
        account.mCommunities.push_back(Widen(c));
    if (account.mCommunities.empty())
        account.mCommunities.push_back(u"qor");
    account.mTrustLevel = static_cast<uint16_t>(trust);
    account.mChallenge = args.Has("--challenge");
    // Ids stay stable across restarts: a known user keeps its id, a new one
    // gets one above every id in use.
    uint32_t next = 1000;
    for (const AuthAccount& a : state.GetAccounts())
    {
        if (a.mUserName == user)
            account.mUserId = a.mUserId;
        next = std::max(next, a.mUserId);
    }
    if (account.mUserId == 0)
        account.mUserId = next + 1;
    if (!state.PutAccount(account))
        return Fail("local account", Exit_Local, "add " + pos[1] + ": " + state.GetLastError());
    Out(json ? Json().Field("status", "WS_Success").Field("user", pos[1]).Field("userId",
                                                                                 static_cast<int64_t>(account.mUserId))
                       .Str() + "\n"
             : "stored account " + pos[1] + Text(" (user id %u)\n", account.mUserId));
    return Exit_Ok;
}

// Brings the server's accounts in line with the state file.
void SyncAccounts(LocalState& state, AuthServer& server, std::set<std::u16string>& loaded)
{
    std::set<std::u16string> present;
    for (const AuthAccount& a : state.GetAccounts())
    {
        AuthAccount existing;
        if (!server.FindAccount(a.mUserName, existing) || existing.mPassword != a.mPassword ||
            existing.mCommunities != a.mCommunities || existing.mTrustLevel != a.mTrustLevel ||
            existing.mChallenge != a.mChallenge || existing.mUserId != a.mUserId)
            server.AddAccount(a);
        present.insert(a.mUserName);
    }
    for (const std::u16string& name : loaded)
        if (present.count(name) == 0)
            server.RemoveAccount(name);
    loaded = present;
}

} // namespace

int CmdLocal(const ArgList& argv)
{
    if (!argv.empty() && argv[0] == "account")
        return CmdAccount(ArgList(argv.begin() + 1, argv.end()));
    Args args;
    std::string error;
    if (!args.Parse(argv, {"--json", "--help", "--relay"}, {"--state", "--port-base", "--key-dir"}, error))
        return Fail("local", Exit_Usage, error + " (try --help)");
    if (args.Has("--help"))
    {
        std::printf("%s", kLocalHelp);
        return Exit_Ok;
    }
    if (!args.Positional().empty())
        return Fail("local", Exit_Usage, "unexpected argument " + args.Positional()[0] + " (try --help)");
    uint32_t base = kDefaultPortBase;
    if (!args.GetNumber("--port-base", 65531, kDefaultPortBase, base, error))
        return Fail("local", Exit_Usage, error);
    auto port = [base](PortOffset offset) { return static_cast<uint16_t>(base == 0 ? 0 : base + offset); };
    const bool json = args.Has("--json");
    const std::string keyDir = args.Get("--key-dir", ".");

    LocalState state;
    const bool persistent = args.Has("--state");
    if (persistent && !state.Open(args.Get("--state"), error))
        return Fail("local", Exit_Local, error);

    // The default authority: its fixed keys are those the library verifies
    // with by default, and those qor host issues its certificate with.
    SmartPtr<LocalAuthority> authority = new LocalAuthority();
    if (!authority->IsReady())
        return Fail("local", Exit_Local, "cannot make the authority's keys");
    if (persistent)
    {
        const std::string stored = state.GetMeta("authority", "");
        if (!stored.empty() && stored != "default-1024")
            return Fail("local", Exit_Local, "the state file names an unknown authority: " + stored);
        if (stored.empty() && !state.SetMeta("authority", "default-1024"))
            return Fail("local", Exit_Local, state.GetLastError());
    }
    if (!authority->WriteVerifierKeyFile(keyDir))
        return Fail("local", Exit_Local, "cannot write " + keyDir + "/" + LocalAuthority::VerifierKeyFileName());

    QORAPICore core(true, true, true);
    AuthServer authServer(authority);
    DirServer dirServer;
    GameHost host;
    PingResponder pings;

    std::set<std::u16string> loaded;
    if (persistent)
    {
        // A fresh state file gets the default account, so that a login works at once.
        if (state.GetAccounts().empty() && state.GetMeta("accounts-seeded").empty())
        {
            AuthAccount account = AuthServer::DefaultAccount();
            account.mUserId = 1001;
            if (!state.PutAccount(account) || !state.SetMeta("accounts-seeded", "1"))
                return Fail("local", Exit_Local, state.GetLastError());
        }
        authServer.RemoveAccount(AuthServer::DefaultAccount().mUserName);
        SyncAccounts(state, authServer, loaded);

        std::vector<DirEngineRecord> records;
        if (!state.LoadTree(records))
            return Fail("local", Exit_Local, state.GetLastError());
        dirServer.GetEngine().Import(records);
        dirServer.GetEngine().SetChangeHook([&state](const std::vector<DirEngineRecord>& tree) {
            if (state.SaveTree(tree))
                return true;
            std::fprintf(stderr, "qor local: cannot store the directory tree: %s\n",
                         state.GetLastError().c_str());
            return false;   // the engine keeps the stored tree and refuses the change
        });
    }

    IssueRequest request;
    request.mUserId = 900;
    request.mUserName = u"game host";
    request.mLifetimeSeconds = 30u * 86400u;
    request.mLifetime2Seconds = 30u * 86400u;
    SmartPtr<AuthPeerData> hostCredentials = authority->IssuePeerData(request);
    request.mUserId = 901;
    request.mUserName = u"directory";
    SmartPtr<AuthPeerData> dirCredentials = authority->IssuePeerData(request);
    if (!hostCredentials || !dirCredentials)
        return Fail("local", Exit_Local, "cannot issue the servers' certificates");
    dirServer.SetCredentials(dirCredentials);
    host.SetCredentials(hostCredentials);
    host.SetServeSessionMode(true);
    host.SetMode(args.Has("--relay") ? GameHostMode::Relay : GameHostMode::Echo);
    if (!json)
        host.SetReport([](const GameHostClient& c) {
            Out("host: " + c.mAddress.GetText() + " " +
                (c.mStatus == WS_Success ? "authenticated as \"" + Narrow(c.mName) + "\"" : std::string("refused")) +
                " " + WSStatusToString(c.mStatus) + "\n");
        });
    pings.SetUdpCount(1, port(Port_PingUdp));
    pings.SetTcp(true, port(Port_PingTcp));

    if (!InstallStopHandler())
        return Fail("local", Exit_Local, "cannot install the signal handler");
    struct Part
    {
        const char* name;
        WSStatus status;
    };
    const Part parts[] = {
        {"directory server", dirServer.Start(port(Port_Dir))},
        {"authentication server", authServer.Start(port(Port_Auth))},
        {"game host", host.Start(port(Port_Host))},
        {"ping responders", pings.Start()},
    };
    for (const Part& p : parts)
        if (p.status != WS_Success)
        {
            host.Stop();
            pings.Stop();
            authServer.Stop();
            dirServer.Stop();
            return Fail("local", Exit_Local, std::string("cannot start the ") + p.name + ": " +
                                                 WSStatusToString(p.status));
        }

    const AuthAccount account = AuthServer::DefaultAccount();
    std::string keyPath = keyDir;
    if (!keyPath.empty() && keyPath.back() != '/')
        keyPath += '/';
    keyPath += LocalAuthority::VerifierKeyFileName();
    auto addr = [](uint16_t p) { return "127.0.0.1:" + std::to_string(p); };
    if (json)
        Out(Json()
                .Field("status", "WS_Success")
                .Field("dir", addr(dirServer.GetPort()))
                .Field("auth", addr(authServer.GetPort()))
                .Field("host", addr(host.GetPort()))
                .Field("pingUdp", addr(pings.GetUdpPort(0)))
                .Field("pingTcp", addr(pings.GetTcpPort()))
                .Field("user", Narrow(account.mUserName))
                .Field("password", Narrow(account.mPassword))
                .Field("community", Narrow(account.mCommunities.front()))
                .Field("keyFile", keyPath)
                .Field("state", persistent ? args.Get("--state") : std::string())
                .Field("entities", static_cast<int64_t>(dirServer.GetEngine().CountEntities()))
                .Str() +
            "\n");
    else
    {
        std::string text = "qor local: the local service is running (Ctrl-C stops it)\n";
        text += "  directory server       " + addr(dirServer.GetPort()) + "  (" +
                std::to_string(dirServer.GetEngine().CountEntities()) + " entities)\n";
        text += "  authentication server  " + addr(authServer.GetPort()) + "\n";
        text += "  game host              " + addr(host.GetPort()) + "\n";
        text += "  ping (UDP)             " + addr(pings.GetUdpPort(0)) + "\n";
        text += "  ping (TCP)             " + addr(pings.GetTcpPort()) + "\n";
        text += "  verifier key           " + keyPath + "\n";
        text += persistent ? "  state                  " + args.Get("--state") + " (" +
                                 std::to_string(loaded.size()) + " accounts)\n"
                           : std::string("  state                  in memory\n");
        text += "  log in with            user " + Narrow(account.mUserName) + ", password " +
                Narrow(account.mPassword) + ", community " + Narrow(account.mCommunities.front()) + "\n";
        Out(text);
    }
    while (!WaitForStopRequest(1000))
        if (persistent)
            SyncAccounts(state, authServer, loaded);
    host.Stop();
    pings.Stop();
    authServer.Stop();
    dirServer.Stop();
    dirServer.GetEngine().SetChangeHook(nullptr);
    if (!json)
        Out("qor local: stopped\n");
    return Exit_Ok;
}

} // namespace Qor
} // namespace QORAPI
