// qor-host: the local game host as a standalone program. It authenticates
// every client with the library's server side, echoes or relays their
// encrypted messages, and prints who connected.
#include "QORAPI.h"
#include "platform/Signal.h"
#include "service/GameHost.h"
#include "service/LocalAuthority.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace QORAPI;

namespace {

void PrintHelp()
{
    std::printf("Usage: qor-host [--port N] [--relay] [--session-mode] [--user-id N] [--name NAME]\n"
                "Runs the local game host on TCP port N (0 or none: an ephemeral port, printed at\n"
                "start) until interrupted (SIGINT or SIGTERM). The host's certificate comes from\n"
                "the default local authority, the one qor-authserver logs clients in with.\n\n"
                "  --port N          port to listen on (default 0)\n"
                "  --relay           send each message to every other client (default: echo it)\n"
                "  --session-mode    also serve authentication type 1 (session identifiers)\n"
                "  --user-id N       the host's user id in its certificate (default 900)\n"
                "  --name NAME       the host's name in its certificate (default \"game host\")\n"
                "  --help            this text\n");
}

bool ParseNumber(const char* text, uint32_t max, uint32_t& out)
{
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v > max)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

void Report(const GameHostClient& client)
{
    if (client.mStatus == WS_Success)
        std::printf("qor-host: %s authenticated as user %u \"%s\" (type %d)\n", client.mAddress.GetText().c_str(),
                    client.mUserId, Narrow(client.mName).c_str(), client.mAuthType);
    else
        std::printf("qor-host: %s refused: %s\n", client.mAddress.GetText().c_str(),
                    WSStatusToString(client.mStatus));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    uint32_t port = 0;
    uint32_t userId = 900;
    std::u16string name = u"game host";
    GameHostMode mode = GameHostMode::Echo;
    bool sessionMode = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            PrintHelp();
            return 0;
        }
        if (arg == "--relay")
        {
            mode = GameHostMode::Relay;
            continue;
        }
        if (arg == "--session-mode")
        {
            sessionMode = true;
            continue;
        }
        if ((arg == "--port" || arg == "--user-id" || arg == "--name") && i + 1 < argc)
        {
            const char* value = argv[++i];
            if (arg == "--name")
                name = std::u16string(value, value + std::char_traits<char>::length(value));
            else if (!ParseNumber(value, arg == "--port" ? 65535 : 0xFFFFFFFFu, arg == "--port" ? port : userId))
            {
                std::fprintf(stderr, "qor-host: bad value for %s: %s\n", arg.c_str(), value);
                return 2;
            }
            continue;
        }
        std::fprintf(stderr, "qor-host: unknown argument %s (try --help)\n", arg.c_str());
        return 2;
    }

    QORAPICore core(true, true, true);
    LocalAuthority authority;
    IssueRequest request;
    request.mUserId = userId;
    request.mUserName = name;
    request.mLifetimeSeconds = 30u * 86400u;
    request.mLifetime2Seconds = 30u * 86400u;
    const SmartPtr<AuthPeerData> credentials = authority.IsReady() ? authority.IssuePeerData(request) : nullptr;
    if (!credentials)
    {
        std::fprintf(stderr, "qor-host: cannot issue the host's certificate\n");
        return 1;
    }
    if (!InstallStopHandler())
    {
        std::fprintf(stderr, "qor-host: cannot install the signal handler\n");
        return 1;
    }
    GameHost host;
    host.SetCredentials(credentials);
    host.SetMode(mode);
    host.SetServeSessionMode(sessionMode);
    host.SetReport(&Report);
    const WSStatus status = host.Start(static_cast<uint16_t>(port));
    if (status != WS_Success)
    {
        std::fprintf(stderr, "qor-host: cannot listen on port %u: %s\n", port, WSStatusToString(status));
        return 1;
    }
    std::printf("qor-host: listening on port %u (%s)\n", host.GetPort(), mode == GameHostMode::Echo ? "echo" : "relay");
    std::fflush(stdout);
    while (!WaitForStopRequest(1000))
    {
    }
    host.Stop();
    std::printf("qor-host: stopped after %zu connections and %u messages\n", host.GetClients().size(),
                host.GetMessageCount());
    return 0;
}
