// An authenticated client: logs in, authenticates with a game host
// (PeerAuthOp, an encrypted session), sends a few messages and prints the
// echoes.
//   auth_client HOST:PORT AUTH_HOST:PORT
#include "QORAPI.h"
#include "QORSocket/BlockingSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/AuthContext.h"
#include "auth/PeerAuthOp.h"
#include "common/WriteBuffer.h"

#include <chrono>
#include <cstdio>
#include <thread>

using namespace QORAPI;

namespace {

// Waits (bounded) until an operation queued on the socket has ended and completed.
void WaitDone(const SmartPtr<AsyncOp>& op, int ms)
{
    for (int waited = 0; waited < ms; waited += 10)
    {
        if (op->GetStatus() != WS_None && !op->IsPending() && !op->IsAwaitingCompletion())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

int main(int argc, char** argv)
{
    InetAddress host, authServer;
    if (argc != 3 || !host.SetFromText(argv[1]) || !authServer.SetFromText(argv[2]))
    {
        std::fprintf(stderr, "usage: auth_client HOST:PORT AUTH_HOST:PORT\n");
        return 2;
    }
    QORAPICore core(true, true, true);
    SmartPtr<AuthContext> auth = new AuthContext(u"player", u"qor", u"secret");
    auth->AddAddress(authServer);

    // A socket takes queued operations one after the other; the socket
    // thread drives them. PeerAuthOp logs in first when the context has no
    // valid certificate yet, connects, and proves both sides.
    SmartPtr<BlockingSocket> socket = new BlockingSocket();
    SmartPtr<PeerAuthOp> peer = new PeerAuthOp(host, auth, 2, SmartPtr<AsyncSocket>(socket.Get()), true);
    peer->RunBlock(20000);
    std::printf("peer authentication: %s\n", WSStatusToString(peer->GetStatus()));
    if (peer->GetStatus() != WS_Success)
        return 1;

    int echoed = 0;
    for (const char* line : {"hello, host", "move e2e4"})
    {
        // Frames carry a 4-byte length field; the session encrypts them.
        WriteBuffer frame(4, true);
        frame.AppendBytes(line, static_cast<uint32_t>(std::char_traits<char>::length(line)));
        SmartPtr<SendMsgOp> send = new SendMsgOp(frame.ToByteBuffer(true));
        SmartPtr<RecvMsgOp> recv = new RecvMsgOp();
        socket->QueueOp(SmartPtr<SocketOp>(send.Get()), 5000);
        socket->QueueOp(SmartPtr<SocketOp>(recv.Get()), 5000);
        WaitDone(recv, 6000);
        const bool ok = recv->GetStatus() == WS_Success;
        std::printf("sent \"%s\", got \"%s\": %s\n", line, ok ? recv->GetMsg()->ToString().c_str() : "",
                    WSStatusToString(recv->GetStatus()));
        echoed += ok ? 1 : 0;
    }
    socket->Close();
    return echoed == 2 ? 0 : 1;
}
