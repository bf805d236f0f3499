// qor host: the local game host as a program of its own. Its certificate comes
// from the default local authority, the one qor local logs users in with.
#include "QORAPI.h"
#include "platform/Signal.h"
#include "service/GameHost.h"
#include "service/LocalAuthority.h"
#include "tools/qor/Cli.h"
#include "tools/qor/Commands.h"

#include <cstdio>

namespace QORAPI {
namespace Qor {

namespace {

const char* const kHostHelp =
    "Usage: qor host [--port N] [--relay] [--push TEXT --push-every S] [--json]\n"
    "Runs the game host on 127.0.0.1 port N (default 15802; 0 for an ephemeral port)\n"
    "until Ctrl-C (SIGINT) or SIGTERM. Every client proves itself with the certificate\n"
    "of its login; the host echoes each message back (or relays it to the other\n"
    "clients with --relay) over the encrypted session, and prints who connected.\n\n"
    "  --push TEXT      send TEXT to every client every --push-every seconds (default 5)\n"
    "  --json           print the address, then one JSON object per client\n";

} // namespace

int CmdHost(const ArgList& argv)
{
    Args args;
    std::string error;
    if (!args.Parse(argv, {"--json", "--help", "--relay"}, {"--port", "--push", "--push-every"}, error))
        return Fail("host", Exit_Usage, error + " (try --help)");
    if (args.Has("--help"))
    {
        std::printf("%s", kHostHelp);
        return Exit_Ok;
    }
    if (!args.Positional().empty())
        return Fail("host", Exit_Usage, "unexpected argument " + args.Positional()[0] + " (try --help)");
    uint32_t port = 0;
    uint32_t every = 0;
    if (!args.GetNumber("--port", 65535, kDefaultPortBase + Port_Host, port, error) ||
        !args.GetNumber("--push-every", 86400, 5, every, error))
        return Fail("host", Exit_Usage, error);
    if (every == 0)
        return Fail("host", Exit_Usage, "--push-every must be at least 1");
    const bool json = args.Has("--json");

    QORAPICore core(true, true, true);
    LocalAuthority authority;
    IssueRequest request;
    request.mUserId = 900;
    request.mUserName = u"game host";
    request.mLifetimeSeconds = 30u * 86400u;
    request.mLifetime2Seconds = 30u * 86400u;
    const SmartPtr<AuthPeerData> credentials = authority.IsReady() ? authority.IssuePeerData(request) : nullptr;
    if (!credentials)
        return Fail("host", Exit_Local, "cannot issue the host's certificate");
    if (!InstallStopHandler())
        return Fail("host", Exit_Local, "cannot install the signal handler");
    GameHost host;
    host.SetCredentials(credentials);
    host.SetServeSessionMode(true);
    host.SetMode(args.Has("--relay") ? GameHostMode::Relay : GameHostMode::Echo);
    host.SetReport([json](const GameHostClient& c) {
        if (json)
            Out(Json()
                    .Field("client", c.mAddress.GetText())
                    .Field("status", WSStatusToString(c.mStatus))
                    .Field("userId", static_cast<int64_t>(c.mUserId))
                    .Field("name", Narrow(c.mName))
                    .Field("authType", static_cast<int64_t>(c.mAuthType))
                    .Str() +
                "\n");
        else
            Out(c.mAddress.GetText() + " " +
                (c.mStatus == WS_Success ? "authenticated as user " + std::to_string(c.mUserId) + " \"" +
                                               Narrow(c.mName) + "\""
                                         : std::string("refused")) +
                ": " + WSStatusToString(c.mStatus) + "\n");
    });
    const WSStatus status = host.Start(static_cast<uint16_t>(port));
    if (status != WS_Success)
        return Fail("host", Exit_Local,
                    "cannot listen on port " + std::to_string(port) + ": " + WSStatusToString(status) +
                        " (exit 7, local)");
    const std::string address = "127.0.0.1:" + std::to_string(host.GetPort());
    if (json)
        Out(Json()
                .Field("status", "WS_Success")
                .Field("host", address)
                .Field("mode", args.Has("--relay") ? "relay" : "echo")
                .Str() +
            "\n");
    else
        Out("qor host: listening on " + address + " (" + (args.Has("--relay") ? "relay" : "echo") +
            "; Ctrl-C stops it)\n");
    const std::string push = args.Get("--push");
    uint32_t waited = 0;
    while (!WaitForStopRequest(1000))
        if (!push.empty() && ++waited % every == 0)
            host.Push(new ByteBuffer(push.data(), static_cast<uint32_t>(push.size())));
    host.Stop();
    if (!json)
        Out("qor host: stopped after " + std::to_string(host.GetClients().size()) + " connections and " +
            std::to_string(host.GetMessageCount()) + " messages\n");
    return Exit_Ok;
}

} // namespace Qor
} // namespace QORAPI
