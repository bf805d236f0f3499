// Peer authentication: complete handshakes of the two engines (1024- and
// 2048-bit keys) beside exactly the public-key operations a handshake
// performs (three encryptions, three decryptions, two verifications) on the
// same keys, so the ratio shows the handshake's own cost. And directory
// listings on loopback: unauthenticated, with a cached session, and with a
// fresh handshake each time.
#include "QORAPI.h"
#include "QORSocket/SocketThreadEx.h"
#include "auth/PeerAuthClient.h"
#include "auth/PeerAuthServer.h"
#include "dir/GetDirOp.h"
#include "platform/FileSystem.h"
#include "service/DirServer.h"
#include "service/LocalAuthority.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>

using namespace QORAPI;

namespace {

struct KeySet
{
    SmartPtr<AuthPeerData> mClient;
    SmartPtr<AuthPeerData> mServer;
};

KeySet& Keys(uint32_t bits)
{
    static std::map<uint32_t, KeySet> sets;
    KeySet& set = sets[bits];
    if (!set.mClient)
    {
        SmartPtr<LocalAuthority> authority = new LocalAuthority(bits);
        IssueRequest request;
        request.mUserId = 1;
        request.mUserName = u"client";
        set.mClient = authority->IssuePeerData(request);
        request.mUserId = 2;
        request.mUserName = u"server";
        set.mServer = authority->IssuePeerData(request);
    }
    return set;
}

SmartPtr<ByteBuffer> Body(const SmartPtr<ByteBuffer>& frame)
{
    return new ByteBuffer(frame->GetData() + 4, frame->GetLength() - 4);
}

void BM_Handshake(benchmark::State& state)
{
    const KeySet& keys = Keys(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state)
    {
        PeerAuthClient client;
        PeerAuthServer server;
        SmartPtr<ByteBuffer> request, challenge1, challenge2, complete, none;
        client.Start(request, keys.mClient, 2, 4);
        server.Start(keys.mServer, 4);
        if (server.HandleMessage(Body(request).Get(), challenge1) != WS_Success ||
            client.HandleMessage(Body(challenge1).Get(), challenge2) != WS_Success ||
            server.HandleMessage(Body(challenge2).Get(), complete) != WS_Success ||
            client.HandleMessage(Body(complete).Get(), none) != WS_Success)
        {
            state.SkipWithError("handshake failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Handshake)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

// The public-key work of one handshake alone, on keys parsed once.
void BM_HandshakePublicKeyOps(benchmark::State& state)
{
    const KeySet& keys = Keys(static_cast<uint32_t>(state.range(0)));
    ElGamal clientKey(keys.mClient->GetCertificate2()->GetPublicKey());
    ElGamal serverKey(keys.mServer->GetCertificate2()->GetPublicKey());
    const ElGamal& clientPrivate = *keys.mClient->GetPrivateKey();
    const ElGamal& serverPrivate = *keys.mServer->GetPrivateKey();
    const AuthPubKeyBlock& block = *keys.mClient->GetPubKeyBlock();
    const uint8_t secrets[18] = {8, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (auto _ : state)
    {
        bool ok = block.Verify(*keys.mClient->GetCertificate2());            // server: client certificate
        SmartPtr<ByteBuffer> c1 = clientKey.encrypt(secrets, 10);            // server: challenge 1
        ok = ok && clientPrivate.decrypt(c1->GetData(), c1->GetLength());    // client: challenge 1
        ok = ok && block.Verify(*keys.mServer->GetCertificate2());           // client: server certificate
        SmartPtr<ByteBuffer> c2 = serverKey.encrypt(secrets, 18);            // client: challenge 2
        ok = ok && serverPrivate.decrypt(c2->GetData(), c2->GetLength());    // server: challenge 2
        SmartPtr<ByteBuffer> c3 = clientKey.encrypt(secrets, 10);            // server: complete
        ok = ok && clientPrivate.decrypt(c3->GetData(), c3->GetLength());    // client: complete
        if (!ok)
        {
            state.SkipWithError("public-key operation failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandshakePublicKeyOps)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

DirServer* gServer = nullptr;
SmartPtr<ServerContext> gServers;
SmartPtr<AuthContext> gAuth;

// Arg: 0 unauthenticated, 1 cached session (type 1), 2 fresh handshake each time.
void BM_GetDir(benchmark::State& state)
{
    const int mode = static_cast<int>(state.range(0));
    auto list = [&] {
        SmartPtr<GetDirOp> op = new GetDirOp(gServers);
        op->SetPath(u"/games");
        if (mode != 0)
        {
            op->SetAuthType(1);
            op->SetAuthContext(gAuth);
        }
        if (mode == 2)
            gAuth->ClearSessions();
        return op->RunBlock(5000);
    };
    if (!list())
        state.SkipWithError("warm-up listing failed");
    for (auto _ : state)
    {
        if (!list())
        {
            state.SkipWithError("listing failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetDir)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    std::string dir;
    CreateTemporaryDirectory("qorapi-bench-", dir);
    int result = 0;
    {
        QORAPICoreEx core;
        core.SetUsePumpThread(true);
        core.SetThreaded(true);
        core.SetSocketThread(new SocketThreadEx());
        core.SetFileDirectory(dir);
        core.Startup();
        DirServer server;
        server.SetCredentials(Keys(1024).mServer);
        if (server.Start(0) != WS_Success)
            return 1;
        server.GetEngine().AddService(u"/games", u"Lobby", std::string("\x0f\xa0\x7f\x00\x00\x01", 6));
        gServer = &server;
        gServers = new ServerContext;
        gServers->AddAddress(InetAddress(0x7F000001u, server.GetPort()));
        gAuth = new AuthContext;
        gAuth->SetPeerData(Keys(1024).mClient);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        gAuth = nullptr;
        gServers = nullptr;
        server.Stop();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}
