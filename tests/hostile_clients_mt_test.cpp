// Every local server against hundreds of hostile clients: idle ones, ones
// that send half a frame and stop, ones that send garbage and ones that
// announce a huge frame, against a small connection cap. The library's own
// client operation is served throughout, the bytes a server holds stay
// within its bound, and the limits close every bad connection. The UDP ping
// responder answers good pings through a flood of garbage datagrams.
#include "AuthTestUtil.h"
#include "DirTestUtil.h"
#include "PeerAuthTestUtil.h"
#include "SocketTestUtil.h"

#include "QORSocket/BlockingSocket.h"
#include "QORSocket/MultiPingOp.h"
#include "QORSocket/PingOp.h"
#include "auth/AuthContext.h"
#include "auth/GetCertOp.h"
#include "auth/PeerAuthOp.h"
#include "dir/GetDirOp.h"
#include "platform/Socket.h"
#include "platform/Tick.h"
#include "service/AuthServer.h"
#include "service/DirServer.h"
#include "service/GameHost.h"
#include "service/PingResponder.h"
#include "service/PushServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace QORAPI {
namespace {

using namespace TestUtil;
using DirTest::Local;

const uint32_t kCap = 64;
const int kBadClients = 300;

// Short enough that the tests run fast, long enough that a good client on a
// loaded machine is not taken for an idle one.
ClientLimits SmallLimits()
{
    ClientLimits limits;
    limits.mIdleMs = 1000;
    limits.mPartialFrameMs = 1000;
    limits.mMaxHeldBytes = 256u * 1024u;
    limits.mMaxPendingOutput = 64u * 1024u;
    limits.mRequestsPerTurn = 4;
    return limits;
}

// A server under attack, and the well-behaved client it must keep serving.
class Subject
{
public:
    virtual ~Subject() {}
    virtual WSStatus Start(const ClientLimits& limits, uint32_t cap) = 0;
    virtual uint16_t Port() const = 0;
    // Runs the library's client operation against the server.
    virtual WSStatus Serve() = 0;
    virtual uint32_t Open() const = 0;
    virtual uint32_t PeakHeld() const = 0;
};

class DirSubject : public Subject
{
public:
    WSStatus Start(const ClientLimits& limits, uint32_t cap) override
    {
        mServer.SetClientLimits(limits);
        mServer.SetMaxConnections(cap);
        const WSStatus s = mServer.Start(0);
        return s != WS_Success ? s : mServer.GetEngine().AddService(u"/g", u"s", std::string("\x10\x00\x7f\x00\x00\x01", 6));
    }
    uint16_t Port() const override { return mServer.GetPort(); }
    WSStatus Serve() override
    {
        SmartPtr<GetDirOp> op = new GetDirOp(Local(Port()));
        op->SetPath(u"/g");
        op->RunBlock(kWait);
        return op->GetStatus() == WS_Success && op->GetEntities().size() != 1 ? WS_InvalidMessage : op->GetStatus();
    }
    uint32_t Open() const override { return mServer.GetOpenConnectionCount(); }
    uint32_t PeakHeld() const override { return mServer.GetPeakHeldBytes(); }

private:
    DirServer mServer;
};

// A server that takes its limits and cap as set before Start (on any port).
template <class Server>
class CappedSubject : public Subject
{
public:
    WSStatus Start(const ClientLimits& limits, uint32_t cap) override
    {
        mServer.SetClientLimits(limits);
        mServer.SetConnectionCap(cap);
        return mServer.Start(0);
    }
    uint16_t Port() const override { return mServer.GetPort(); }
    uint32_t PeakHeld() const override { return mServer.GetPeakHeldBytes(); }

protected:
    Server mServer;
};

class AuthSubject : public CappedSubject<AuthServer>
{
public:
    WSStatus Serve() override
    {
        SmartPtr<AuthContext> ctx = new AuthContext(u"player", u"qor", u"secret");
        ctx->AddAddress(Local(Port()));
        SmartPtr<GetCertOp> op = new GetCertOp(ctx);
        op->SetTimeouts(kWait, kWait, kWait);
        op->RunBlock(2 * kWait);
        return op->GetStatus();
    }
    uint32_t Open() const override { return mServer.GetOpenConnectionCount(); }
};

class HostSubject : public Subject
{
public:
    WSStatus Start(const ClientLimits& limits, uint32_t cap) override
    {
        mHost.SetCredentials(PeerAuthTest::Credentials(2002, u"host"));
        mHost.SetClientLimits(limits);
        mHost.SetMaxConnections(cap);
        // A handshake does public-key work: its limit leaves room for a
        // loaded machine and sanitizers.
        mHost.SetAuthTimeout(2000);
        mContext->SetPeerData(PeerAuthTest::Credentials(1001, u"alice"));
        return mHost.Start(0);
    }
    uint16_t Port() const override { return mHost.GetPort(); }
    WSStatus Serve() override
    {
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = new PeerAuthOp(Local(Port()), mContext, 2, socket, true);
        op->SetTimeouts(kWait, kWait, kWait);
        op->RunBlock(2 * kWait);
        socket->Close();
        return op->GetStatus();
    }
    uint32_t Open() const override { return mHost.GetOpenConnectionCount(); }
    uint32_t PeakHeld() const override { return mHost.GetPeakHeldBytes(); }
    uint32_t Dropped() const { return mHost.GetDroppedCount(); }
    // Authenticates with type 3 (no session) on socket, which stays open.
    WSStatus Authenticate(const SmartPtr<AsyncSocket>& socket)
    {
        SmartPtr<PeerAuthOp> op = new PeerAuthOp(Local(Port()), mContext, 3, socket, true);
        op->SetTimeouts(kWait, kWait, kWait);
        op->RunBlock(2 * kWait);
        return op->GetStatus();
    }

private:
    SmartPtr<AuthContext> mContext = new AuthContext;
    GameHost mHost;
};

class PingSubject : public Subject
{
public:
    WSStatus Start(const ClientLimits& limits, uint32_t cap) override
    {
        mResponder.SetUdpCount(0);
        mResponder.SetTcp(true);
        mResponder.SetClientLimits(limits);
        mResponder.SetConnectionCap(cap);
        return mResponder.Start();
    }
    uint16_t Port() const override { return mResponder.GetTcpPort(); }
    WSStatus Serve() override
    {
        SmartPtr<PingOp> op = new PingOp(Local(Port()));
        op->RunBlock(kWait);
        return op->GetStatus();
    }
    uint32_t Open() const override { return mResponder.GetOpenConnectionCount(); }
    uint32_t PeakHeld() const override { return mResponder.GetPeakHeldBytes(); }

private:
    PingResponder mResponder;
};

// The push server's clients send messages and read what is pushed.
class PushSubject : public CappedSubject<PushServer>
{
public:
    WSStatus Serve() override
    {
        SmartPtr<AsyncSocket> socket = new AsyncSocket();
        WSStatus s = socket->ConnectBlock(Local(Port()), kWait);
        const uint32_t before = mServer.GetMessageCount();
        if (s == WS_Success)
            s = socket->SendMsgBlock(Bytes(Frame("hello", 4)), kWait);
        if (s == WS_Success && !WaitUntil([&] { return mServer.GetMessageCount() > before; }))
            s = WS_TimedOut;
        // A push reaches the clients connected when it is made, and the count
        // may have risen for a bad client's frame before this client was
        // even accepted: push until one arrives (a push is traffic too, so
        // the idle limit does not close the client meanwhile).
        SmartPtr<ByteBuffer> pushed;
        const uint32_t start = GetTickCount();
        while (s == WS_Success && !pushed)
        {
            mServer.Push("news");
            s = socket->RecvMsgBlock(pushed, 100);
            if (s == WS_TimedOut && TicksSince(start) < kWait)
                s = WS_Success;   // not there yet: push again
        }
        socket->Close();
        return s == WS_Success && Str(pushed) != "news" ? WS_InvalidMessage : s;
    }
    uint32_t Open() const override { return mServer.GetClientCount(); }
};

struct SubjectCase
{
    const char* mName;
    std::function<Subject*()> mMake;
};

std::ostream& operator<<(std::ostream& out, const SubjectCase& c)
{
    return out << c.mName;
}

// What a bad client sends once connected, by kind.
std::string BadPayload(int i, std::mt19937& random)
{
    switch (i % 4)
    {
    case 0:
        return std::string();   // idle
    case 1:
        return LengthField(100000, 4) + std::string(40000, 'h');   // half a frame, then silence
    case 2:
    {
        // A frame of junk, then bytes that frame nothing.
        std::string junk(240, '\0');
        for (char& c : junk)
            c = static_cast<char>(random());
        return Frame(junk.substr(0, 40), 4) + junk;
    }
    default:
        return LengthField(0x7FFFFFF0u, 4) + "more";   // a huge length
    }
}

// True once the peer has ended the connection, before kWait has passed since start.
bool ClosedByServer(AsyncSocket& socket, uint32_t start = GetTickCount())
{
    while (TicksSince(start) < kWait)
    {
        socket.WaitForRead(100);
        char buf[4096];
        uint32_t got = 0;
        const WSStatus s = socket.Recv(buf, sizeof(buf), &got);
        if (s != WS_Success && s != WS_TimedOut)
            return true;
    }
    return false;
}

class HostileClients : public ::testing::TestWithParam<SubjectCase>
{
protected:
    void SetUp() override
    {
        AuthContext::ResetVerifierKey();
        mCore = AuthTest::StartCore(mDir.Path());
    }
    void TearDown() override
    {
        mSubject.reset();
        mCore.reset();
    }

    AuthTest::TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    std::unique_ptr<Subject> mSubject;
};

TEST_P(HostileClients, AWellBehavedClientIsServedAndHeldBytesStayBounded)
{
    const uint64_t want = 4 * kBadClients + 400;
    if (SockRaiseFileLimit(want) < want)
        GTEST_SKIP() << "open-file limit too low";
    const ClientLimits limits = SmallLimits();
    mSubject.reset(GetParam().mMake());
    ASSERT_EQ(mSubject->Start(limits, kCap), WS_Success);
    ASSERT_EQ(mSubject->Serve(), WS_Success);

    std::mt19937 random(7);
    std::vector<SmartPtr<AsyncSocket>> bad;
    for (int i = 0; i < kBadClients; ++i)
    {
        SmartPtr<AsyncSocket> socket = new AsyncSocket();
        WSStatus s = socket->Connect(Local(mSubject->Port()));
        if (s == WS_TimedOut)
            s = socket->WaitForConnect(1000);
        const std::string payload = BadPayload(i, random);
        if (s == WS_Success && !payload.empty())
        {
            uint32_t sent = 0;
            socket->Send(payload.data(), static_cast<uint32_t>(payload.size()), &sent);   // what fits
        }
        bad.push_back(socket);
        if (i % 100 == 99)
        {
            SCOPED_TRACE(i);
            EXPECT_EQ(mSubject->Serve(), WS_Success);
            EXPECT_LE(mSubject->Open(), kCap);
        }
    }
    EXPECT_EQ(mSubject->Serve(), WS_Success);
    EXPECT_LE(mSubject->Open(), kCap);
    EXPECT_LE(mSubject->PeakHeld(), limits.mMaxHeldBytes);

    // The limits close the rest; each client sees its connection end.
    EXPECT_TRUE(WaitUntil([&] { return mSubject->Open() == 0; }, 2 * kWait)) << mSubject->Open();
    int open = 0;
    const uint32_t start = GetTickCount();   // one bound for all of them
    for (const SmartPtr<AsyncSocket>& socket : bad)
        open += ClosedByServer(*socket, start) ? 0 : 1;
    EXPECT_EQ(open, 0);
    EXPECT_EQ(mSubject->Serve(), WS_Success);
}

INSTANTIATE_TEST_SUITE_P(Servers, HostileClients,
                         ::testing::Values(SubjectCase{"dir", [] { return new DirSubject; }},
                                           SubjectCase{"auth", [] { return new AuthSubject; }},
                                           SubjectCase{"host", [] { return new HostSubject; }},
                                           SubjectCase{"ping", [] { return new PingSubject; }},
                                           SubjectCase{"push", [] { return new PushSubject; }}),
                         [](const ::testing::TestParamInfo<SubjectCase>& info) { return std::string(info.param.mName); });

// A started game host (small limits with the idle limit given, cap) and one
// client authenticated on it with type 3, so that its connection stays open.
struct HostWithPlayer
{
    HostWithPlayer(uint32_t idleMs, uint32_t cap) : mCore(AuthTest::StartCore(mDir.Path()))
    {
        mLimits.mIdleMs = idleMs;
        mStatus = mHost.Start(mLimits, cap);
        if (mStatus == WS_Success)
            mStatus = mHost.Authenticate(mPlayer);
    }

    AuthTest::TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    HostSubject mHost;
    ClientLimits mLimits = SmallLimits();
    SmartPtr<AsyncSocket> mPlayer = new AsyncSocket();
    WSStatus mStatus = WS_None;
};

// An authenticated client that sends and never reads: the host's unsent
// echoes pile up until it is closed, within the bounds, and others are
// served on.
TEST(GameHostLimits, AClientThatReadsNothingIsClosedOnceItsRepliesPileUp)
{
    HostWithPlayer setup(2 * kWait, kCap);
    ASSERT_EQ(setup.mStatus, WS_Success);
    HostSubject& host = setup.mHost;
    const SmartPtr<AsyncSocket>& hoarder = setup.mPlayer;
    const ClientLimits limits = setup.mLimits;

    const std::string frame = Frame(std::string(30000, 'm'), 4);
    const uint32_t start = GetTickCount();
    while (host.Dropped() == 0 && TicksSince(start) < 3 * kWait)
        if (SendAll(*hoarder, frame) != WS_Success)
            break;
    EXPECT_TRUE(WaitUntil([&] { return host.Dropped() == 1; }));
    EXPECT_GT(host.PeakHeld(), 0u);
    EXPECT_LE(host.PeakHeld(), limits.mMaxHeldBytes);
    EXPECT_TRUE(ClosedByServer(*hoarder));
    EXPECT_EQ(host.Serve(), WS_Success);
}

// Connections that only connect, opened one after another.
std::vector<SmartPtr<AsyncSocket>> ConnectIdle(uint16_t port, int count)
{
    std::vector<SmartPtr<AsyncSocket>> idle;
    for (int i = 0; i < count; ++i)
    {
        idle.push_back(new AsyncSocket());
        EXPECT_EQ(idle.back()->ConnectBlock(Local(port), kWait), WS_Success);
    }
    return idle;
}

// At the cap, connections that never sent a whole message make room before a
// client that did and now waits quietly, though it is quiet for longest.
TEST(ConnectionCap, AClientThatSentAMessageOutlastsConnectionsThatSentNothing)
{
    AuthTest::TempDir dir;
    std::unique_ptr<QORAPICore> core = AuthTest::StartCore(dir.Path());
    PushServer server;
    ClientLimits limits = SmallLimits();
    limits.mIdleMs = limits.mPartialFrameMs = 4 * kWait;
    server.SetClientLimits(limits);
    server.SetConnectionCap(4);
    ASSERT_EQ(server.Start(0), WS_Success);
    SmartPtr<AsyncSocket> listener = new AsyncSocket();
    ASSERT_EQ(listener->ConnectBlock(Local(server.GetPort()), kWait), WS_Success);
    ASSERT_EQ(listener->SendMsgBlock(Bytes(Frame("hello", 4)), kWait), WS_Success);
    ASSERT_TRUE(WaitUntil([&] { return server.GetMessageCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));   // every newcomer is more recent

    const std::vector<SmartPtr<AsyncSocket>> idle = ConnectIdle(server.GetPort(), 8);
    EXPECT_TRUE(WaitUntil([&] { return server.GetDroppedCount() == 5; })) << server.GetDroppedCount();
    server.Push("news");
    SmartPtr<ByteBuffer> pushed;
    EXPECT_EQ(listener->RecvMsgBlock(pushed, kWait), WS_Success);
    EXPECT_EQ(Str(pushed), "news");
}

// The game host's form of it: connections still in (or never starting) their
// handshake make room before an authenticated client.
TEST(ConnectionCap, AnAuthenticatedClientOutlastsUnauthenticatedConnections)
{
    HostWithPlayer setup(4 * kWait, 4);
    ASSERT_EQ(setup.mStatus, WS_Success);
    HostSubject& host = setup.mHost;
    const SmartPtr<AsyncSocket>& player = setup.mPlayer;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));   // every newcomer is more recent

    const std::vector<SmartPtr<AsyncSocket>> idle = ConnectIdle(host.Port(), 8);
    EXPECT_TRUE(WaitUntil([&] { return host.Dropped() == 5; })) << host.Dropped();
    SmartPtr<ByteBuffer> echo;
    EXPECT_EQ(player->SendMsgBlock(Bytes(Frame("move", 4)), kWait), WS_Success);
    EXPECT_EQ(player->RecvMsgBlock(echo, kWait), WS_Success);
}

// A flood of datagrams that are no ping (and pings cut short) does not keep
// the responder from answering good ones.
TEST(HostileDatagrams, GoodPingsAreAnsweredThroughAFlood)
{
    AuthTest::TempDir dir;
    std::unique_ptr<QORAPICore> core = AuthTest::StartCore(dir.Path());
    PingResponder responder;
    responder.SetUdpCount(1);
    ASSERT_EQ(responder.Start(), WS_Success);
    const InetAddress target = Local(responder.GetUdpPort(0));

    std::atomic<bool> stop(false);
    std::atomic<uint32_t> flooded(0);
    std::thread flood([&] {
        SmartPtr<AsyncSocket> socket = new AsyncSocket(SocketType::Datagram);
        const std::string junk[] = {std::string(512, '\xee'), std::string("\x03\x01\x05\x00", 4), std::string()};
        const uint32_t start = GetTickCount();
        while (!stop.load() && TicksSince(start) < 2 * kWait)
        {
            for (int i = 0; i < 200; ++i)
            {
                const std::string& bytes = junk[i % 3];
                socket->SendTo(bytes.data(), static_cast<uint32_t>(bytes.size()), target);
                flooded.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        socket->Close();
    });
    EXPECT_TRUE(WaitUntil([&] { return flooded.load() >= 2000; }));
    for (int round = 0; round < 5; ++round)
    {
        SCOPED_TRACE(round);
        SmartPtr<MultiPingOp> op = new MultiPingOp();
        op->AddServer(target);
        op->RunBlock(kWait);
        EXPECT_EQ(op->GetStatus(), WS_Success);
        ASSERT_EQ(op->GetResults().size(), 1u);
        EXPECT_NE(op->GetResults()[0]->mPingTime, 0xFFFFFFFFu);
    }
    stop.store(true);
    flood.join();
    EXPECT_GE(responder.GetTotalUdpRequests(), 5u);
}

} // namespace
} // namespace QORAPI
