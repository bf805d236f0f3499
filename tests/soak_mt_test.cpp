// Soak: thousands of asynchronous operations of mixed kinds (every directory
// request kind against the local directory server, some failing over from a
// dead address; framed receives on loopback pairs whose peer answers or stays
// silent; logins at the local authentication server; peer authentication and
// server connections with the local game host; UDP and TCP pings against the
// local ping responder), with random time limits and kills, and the library
// core shut down and started again half-way. Every run must end with exactly
// one completion, and no descriptor may stay open.
#include "AuthTestUtil.h"
#include "DirOpCatalog.h"
#include "DirTestUtil.h"
#include "PeerAuthTestUtil.h"
#include "SocketTestUtil.h"

#include "QORSocket/BlockingSocket.h"
#include "QORSocket/MultiPingOp.h"
#include "QORSocket/PingOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/ServerConnection.h"
#include "auth/GetCertOp.h"
#include "auth/PeerAuthOp.h"
#include "service/AuthServer.h"
#include "service/DirServer.h"
#include "service/GameHost.h"
#include "service/PingResponder.h"
#include "platform/Process.h"

#include <gtest/gtest.h>


#include <deque>
#include <memory>
#include <random>

using namespace QORAPI;

namespace {

// Sanitizers run every step many times slower: fewer runs there.
#if defined(__SANITIZE_THREAD__)
const int kOps = 1500;
#elif defined(__SANITIZE_ADDRESS__)
const int kOps = 5000;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
const int kOps = 1500;
#elif __has_feature(address_sanitizer)
const int kOps = 5000;
#else
const int kOps = 10000;
#endif
#else
const int kOps = 10000;
#endif
const size_t kInFlight = 48;

struct Entry
{
    SmartPtr<AsyncOp> mOp;
    SmartPtr<DirTest::Waiter> mWaiter;
    SmartPtr<AsyncSocket> mClient;    // socket kinds: both ends of the pair; peer authentication: its socket
    SmartPtr<AsyncSocket> mServer;
    SmartPtr<ServerConnection> mConnection;   // server connections: the attempt reports to mWaiter
    int mKind = 0;
};

// The kinds of runs, by share of the mix (out of 100).
enum Kind { Kind_Dir, Kind_Recv, Kind_Login, Kind_PeerAuth, Kind_Connection, Kind_MultiPing, Kind_Ping };

Kind PickKind(uint32_t r)
{
    if (r < 50)
        return Kind_Dir;
    if (r < 64)
        return Kind_Recv;
    if (r < 67)
        return Kind_Login;
    if (r < 76)
        return Kind_PeerAuth;
    if (r < 86)
        return Kind_Connection;
    if (r < 93)
        return Kind_MultiPing;
    return Kind_Ping;
}

// A threaded core with a pump thread whose files (login key stores) stay in dir.
std::unique_ptr<QORAPICore> StartCore(const std::string& dir)
{
    return AuthTest::StartCore(dir);
}

} // namespace

// Shutdown kills what the threads and the queue hold and delivers every
// completion, also of runs caught between the socket thread and the queue.
TEST(Soak, MixedRunsWithKillsTimeLimitsAndAShutdownUnderLoad)
{
    AuthTest::TempDir dir;
    std::shared_ptr<DirServerEngine> engine = std::make_shared<DirServerEngine>();
    DirCatalog::SeedCatalogTree(*engine);
    DirServer server(engine);
    ASSERT_EQ(server.Start(0), WS_Success);
    AuthServer authServer;
    ASSERT_EQ(authServer.Start(0), WS_Success);
    PingResponder pings;
    pings.SetUdpCount(2);
    pings.SetTcp(true);
    ASSERT_EQ(pings.Start(), WS_Success);
    PingBehavior mute;
    mute.mFault = PingFault::Drop;
    pings.SetUdpBehavior(1, mute);
    uint16_t deadPort = 0;
    {
        SmartPtr<AsyncSocket> listener = TestUtil::MakeListener(deadPort);
        listener->Close();   // nothing listens there any more: connects are refused
    }
    const SmartPtr<AuthPeerData> clientData = PeerAuthTest::Credentials(1001, u"alice");
    SmartPtr<AuthContext> peerContext = new AuthContext;
    peerContext->SetPeerData(clientData);
    const AuthAccount account = AuthServer::DefaultAccount();
    const int descriptorsBefore = CountOpenHandles();

    std::mt19937 rng(20240607);
    const std::vector<DirCatalog::OpKind>& kinds = DirCatalog::Kinds();
    std::unique_ptr<QORAPICore> core = StartCore(dir.Path());
    // The game host runs on the core: it is stopped before the core goes and
    // started again on the next one.
    std::unique_ptr<GameHost> host;
    auto startHost = [&] {
        host.reset(new GameHost);
        host->SetCredentials(PeerAuthTest::Credentials(2002, u"host"));
        host->SetServeSessionMode(true);
        host->SetAuthTimeout(3000);
        ASSERT_EQ(host->Start(0), WS_Success);
    };
    startHost();
    std::deque<Entry> inFlight;
    std::vector<SmartPtr<DirTest::Waiter>> all;
    int completedBeforeShutdown = 0;
    int lost = 0;
    int kindCount[Kind_Ping + 1] = {};
    int kindSuccess[Kind_Ping + 1] = {};

    auto retire = [&](Entry& e) {
        // A lost completion is counted; waiting out the bound for each would take long.
        if (!e.mWaiter->WaitFor(1, lost ? 100 : 5000))
            ++lost;
        EXPECT_EQ(e.mWaiter->PendingInCompletion(), 0);
        if (e.mWaiter->Count() != 1)
            ADD_FAILURE() << "run with status " << WSStatusToString(e.mWaiter->Last()) << " completed "
                          << e.mWaiter->Count() << " times";
        if (e.mWaiter->Count() == 1 && e.mWaiter->Last() == WS_Success)
            ++kindSuccess[e.mKind];
        if (e.mConnection)
            e.mConnection->CloseAndClear();
        if (e.mClient)
            e.mClient->Close();
        if (e.mServer)
            e.mServer->Close();
    };

    for (int i = 0; i < kOps; ++i)
    {
        if (i == kOps / 2)
        {
            // Shut the core down under the running operations and start a new
            // one: every run still ends once.
            host->Stop();
            core.reset();
            for (Entry& e : inFlight)
                retire(e);
            inFlight.clear();
            for (const SmartPtr<DirTest::Waiter>& w : all)
                completedBeforeShutdown += w->Count();
            core = StartCore(dir.Path());
            startHost();
        }

        Entry e;
        e.mWaiter = new DirTest::Waiter;
        const Kind kind = PickKind(rng() % 100);
        e.mKind = kind;
        ++kindCount[kind];
        bool answered = true;
        switch (kind)
        {
        case Kind_Dir:
        {
            SmartPtr<ServerContext> context = new ServerContext;
            if (rng() % 4 == 0)
                context->AddAddress(DirTest::Local(deadPort));
            context->AddAddress(DirTest::Local(server.GetPort()));
            e.mOp = kinds[rng() % kinds.size()].mMake(context).Get();
            break;
        }
        case Kind_Recv:
            TestUtil::MakePair(e.mClient, e.mServer);
            ASSERT_TRUE(e.mServer);
            e.mOp = new RecvMsgOp(e.mServer);
            answered = rng() % 2 == 0;
            if (answered)
                TestUtil::SendAll(*e.mClient, std::string("\x09\x00\x00\x00hello", 9));
            break;
        case Kind_Login:
        {
            SmartPtr<AuthContext> context =
                new AuthContext(account.mUserName, account.mCommunities[0], account.mPassword);
            if (rng() % 4 == 0)
                context->AddAddress(DirTest::Local(deadPort));
            context->AddAddress(DirTest::Local(authServer.GetPort()));
            e.mOp = new GetCertOp(context);
            break;
        }
        case Kind_PeerAuth:
        {
            SmartPtr<BlockingSocket> socket = new BlockingSocket();
            e.mClient = socket.Get();
            SmartPtr<PeerAuthOp> op =
                new PeerAuthOp(DirTest::Local(host->GetPort()), peerContext, 1 + rng() % 3, socket, true);
            op->SetTimeouts(3000, 3000, 3000);
            e.mOp = op.Get();
            break;
        }
        case Kind_Connection:
        {
            e.mConnection = new ServerConnection();
            e.mConnection->SetAuth(peerContext, rng() % 3 == 0 ? 0 : 2);
            e.mConnection->SetConnectCompletion(e.mWaiter->MakeCompletion());
            break;
        }
        case Kind_MultiPing:
        {
            SmartPtr<MultiPingOp> op = new MultiPingOp();
            op->SetBatchTimeout(40);
            op->SetMaxTries(2);
            op->AddServer(DirTest::Local(pings.GetUdpPort(0)));
            if (rng() % 3 == 0)
                op->AddServer(DirTest::Local(pings.GetUdpPort(1)));   // never answers
            e.mOp = op.Get();
            break;
        }
        case Kind_Ping:
            e.mOp = new PingOp(DirTest::Local(rng() % 4 == 0 ? deadPort : pings.GetTcpPort()), 4, rng() % 2 == 0);
            break;
        }
        // A silent peer is left to the time limit or a kill.
        const uint32_t timeout = !answered || rng() % 3 == 0 ? 1 + rng() % 200 : 5000;
        if (e.mConnection)
        {
            e.mConnection->ConnectAsync(DirTest::Local(host->GetPort()), timeout);
        }
        else
        {
            e.mOp->SetCompletion(e.mWaiter->MakeCompletion());
            e.mOp->RunAsync(timeout);
        }
        if (rng() % 5 == 0)
        {
            if (rng() % 2)
                std::this_thread::yield();
            // A connection's attempt is killed by closing the connection.
            if (e.mConnection)
                e.mConnection->Close();
            else
                e.mOp->Kill(true);
        }
        all.push_back(e.mWaiter);
        inFlight.push_back(e);
        if (inFlight.size() >= kInFlight)
        {
            retire(inFlight.front());
            inFlight.pop_front();
        }
    }
    for (Entry& e : inFlight)
        retire(e);
    inFlight.clear();

    // No run completes twice, not even late.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int once = 0;
    for (const SmartPtr<DirTest::Waiter>& w : all)
        once += w->Count() == 1 ? 1 : 0;
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(once, kOps);
    EXPECT_EQ(completedBeforeShutdown, kOps / 2);
    // Every kind ran, and most runs of each that were not cut short succeeded.
    for (int k = Kind_Dir; k <= Kind_Ping; ++k)
    {
        EXPECT_GT(kindSuccess[k], kindCount[k] / 4) << "kind " << k << ": " << kindSuccess[k] << " of " << kindCount[k];
    }

    // The servers close their ends once the clients have closed theirs.
    host->Stop();
    core.reset();
    for (int i = 0; i < 500 && CountOpenHandles() != descriptorsBefore; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(CountOpenHandles(), descriptorsBefore);
    host.reset();
    pings.Stop();
    authServer.Stop();
    server.Stop();
}
