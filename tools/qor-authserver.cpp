// qor-authserver: the local authentication server as a standalone program.
#include "platform/Signal.h"
#include "service/AuthServer.h"
#include "service/LocalAuthority.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

using namespace QORAPI;

namespace {

void PrintHelp()
{
    std::printf("Usage: qor-authserver [--port N] [--accounts FILE] [--key-dir DIR] [--key-bits 1024|2048]\n"
                "                      [--lifetime S] [--lifetime2 S] [--challenge]\n"
                "Runs the local authentication server on TCP port N (0 or none: an ephemeral port,\n"
                "printed at start) until interrupted (SIGINT or SIGTERM). It writes the verifier\n"
                "public key its clients need as _qorkver.pub in DIR (default: the current folder).\n\n"
                "  --port N          port to listen on (default 0)\n"
                "  --accounts FILE   accounts, one per line: user password community[,community...] trust [challenge]\n"
                "  --key-dir DIR     where to write _qorkver.pub\n"
                "  --key-bits N      1024 (the fixed default keys) or 2048 (new keys)\n"
                "  --lifetime S      AuthCertificate lifetime in seconds (default 3600)\n"
                "  --lifetime2 S     Auth2Certificate lifetime in seconds (default 3600)\n"
                "  --challenge       a challenge round for every login\n"
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

} // namespace

int main(int argc, char** argv)
{
    uint32_t port = 0;
    uint32_t bits = 1024;
    uint32_t lifetime = 3600;
    uint32_t lifetime2 = 3600;
    bool challenge = false;
    std::string accountsPath;
    std::string keyDir = ".";
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            PrintHelp();
            return 0;
        }
        if (arg == "--challenge")
        {
            challenge = true;
            continue;
        }
        if ((arg == "--port" || arg == "--accounts" || arg == "--key-dir" || arg == "--key-bits" ||
             arg == "--lifetime" || arg == "--lifetime2") &&
            i + 1 < argc)
        {
            const char* value = argv[++i];
            bool ok = true;
            if (arg == "--accounts")
                accountsPath = value;
            else if (arg == "--key-dir")
                keyDir = value;
            else if (arg == "--port")
                ok = ParseNumber(value, 65535, port);
            else if (arg == "--key-bits")
                ok = ParseNumber(value, 4096, bits) && (bits == 1024 || bits == 2048);
            else
                ok = ParseNumber(value, 0x7FFFFFFF, arg == "--lifetime" ? lifetime : lifetime2) &&
                     (arg == "--lifetime" ? lifetime : lifetime2) > 0;
            if (!ok)
            {
                std::fprintf(stderr, "qor-authserver: bad value for %s: %s\n", arg.c_str(), value);
                return 2;
            }
            continue;
        }
        std::fprintf(stderr, "qor-authserver: unknown argument %s (try --help)\n", arg.c_str());
        return 2;
    }

    SmartPtr<LocalAuthority> authority = new LocalAuthority(bits);
    if (!authority->IsReady())
    {
        std::fprintf(stderr, "qor-authserver: cannot make the authority's keys\n");
        return 1;
    }
    AuthServer server(authority);
    server.SetLifetimes(lifetime, lifetime2);
    server.SetChallengeAll(challenge);
    if (!accountsPath.empty())
    {
        std::ifstream file(accountsPath, std::ios::binary);
        if (!file)
        {
            std::fprintf(stderr, "qor-authserver: cannot read %s\n", accountsPath.c_str());
            return 1;
        }
        std::stringstream text;
        text << file.rdbuf();
        std::string error;
        if (!server.LoadAccounts(text.str(), error))
        {
            std::fprintf(stderr, "qor-authserver: %s: %s\n", accountsPath.c_str(), error.c_str());
            return 1;
        }
    }
    if (!authority->WriteVerifierKeyFile(keyDir))
    {
        std::fprintf(stderr, "qor-authserver: cannot write %s/%s\n", keyDir.c_str(),
                     LocalAuthority::VerifierKeyFileName());
        return 1;
    }
    if (!InstallStopHandler())
    {
        std::fprintf(stderr, "qor-authserver: cannot install the signal handler\n");
        return 1;
    }
    const WSStatus status = server.Start(static_cast<uint16_t>(port));
    if (status != WS_Success)
    {
        std::fprintf(stderr, "qor-authserver: cannot listen on port %u: %s\n", port, WSStatusToString(status));
        return 1;
    }
    const AuthAccount account = AuthServer::DefaultAccount();
    std::printf("qor-authserver: listening on port %u, %u-bit keys, verifier key in %s/%s\n", server.GetPort(), bits,
                keyDir.c_str(), LocalAuthority::VerifierKeyFileName());
    std::printf("qor-authserver: default account: user %s, password %s, community %s\n",
                Narrow(account.mUserName).c_str(), Narrow(account.mPassword).c_str(),
                Narrow(account.mCommunities.front()).c_str());
    std::fflush(stdout);
    while (!WaitForStopRequest(1000))
    {
    }
    server.Stop();
    std::printf("qor-authserver: stopped after %u logins\n", server.GetLoginCount());
    return 0;
}
