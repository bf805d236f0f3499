// A server connection receiving pushed messages: a lasting, authenticated
// connection to a game host that prints every message the host pushes, and
// keeps the connection alive with keep-alive frames.
//   push_client HOST:PORT AUTH_HOST:PORT [COUNT]   ends after COUNT messages (default 2)
#include "QORAPI.h"
#include "QORSocket/ServerConnection.h"
#include "auth/AuthContext.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace QORAPI;

namespace {

// MsgReceived runs on the pump thread for each message of the server.
class PushReceiver : public ServerConnection
{
public:
    std::atomic<int> mCount{0};

protected:
    void MsgReceived(const SmartPtr<ByteBuffer>& message) override
    {
        std::printf("pushed: \"%s\"\n", message ? message->ToString().c_str() : "");
        std::fflush(stdout);
        ++mCount;
    }
};

} // namespace

int main(int argc, char** argv)
{
    InetAddress host, authServer;
    if (argc < 3 || argc > 4 || !host.SetFromText(argv[1]) || !authServer.SetFromText(argv[2]))
    {
        std::fprintf(stderr, "usage: push_client HOST:PORT AUTH_HOST:PORT [COUNT]\n");
        return 2;
    }
    const int wanted = argc == 4 ? std::atoi(argv[3]) : 2;
    QORAPICore core(true, true, true);
    SmartPtr<AuthContext> auth = new AuthContext(u"player", u"qor", u"secret");
    auth->AddAddress(authServer);

    SmartPtr<PushReceiver> connection = new PushReceiver();
    connection->SetAuth(auth, 2);            // peer authentication, encrypted
    connection->SetKeepAliveInterval(30);    // a keep-alive frame every 30 s
    const WSStatus status = connection->ConnectBlock(host, 20000);
    std::printf("connect: %s\n", WSStatusToString(status));
    if (status != WS_Success)
        return 1;

    // Bounded wait for the pushes.
    for (int i = 0; i < 300 && connection->mCount.load() < wanted && connection->IsValid(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int got = connection->mCount.load();
    // No completion of the connection runs after CloseAndClear.
    connection->CloseAndClear();
    return got >= wanted ? 0 : 1;
}
