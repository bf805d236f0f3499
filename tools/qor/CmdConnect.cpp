// qor connect: logs in, opens an authenticated, encrypted connection to a game
// host (ServerConnection), sends lines and prints every message that comes
// back, pushed ones included.
#include "QORAPI.h"
#include "QORSocket/SendMsgOp.h"
#include "QORSocket/ServerConnection.h"
#include "common/WriteBuffer.h"
#include "tools/qor/Cli.h"
#include "tools/qor/Commands.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

namespace QORAPI {
namespace Qor {

namespace {

const char* const kConnectHelp =
    "Usage: qor connect [--host HOST:PORT] [--line TEXT]... [--auth-type 1|2|3] [--wait MS]\n"
    "                   [--auth-server HOST:PORT] [--user NAME] [--password P] [--community C]\n"
    "                   [--timeout MS] [--json]\n"
    "Logs in, connects to the game host (default 127.0.0.1:15802) with peer\n"
    "authentication and sends each --line (without any: each line of standard input)\n"
    "as one message. Every message the host sends is printed as it arrives. After the\n"
    "last line it waits until every line was answered, or --wait MS (default: --timeout,\n"
    "5000) passed.\n";

class PrintingConnection : public ServerConnection
{
public:
    explicit PrintingConnection(bool json) : mJson(json), mReceived(0) {}
    uint32_t GetReceived() const { return mReceived.load(); }

protected:
    void MsgReceived(const SmartPtr<ByteBuffer>& message) override
    {
        const std::string text = message ? message->ToString() : std::string();
        Out(mJson ? Json().Field("received", text).Str() + "\n" : "< " + text + "\n");
        ++mReceived;
    }

private:
    bool mJson;
    std::atomic<uint32_t> mReceived;
};

struct Closed : public RefCount
{
    std::atomic<int32_t> mStatus{WS_None};
};

void OnClosed(SmartPtr<AsyncOp> op, SmartPtr<RefCount> closed)
{
    static_cast<Closed*>(closed.Get())->mStatus.store(op->GetStatus());
}

} // namespace

int CmdConnect(const ArgList& argv)
{
    Args args;
    std::string error;
    std::vector<std::string> values = kCommonValues;
    values.insert(values.end(), {"--host", "--line", "--auth-type", "--wait"});
    values.insert(values.end(), kLoginValues.begin(), kLoginValues.end());
    if (!args.Parse(argv, kCommonFlags, values, error))
        return Fail("connect", Exit_Usage, error + " (try --help)");
    if (args.Has("--help"))
    {
        std::printf("%s", kConnectHelp);
        return Exit_Ok;
    }
    if (!args.Positional().empty())
        return Fail("connect", Exit_Usage, "unexpected argument " + args.Positional()[0] + " (try --help)");
    uint32_t timeout = 0, authType = 0, wait = 0;
    if (!args.GetNumber("--timeout", 600000, 5000, timeout, error) ||
        !args.GetNumber("--auth-type", 3, 2, authType, error) ||
        !args.GetNumber("--wait", 600000, timeout, wait, error))
        return Fail("connect", Exit_Usage, error);
    if (authType == 0)
        return Fail("connect", Exit_Usage, "--auth-type is 1, 2 or 3");
    std::vector<InetAddress> hosts;
    if (!AddressOption(args, "--host", Port_Host, hosts, error))
        return Fail("connect", Exit_Usage, error);
    const bool json = args.Has("--json");
    const bool fromStdin = !args.Has("--line");
    if (fromStdin && !args.Has("--password"))
        return Fail("connect", Exit_Usage, "give --password when the lines come from standard input");

    QORAPICore core(true, true, true);
    SmartPtr<AuthContext> auth;
    const WSStatus login = LoginFromArgs(args, timeout, auth, error);
    if (!error.empty())
        return Fail("connect", Exit_Usage, error);
    if (login != WS_Success)
        return FailStatus("connect", "login", login);

    SmartPtr<PrintingConnection> connection = new PrintingConnection(json);
    SmartPtr<Closed> closed = new Closed;
    connection->SetAuth(auth, static_cast<int32_t>(authType));
    connection->SetClosedCompletion(
        new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnClosed, SmartPtr<RefCount>(closed.Get())));
    const WSStatus connected = connection->ConnectBlock(hosts.front(), timeout);
    if (connected != WS_Success)
    {
        connection->CloseAndClear();
        return FailStatus("connect", "connect to " + hosts.front().GetText(), connected);
    }
    if (json)
        Out(Json().Field("status", "WS_Success").Field("connected", hosts.front().GetText()).Str() + "\n");
    else
        Out("connected to " + hosts.front().GetText() + " (authentication type " + std::to_string(authType) +
            "): WS_Success\n");

    uint32_t sent = 0;
    auto send = [&](const std::string& line) {
        WriteBuffer wb(4, true);
        wb.AppendBytes(line.data(), static_cast<uint32_t>(line.size()));
        connection->QueueOp(SmartPtr<SocketOp>(new SendMsgOp(wb.ToByteBuffer(true))), timeout);
        if (!json)
            Out("> " + line + "\n");
        ++sent;
    };
    if (fromStdin)
    {
        std::string line;
        while (closed->mStatus.load() == WS_None && std::getline(std::cin, line))
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            send(line);
        }
    }
    else
        for (const std::string& line : args.GetAll("--line"))
            send(line);

    // Bounded: at most wait milliseconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
    while (connection->GetReceived() < sent && closed->mStatus.load() == WS_None &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const WSStatus lost = static_cast<WSStatus>(closed->mStatus.load());
    const uint32_t received = connection->GetReceived();
    connection->CloseAndClear();
    if (json)
        Out(Json()
                .Field("status", lost == WS_None ? "WS_Success" : WSStatusToString(lost))
                .Field("sent", static_cast<int64_t>(sent))
                .Field("received", static_cast<int64_t>(received))
                .Str() +
            "\n");
    if (lost != WS_None)
        return FailStatus("connect", "connection lost", lost);
    if (received < sent)
        return Fail("connect", Exit_Unreachable,
                    std::to_string(sent - received) + " of " + std::to_string(sent) +
                        " lines unanswered: WS_TimedOut (exit 3, unreachable)");
    return Exit_Ok;
}

} // namespace Qor
} // namespace QORAPI
