// qor ping: pings many servers at once (UDP, MultiPingOp) or one by one over
// TCP (PingOp) and prints a table ordered by round-trip time. On a terminal a
// progress line shows how many answered so far.
#include "QORAPI.h"
#include "QORSocket/MultiPingOp.h"
#include "QORSocket/PingOp.h"
#include "platform/Console.h"
#include "tools/qor/Cli.h"
#include "tools/qor/Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace QORAPI {
namespace Qor {

namespace {

const char* const kPingHelp =
    "Usage: qor ping [HOST:PORT...] [--tcp] [--tries N] [--timeout MS] [--json]\n"
    "Pings every server given (default 127.0.0.1:15803, the UDP responder of qor local)\n"
    "and prints them ordered by round-trip time, those that never answered last.\n\n"
    "  --tcp          ping over TCP, one server after the other (default: UDP, all at once)\n"
    "  --tries N      UDP pings per server before it counts as silent (default 3)\n"
    "  --timeout MS   UDP: wait per round of pings; TCP: limit per server (default 1000)\n"
    "Exit code 0 when every server answered, 3 (unreachable) when one did not.\n";

struct Row
{
    InetAddress mAddress;
    uint32_t mMs = 0xFFFFFFFFu;
    WSStatus mStatus = WS_None;
};

} // namespace

int CmdPing(const ArgList& argv)
{
    Args args;
    std::string error;
    std::vector<std::string> values = kCommonValues;
    values.push_back("--tries");
    if (!args.Parse(argv, {"--json", "--help", "--tcp"}, values, error))
        return Fail("ping", Exit_Usage, error + " (try --help)");
    if (args.Has("--help"))
    {
        std::printf("%s", kPingHelp);
        return Exit_Ok;
    }
    uint32_t timeout = 0;
    uint32_t tries = 0;
    if (!args.GetNumber("--timeout", 600000, 1000, timeout, error) ||
        !args.GetNumber("--tries", 100, 3, tries, error))
        return Fail("ping", Exit_Usage, error);
    if (tries == 0)
        return Fail("ping", Exit_Usage, "--tries must be at least 1");
    const bool tcp = args.Has("--tcp");
    std::vector<InetAddress> servers;
    for (const std::string& p : args.Positional())
        if (!ParseAddressList(p, servers))
            return Fail("ping", Exit_Usage, "bad address: " + p);
    if (servers.empty())
        servers.push_back(InetAddress(0x7F000001u, static_cast<uint16_t>(kDefaultPortBase +
                                                                           (tcp ? Port_PingTcp : Port_PingUdp))));
    const bool json = args.Has("--json");
    const bool live = !json && ConsoleIsTerminal(ConsoleStdOut());

    QORAPICore core(true, true, true);
    std::vector<Row> rows;
    if (tcp)
    {
        for (size_t i = 0; i < servers.size(); ++i)
        {
            if (live)
                Out("\rpinging " + std::to_string(i + 1) + "/" + std::to_string(servers.size()) + " over TCP...");
            SmartPtr<PingOp> ping = new PingOp(servers[i]);
            ping->RunBlock(timeout);
            Row row;
            row.mAddress = servers[i];
            row.mStatus = ping->GetStatus();
            if (row.mStatus == WS_Success)
                row.mMs = ping->GetRoundTripTime();
            rows.push_back(row);
        }
        std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.mMs < b.mMs; });
    }
    else
    {
        SmartPtr<MultiPingOp> ping = new MultiPingOp();
        for (const InetAddress& a : servers)
            ping->AddServer(a);
        ping->SetMaxTries(static_cast<uint8_t>(tries));
        ping->SetBatchTimeout(timeout);
        ping->RunAsync(static_cast<uint32_t>(std::min<uint64_t>(600000, uint64_t(timeout) * (tries + 1) *
                                                                             (servers.size() / 64 + 1) + 1000)));
        // Bounded by the run's own time limit: the operation ends by then.
        while (ping->IsPending() || ping->IsAwaitingCompletion())
        {
            if (live)
                Out("\rpinging " + std::to_string(servers.size()) + " servers, " +
                    std::to_string(servers.size() - ping->GetPendingCount()) + " done...");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (ping->GetStatus() != WS_Success && ping->GetResults().empty())
        {
            if (live)
                Out("\r\033[K");
            return FailStatus("ping", "ping", ping->GetStatus());
        }
        for (const MultiPingStructPtr& s : ping->GetResults())
        {
            Row row;
            row.mAddress = s->mAddr;
            row.mMs = s->mPingTime;
            row.mStatus = s->mPingTime != 0xFFFFFFFFu ? WS_Success : WS_TimedOut;
            rows.push_back(row);
        }
    }
    if (live)
        Out("\r\033[K");
    size_t answered = 0;
    std::string text = "server                 rtt (ms)  status\n";
    std::string list;
    for (const Row& r : rows)
    {
        char line[160];
        const std::string ms = r.mStatus == WS_Success ? std::to_string(r.mMs) : std::string("-");
        std::snprintf(line, sizeof(line), "%-22s %8s  %s\n", r.mAddress.GetText().c_str(), ms.c_str(),
                      WSStatusToString(r.mStatus));
        text += line;
        if (r.mStatus == WS_Success)
            ++answered;
        Json j;
        j.Field("address", r.mAddress.GetText()).Field("status", WSStatusToString(r.mStatus));
        if (r.mStatus == WS_Success)
            j.Field("rttMs", static_cast<int64_t>(r.mMs));
        list += (list.empty() ? "" : ",") + j.Str();
    }
    const WSStatus overall = answered == rows.size() ? WS_Success : WS_TimedOut;
    if (json)
        Out(Json()
                .Field("status", WSStatusToString(overall))
                .Field("answered", static_cast<int64_t>(answered))
                .Raw("servers", "[" + list + "]")
                .Str() +
            "\n");
    else
        Out(text);
    if (overall != WS_Success)
        return Fail("ping", Exit_Unreachable,
                    std::to_string(rows.size() - answered) + " of " + std::to_string(rows.size()) +
                        " servers did not answer: WS_TimedOut (exit 3, unreachable)");
    return Exit_Ok;
}

} // namespace Qor
} // namespace QORAPI
