// A game host: logs in to get its own certificate, listens, proves every
// client with peer authentication (PeerAuthServerOp), then echoes each
// message over the encrypted session. Serves the given number of clients,
// one after the other, then stops.
//   game_host AUTH_HOST:PORT [CLIENTS]    prints "listening on PORT" first
#include "QORAPI.h"
#include "QORSocket/AcceptOp.h"
#include "QORSocket/QueueSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/AuthContext.h"
#include "auth/PeerAuthServerOp.h"
#include "common/WriteBuffer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace QORAPI;

namespace {

// Waits (bounded) until an asynchronous operation has ended and completed.
bool WaitDone(const SmartPtr<AsyncOp>& op, int ms)
{
    for (int waited = 0; waited < ms; waited += 10)
    {
        if (op->GetStatus() != WS_None && !op->IsPending() && !op->IsAwaitingCompletion())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    InetAddress authServer;
    if (argc < 2 || argc > 3 || !authServer.SetFromText(argv[1]))
    {
        std::fprintf(stderr, "usage: game_host AUTH_HOST:PORT [CLIENTS]\n");
        return 2;
    }
    const int clients = argc == 3 ? std::atoi(argv[2]) : 1;
    QORAPICore core(true, true, true);

    // The host's credentials: a login like any client's. Its certificate is
    // what clients check; its private key proves it holds it.
    SmartPtr<AuthContext> self = new AuthContext(u"player", u"qor", u"secret");
    self->AddAddress(authServer);
    const WSStatus login = self->Refresh(10000);
    if (login != WS_Success)
    {
        std::printf("host login: %s\n", WSStatusToString(login));
        return 1;
    }

    SmartPtr<QueueSocket> listener = new QueueSocket(SocketType::Stream);
    WSStatus status = listener->Bind(InetAddress(0x7F000001u, 0), true);
    if (status == WS_Success)
        status = listener->Listen(8);
    if (status != WS_Success)
    {
        std::printf("listen: %s\n", WSStatusToString(status));
        return 1;
    }
    std::printf("listening on %u\n", listener->GetLocalPort());
    std::fflush(stdout);

    int served = 0;
    for (int i = 0; i < clients; ++i)
    {
        SmartPtr<AcceptOp> accept = new AcceptOp();
        listener->QueueOp(accept, 30000);
        if (!WaitDone(accept, 31000) || accept->GetStatus() != WS_Success)
            break;
        SmartPtr<QueueSocket> socket(dynamic_cast<QueueSocket*>(accept->GetAcceptedSocket().Get()));
        if (!socket)
            break;

        // Peer authentication, server side; for encrypted types it installs
        // the session's transform on the socket when it succeeds.
        SmartPtr<PeerAuthServerOp> proof = new PeerAuthServerOp(self, SmartPtr<AsyncSocket>(socket.Get()));
        proof->SetSessionMode(true, static_cast<uint16_t>(i + 1));
        proof->RunAsync(20000);
        WaitDone(proof, 21000);
        std::printf("client %d: %s\n", i + 1, WSStatusToString(proof->GetStatus()));
        if (proof->GetStatus() != WS_Success)
        {
            socket->Close();
            continue;
        }
        // Echo until the client goes away (or is silent for 5 s).
        for (;;)
        {
            SmartPtr<RecvMsgOp> recv = new RecvMsgOp();
            socket->QueueOp(recv, 5000);
            WaitDone(recv, 6000);
            if (recv->GetStatus() != WS_Success)
                break;
            WriteBuffer frame(4, true);
            frame.AppendBytes(recv->GetMsg()->GetData(), recv->GetMsg()->GetLength());
            SmartPtr<SendMsgOp> send = new SendMsgOp(frame.ToByteBuffer(true));
            socket->QueueOp(send, 5000);
            WaitDone(send, 6000);
            std::printf("echoed \"%s\"\n", recv->GetMsg()->ToString().c_str());
        }
        socket->Close();
        ++served;
    }
    listener->Close();
    return served == clients ? 0 : 1;
}
