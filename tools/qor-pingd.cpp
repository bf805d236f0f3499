// qor-pingd: local UDP and TCP ping responders as a standalone program.
#include "platform/Signal.h"
#include "service/PingResponder.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace QORAPI;

namespace {

void PrintHelp()
{
    std::printf("Usage: qor-pingd [options]\n"
                "Answers UDP and TCP pings on loopback until interrupted (SIGINT or SIGTERM).\n\n"
                "  --udp N            UDP responders (default 1; 0 for none)\n"
                "  --udp-port P       port of the first UDP responder, the others follow (default: ephemeral)\n"
                "  --tcp-port P       also answer TCP pings on port P (0: an ephemeral port)\n"
                "  --fault F          none, drop, wrong-id, wrong-header or close (TCP) for every responder\n"
                "  --delay MS         answer MS milliseconds late\n"
                "  --answer-from N    drop the requests before the N-th of each responder\n"
                "  --extended TEXT    answer extended TCP pings with TEXT in every text field\n"
                "  --help             this text\n");
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

bool ParseFault(const std::string& text, PingFault& out)
{
    if (text == "none")
        out = PingFault::None;
    else if (text == "drop")
        out = PingFault::Drop;
    else if (text == "wrong-id")
        out = PingFault::WrongId;
    else if (text == "wrong-header")
        out = PingFault::WrongHeader;
    else if (text == "close")
        out = PingFault::Close;
    else
        return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    uint32_t udpCount = 1;
    uint32_t udpPort = 0;
    uint32_t tcpPort = 0;
    bool tcp = false;
    PingBehavior behavior;
    PingExtendedInfo extended;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            PrintHelp();
            return 0;
        }
        if (i + 1 >= argc)
        {
            std::fprintf(stderr, "qor-pingd: unknown argument or missing value: %s (try --help)\n", arg.c_str());
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (arg == "--udp")
            ok = ParseNumber(value, 60000, udpCount);
        else if (arg == "--udp-port")
            ok = ParseNumber(value, 65535, udpPort);
        else if (arg == "--tcp-port")
        {
            ok = ParseNumber(value, 65535, tcpPort);
            tcp = true;
        }
        else if (arg == "--fault")
            ok = ParseFault(value, behavior.mFault);
        else if (arg == "--delay")
            ok = ParseNumber(value, 600000, behavior.mDelayMs);
        else if (arg == "--answer-from")
            ok = ParseNumber(value, 1000000, behavior.mAnswerFrom) && behavior.mAnswerFrom > 0;
        else if (arg == "--extended")
        {
            extended.mEnabled = true;
            extended.mSecondGroup = true;
            extended.mText1 = extended.mText2 = extended.mText3 = value;
            extended.mText4 = extended.mText5 = extended.mText6 = value;
        }
        else
        {
            std::fprintf(stderr, "qor-pingd: unknown argument %s (try --help)\n", arg.c_str());
            return 2;
        }
        if (!ok)
        {
            std::fprintf(stderr, "qor-pingd: bad value for %s: %s\n", arg.c_str(), value);
            return 2;
        }
    }
    if (udpPort != 0 && udpPort + udpCount > 65536)
    {
        std::fprintf(stderr, "qor-pingd: %u UDP ports from %u do not fit\n", udpCount, udpPort);
        return 2;
    }

    PingResponder responder;
    responder.SetUdpCount(udpCount, static_cast<uint16_t>(udpPort));
    responder.SetTcp(tcp, static_cast<uint16_t>(tcpPort));
    responder.SetAllUdpBehavior(behavior);
    responder.SetTcpBehavior(behavior);
    responder.SetExtendedInfo(extended);
    if (!InstallStopHandler())
    {
        std::fprintf(stderr, "qor-pingd: cannot install the signal handler\n");
        return 1;
    }
    const WSStatus status = responder.Start();
    if (status != WS_Success)
    {
        std::fprintf(stderr, "qor-pingd: cannot bind: %s\n", WSStatusToString(status));
        return 1;
    }
    if (udpCount > 0)
        std::printf("qor-pingd: %u UDP responder(s) from port %u\n", responder.GetUdpCount(), responder.GetUdpPort(0));
    if (tcp)
        std::printf("qor-pingd: TCP responder on port %u\n", responder.GetTcpPort());
    std::fflush(stdout);
    while (!WaitForStopRequest(1000))
    {
    }
    responder.Stop();
    std::printf("qor-pingd: stopped after %u UDP and %u TCP requests\n", responder.GetTotalUdpRequests(),
                responder.GetTcpRequests());
    return 0;
}
