// qor: the command-line tool of the library and its local service. One program,
// one sub-command per use: qor local, dir, login, ping, host, connect.
#include "tools/qor/Cli.h"
#include "tools/qor/Commands.h"

#include <cstdio>
#include <cstring>

using namespace QORAPI;
using namespace QORAPI::Qor;

namespace {

const char* const kHelp =
    "Usage: qor COMMAND [ARGUMENTS] [--help]\n\n"
    "  local     run the local service (directory, authentication, game host, pings)\n"
    "  local account add|rm|ls   edit the accounts of a state file\n"
    "  login     log in at the authentication server\n"
    "  dir       ls | find | add | rm | set-data on the directory service\n"
    "  ping      ping servers, a table ordered by round-trip time\n"
    "  host      run the game host\n"
    "  connect   talk to the game host over an authenticated connection\n\n"
    "Every command takes --help, and the client commands --json and --timeout MS.\n"
    "Exit codes: 0 success, 1 failed, 2 bad arguments, 3 unreachable, 4 authentication\n"
    "refused, 5 not found, 6 exists already, 7 local failure (state file, port, key file).\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0)
    {
        std::printf("%s", kHelp);
        return argc < 2 ? Exit_Usage : Exit_Ok;
    }
    const std::string command = argv[1];
    const ArgList args(argv + 2, argv + argc);
    struct Entry
    {
        const char* name;
        int (*run)(const ArgList&);
    };
    const Entry commands[] = {{"local", &CmdLocal}, {"dir", &CmdDir},   {"login", &CmdLogin},
                              {"ping", &CmdPing},   {"host", &CmdHost}, {"connect", &CmdConnect}};
    for (const Entry& e : commands)
        if (command == e.name)
            return e.run(args);
    std::fprintf(stderr, "qor: unknown command %s (try qor --help)\n", command.c_str());
    return Exit_Usage;
}
