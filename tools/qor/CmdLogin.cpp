// qor login: logs in at the authentication server and shows the certificate it
// got; the login options shared by every command that logs in.
#include "QORAPI.h"
#include "auth/AuthContext.h"
#include "auth/AuthPeerData.h"
#include "tools/qor/Cli.h"
#include "tools/qor/Commands.h"

#include <cstdio>

namespace QORAPI {
namespace Qor {

const std::vector<std::string> kLoginValues = {"--auth-server", "--user", "--password", "--community"};

namespace {

const char* const kLoginHelp =
    "Usage: qor login [--auth-server HOST:PORT[,...]] [--user NAME] [--password P] [--community C]\n"
    "                 [--timeout MS] [--json]\n"
    "Logs in at the authentication server (default 127.0.0.1:15801) as NAME (default\n"
    "player) in community C (default qor) and prints who the certificate names and how\n"
    "long it lasts. Without --password the password is asked for, without echo on a\n"
    "terminal, else read as one line of standard input.\n";

} // namespace

WSStatus LoginFromArgs(const Args& args, uint32_t timeout, SmartPtr<AuthContext>& out, std::string& error)
{
    std::vector<InetAddress> servers;
    if (!AddressOption(args, "--auth-server", Port_Auth, servers, error))
        return WS_ServerReq_NoServersSpecified;
    const std::string user = args.Get("--user", "player");
    const std::string password = args.Has("--password") ? args.Get("--password")
                                                        : ReadPassword("Password for " + user + ": ");
    out = new AuthContext(Widen(user), Widen(args.Get("--community", "qor")), Widen(password));
    for (const InetAddress& a : servers)
        out->AddAddress(a);
    return out->Refresh(timeout);
}

int CmdLogin(const ArgList& argv)
{
    Args args;
    std::string error;
    std::vector<std::string> values = kCommonValues;
    values.insert(values.end(), kLoginValues.begin(), kLoginValues.end());
    if (!args.Parse(argv, kCommonFlags, values, error))
        return Fail("login", Exit_Usage, error + " (try --help)");
    if (args.Has("--help"))
    {
        std::printf("%s", kLoginHelp);
        return Exit_Ok;
    }
    if (!args.Positional().empty())
        return Fail("login", Exit_Usage, "unexpected argument " + args.Positional()[0] + " (try --help)");
    uint32_t timeout = 0;
    if (!args.GetNumber("--timeout", 600000, 10000, timeout, error))
        return Fail("login", Exit_Usage, error);
    const bool json = args.Has("--json");

    QORAPICore core(true, true, true);
    SmartPtr<AuthContext> auth;
    const WSStatus status = LoginFromArgs(args, timeout, auth, error);
    if (!error.empty())
        return Fail("login", Exit_Usage, error);
    if (status != WS_Success)
    {
        if (json)
            Out(Json()
                    .Field("status", WSStatusToString(status))
                    .Field("exit", static_cast<int64_t>(ExitCodeOf(status)))
                    .Str() +
                "\n");
        return FailStatus("login", "login as " + args.Get("--user", "player"), status);
    }
    SmartPtr<AuthPeerData> peer = auth->GetPeerData();
    const SmartPtr<Auth2Certificate> cert2 = peer ? peer->GetCertificate2() : nullptr;
    const std::string name = cert2 ? Narrow(cert2->GetName()) : args.Get("--user", "player");
    const uint32_t userId = cert2 ? cert2->GetUserId() : 0;
    const uint32_t left = peer ? peer->GetSecondsUntilExpiry() : 0;
    if (json)
        Out(Json()
                .Field("status", "WS_Success")
                .Field("user", name)
                .Field("userId", static_cast<int64_t>(userId))
                .Field("community", args.Get("--community", "qor"))
                .Field("secondsLeft", static_cast<int64_t>(left))
                .Str() +
            "\n");
    else
        Out("logged in as " + name + " (user id " + std::to_string(userId) + ", community " +
            args.Get("--community", "qor") + "), certificate valid for " + std::to_string(left) +
            " s: WS_Success\n");
    return Exit_Ok;
}

} // namespace Qor
} // namespace QORAPI
