// qor-dirserver: the local directory server as a standalone program.
#include "QORSocket/InetAddress.h"
#include "platform/Signal.h"
#include "service/DirSeed.h"
#include "service/DirServer.h"
#include "service/LocalAuthority.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

using namespace QORAPI;

namespace {

void PrintHelp()
{
    std::printf("Usage: qor-dirserver [--bind ADDR] [--port N] [--seed FILE] [--max-per-reply N] [--auth]\n"
                "Runs the local directory server on TCP port N (0 or none: an ephemeral port,\n"
                "printed at start) until interrupted (SIGINT or SIGTERM).\n\n"
                "  --bind ADDR         IPv4 address to listen on (default 127.0.0.1, this host\n"
                "                      only; 0.0.0.0 for every interface)\n"
                "  --port N            port to listen on (default 0)\n"
                "  --seed FILE         fill the tree from FILE before serving\n"
                "  --max-per-reply N   entities per listing reply (default 64)\n"
                "  --auth              accept authenticated requests too, with a certificate\n"
                "                      from the default local authority\n"
                "  --help              this text\n\n%s",
                DirSeedFormatHelp());
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

} // namespace

int main(int argc, char** argv)
{
    uint32_t port = 0;
    uint32_t perReply = 64;
    std::string seedPath;
    std::string bindText = "127.0.0.1";
    uint32_t bindAddress = 0x7F000001u;
    bool auth = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            PrintHelp();
            return 0;
        }
        if (arg == "--auth")
        {
            auth = true;
            continue;
        }
        if ((arg == "--port" || arg == "--seed" || arg == "--max-per-reply" || arg == "--bind") && i + 1 < argc)
        {
            const char* value = argv[++i];
            if (arg == "--seed")
                seedPath = value;
            else if (arg == "--bind")
            {
                InetAddress address;
                if (!address.Set(value, 0))
                {
                    std::fprintf(stderr, "qor-dirserver: bad value for --bind: %s\n", value);
                    return 2;
                }
                bindText = value;
                bindAddress = address.GetIP();
            }
            else if (!ParseNumber(value, 65535, arg == "--port" ? port : perReply) ||
                     (arg == "--max-per-reply" && perReply == 0))
            {
                std::fprintf(stderr, "qor-dirserver: bad value for %s: %s\n", arg.c_str(), value);
                return 2;
            }
            continue;
        }
        std::fprintf(stderr, "qor-dirserver: unknown argument %s (try --help)\n", arg.c_str());
        return 2;
    }

    DirServer server;
    server.SetBindAddress(bindAddress);
    DirServerEngine::Limits limits;
    limits.mMaxEntitiesPerReply = perReply;
    server.GetEngine().SetLimits(limits);
    if (auth)
    {
        LocalAuthority authority;
        IssueRequest request;
        request.mUserId = 901;
        request.mUserName = u"directory";
        request.mLifetimeSeconds = 30u * 86400u;
        request.mLifetime2Seconds = 30u * 86400u;
        const SmartPtr<AuthPeerData> credentials = authority.IsReady() ? authority.IssuePeerData(request) : nullptr;
        if (!credentials)
        {
            std::fprintf(stderr, "qor-dirserver: cannot issue the server's certificate\n");
            return 1;
        }
        server.SetCredentials(credentials);
    }
    if (!seedPath.empty())
    {
        std::ifstream file(seedPath, std::ios::binary);
        if (!file)
        {
            std::fprintf(stderr, "qor-dirserver: cannot read %s\n", seedPath.c_str());
            return 1;
        }
        std::stringstream text;
        text << file.rdbuf();
        std::string error;
        if (!LoadDirSeed(server.GetEngine(), text.str(), error))
        {
            std::fprintf(stderr, "qor-dirserver: %s: %s\n", seedPath.c_str(), error.c_str());
            return 1;
        }
    }
    if (!InstallStopHandler())
    {
        std::fprintf(stderr, "qor-dirserver: cannot install the signal handler\n");
        return 1;
    }
    const WSStatus status = server.Start(static_cast<uint16_t>(port));
    if (status != WS_Success)
    {
        std::fprintf(stderr, "qor-dirserver: cannot listen on %s port %u: %s\n", bindText.c_str(), port,
                     WSStatusToString(status));
        return 1;
    }
    std::printf("qor-dirserver: listening on %s port %u with %zu entities\n", bindText.c_str(), server.GetPort(),
                server.GetEngine().CountEntities());
    std::fflush(stdout);
    while (!WaitForStopRequest(1000))
    {
    }
    server.Stop();
    std::printf("qor-dirserver: stopped after %u requests\n", server.GetRequestCount());
    return 0;
}
