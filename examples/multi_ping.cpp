// Multi-ping into a server context: pings a list of servers at once over UDP
// (MultiPingOp) and turns the answers into a ServerContext ordered by
// round-trip time, the list a request would then fail over along.
//   multi_ping HOST:PORT...
#include "QORAPI.h"
#include "QORSocket/MultiPingOp.h"
#include "auth/ServerContext.h"

#include <cstdio>

using namespace QORAPI;

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: multi_ping HOST:PORT...\n");
        return 2;
    }
    QORAPICore core(true, true, true);
    SmartPtr<MultiPingOp> ping = new MultiPingOp();
    for (int i = 1; i < argc; ++i)
    {
        InetAddress a;
        if (!a.SetFromText(argv[i]))
        {
            std::fprintf(stderr, "bad address %s\n", argv[i]);
            return 2;
        }
        ping->AddServer(a);
    }
    ping->SetMaxTries(2);        // a silent server gets a second ping
    ping->SetBatchTimeout(500);  // how long each round waits for answers
    ping->RunBlock(10000);
    std::printf("multi-ping: %s\n", WSStatusToString(ping->GetStatus()));

    // Every server, fastest first; 0xFFFFFFFF marks one that never answered.
    for (const MultiPingStructPtr& s : ping->GetResults())
    {
        if (s->mPingTime == 0xFFFFFFFFu)
            std::printf("  %-22s no answer\n", s->mAddr.GetText().c_str());
        else
            std::printf("  %-22s %u ms\n", s->mAddr.GetText().c_str(), s->mPingTime);
    }

    // Only those that answered, in that order, without shuffling.
    SmartPtr<ServerContext> context = ping->GetServerContext(true);
    InetAddressList order;
    context->CopyAddresses(order);
    std::printf("server context (%zu):", order.size());
    for (const InetAddress& a : order)
        std::printf(" %s", a.GetText().c_str());
    std::printf("\n");
    return order.empty() ? 1 : 0;
}
