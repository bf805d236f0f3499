// ServerConnection against the local push server: connect (both ways), pushed
// messages, sends, keep-alives, closes by the peer or by a bad frame,
// reconnects, CloseAndClear and an authenticated connect.
#include "AsyncTestUtil.h"
#include "AuthTestUtil.h"
#include "DirTestUtil.h"
#include "PeerAuthTestUtil.h"
#include "QORSocket/SendMsgOp.h"
#include "QORSocket/ServerConnection.h"
#include "auth/PeerAuthOp.h"
#include "service/AuthServer.h"
#include "service/GameHost.h"
#include "service/PushServer.h"

#include <mutex>
#include <vector>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

class TestConnection : public ServerConnection
{
public:
    std::vector<std::string> Messages()
    {
        std::lock_guard<std::mutex> hold(mLock);
        return mMessages;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> hold(mLock);
        return mMessages.size();
    }

protected:
    void MsgReceived(const SmartPtr<ByteBuffer>& message) override
    {
        std::lock_guard<std::mutex> hold(mLock);
        mMessages.push_back(Str(message));
    }

private:
    std::mutex mLock;
    std::vector<std::string> mMessages;
};

// Remembers every operation a completion was called with (not holding it:
// the operation holds the completion, which holds the log).
struct OpLog : public RefCount
{
    std::mutex lock;
    std::vector<const AsyncOp*> ops;
    std::vector<bool> peerAuth;
    std::vector<int32_t> statuses;
    std::function<void(const SmartPtr<AsyncOp>&)> action;

    size_t Count()
    {
        std::lock_guard<std::mutex> hold(lock);
        return ops.size();
    }
    int32_t Status(size_t i)
    {
        std::lock_guard<std::mutex> hold(lock);
        return i < statuses.size() ? statuses[i] : WS_None;
    }
};

void OnLog(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    OpLog* log = static_cast<OpLog*>(param.Get());
    if (log->action)
        log->action(op);
    std::lock_guard<std::mutex> hold(log->lock);
    log->ops.push_back(op.Get());
    log->peerAuth.push_back(dynamic_cast<PeerAuthOp*>(op.Get()) != nullptr);
    log->statuses.push_back(op->GetStatus());
}

SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> LogCompletion(const SmartPtr<OpLog>& log)
{
    return new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnLog, SmartPtr<RefCount>(log.Get()));
}

template <class Pred>
bool WaitUntil(CoreHolder& core, Pred pred, uint32_t bound = kWait)
{
    const uint32_t start = GetTickCount();
    while (!pred() && TicksSince(start) < bound)
        core.Step();
    return pred();
}

class ServerConnectionTest : public ::testing::TestWithParam<CoreMode>
{
protected:
    void SetUp() override
    {
        mCore.reset(new CoreHolder(GetParam()));
        ASSERT_EQ(mServer.Start(), WS_Success);
        mConn = new TestConnection();
        mConnectLog = new OpLog();
        mClosedLog = new OpLog();
        mConn->SetConnectCompletion(LogCompletion(mConnectLog));
        mConn->SetClosedCompletion(LogCompletion(mClosedLog));
    }

    void TearDown() override
    {
        mConn->CloseAndClear();
        // Let killed operations deliver before the core goes.
        for (int i = 0; i < 5; ++i)
            mCore->Step();
        mServer.Stop();
        mConn = nullptr;
        mCore.reset();
    }

    InetAddress ServerAddr() const { return InetAddress("127.0.0.1", mServer.GetPort()); }

    void ConnectAndWait()
    {
        mConn->ConnectAsync(ServerAddr(), kWait);
        ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 1; }));
        ASSERT_EQ(mConnectLog->Status(0), WS_Success);
        ASSERT_TRUE(WaitUntil(*mCore, [&] { return mServer.GetClientCount() == 1; }));
    }

    std::unique_ptr<CoreHolder> mCore;
    PushServer mServer;
    SmartPtr<TestConnection> mConn;
    SmartPtr<OpLog> mConnectLog;
    SmartPtr<OpLog> mClosedLog;
};

TEST_P(ServerConnectionTest, PushedMessagesReachMsgReceivedAndSendsReachTheServer)
{
    ConnectAndWait();
    EXPECT_TRUE(mConn->IsValid());
    EXPECT_TRUE(mConn->IsKeepAliveRunning());
    mServer.Push("hello");
    mServer.Push(std::string(64, 'x'), 50);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == 51; }));
    const std::vector<std::string> msgs = mConn->Messages();
    EXPECT_EQ(msgs[0], "hello");
    EXPECT_EQ(msgs[50], std::string(64, 'x'));

    mConn->QueueOp(SmartPtr<SocketOp>(new SendMsgOp(Bytes(Frame("abc", 4)))), kWait);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mServer.GetMessageCount() == 1; }));
    EXPECT_EQ(mServer.GetLastMessage(), "abc");

    // Closing by the application is no loss of the connection.
    mConn->Close();
    for (int i = 0; i < 10; ++i)
        mCore->Step();
    EXPECT_EQ(mClosedLog->Count(), 0u);
    EXPECT_FALSE(mConn->IsKeepAliveRunning());
    EXPECT_EQ(mConnectLog->Count(), 1u);
}

TEST_P(ServerConnectionTest, LossOfTheConnectionReachesTheClosedCompletion)
{
    struct Case
    {
        const char* name;
        std::function<void(PushServer&)> act;
        int32_t status;
    };
    const Case cases[] = {
        {"peer closes", [](PushServer& s) { s.CloseAll(); }, WS_AsyncSocket_Shutdown},
        {"frame without message byte", [](PushServer& s) { s.PushRaw(LengthField(4, 4)); },
         WS_RecvMsg_InvalidMessageLength},
        {"frame too long", [](PushServer& s) { s.PushRaw(LengthField(256000, 4)); },
         WS_RecvMsg_InvalidMessageLength},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        mConnectLog = new OpLog();
        mClosedLog = new OpLog();
        mConn->SetConnectCompletion(LogCompletion(mConnectLog));
        mConn->SetClosedCompletion(LogCompletion(mClosedLog));
        ConnectAndWait();
        c.act(mServer);
        ASSERT_TRUE(WaitUntil(*mCore, [&] { return mClosedLog->Count() == 1; }));
        EXPECT_EQ(mClosedLog->Status(0), c.status);
        EXPECT_FALSE(mConn->IsValid());
        EXPECT_FALSE(mConn->IsKeepAliveRunning());
        EXPECT_FALSE(mConn->GetRepeatOp());
        ASSERT_TRUE(WaitUntil(*mCore, [&] { return mServer.GetClientCount() == 0; }));
        for (int i = 0; i < 5; ++i)
            mCore->Step();
        EXPECT_EQ(mClosedLog->Count(), 1u);
    }
}

TEST_P(ServerConnectionTest, ClosedCompletionSetThroughTheQueueSocket)
{
    // Set before the connect through the base class, it is the connection's
    // own: kept through the attempt and called once when the peer closes.
    const SmartPtr<OpLog> closed = new OpLog();
    QueueSocket& base = *mConn;
    base.SetClosedCompletion(LogCompletion(closed));
    ConnectAndWait();
    mServer.CloseAll();
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return closed->Count() == 1; }));
    EXPECT_EQ(closed->Status(0), WS_AsyncSocket_Shutdown);
    for (int i = 0; i < 5; ++i)
        mCore->Step();
    EXPECT_EQ(closed->Count(), 1u);
    EXPECT_EQ(mClosedLog->Count(), 0u);
}

TEST_P(ServerConnectionTest, FailedAttemptClosesTheSocketAndStartsNothing)
{
    mConn->ConnectAsync(InetAddress("127.0.0.1", UnusedPort()), kWait);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 1; }));
    EXPECT_EQ(mConnectLog->Status(0), WS_WSAECONNREFUSED);
    EXPECT_FALSE(mConn->IsValid());
    EXPECT_FALSE(mConn->IsKeepAliveRunning());
    EXPECT_FALSE(mConn->GetRepeatOp());
    EXPECT_FALSE(mConn->GetConnectOp());
    for (int i = 0; i < 5; ++i)
        mCore->Step();
    EXPECT_EQ(mClosedLog->Count(), 0u);
}

TEST_P(ServerConnectionTest, ConnectCompletionThatClosesLeavesNothingRunning)
{
    SmartPtr<TestConnection> conn = mConn;
    mConnectLog->action = [conn](const SmartPtr<AsyncOp>&) { conn->Close(); };
    mConn->ConnectAsync(ServerAddr(), kWait);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 1; }));
    EXPECT_EQ(mConnectLog->Status(0), WS_Success);
    for (int i = 0; i < 5; ++i)
        mCore->Step();
    EXPECT_FALSE(mConn->IsValid());
    EXPECT_FALSE(mConn->GetRepeatOp());
    EXPECT_FALSE(mConn->IsKeepAliveRunning());
    EXPECT_EQ(mClosedLog->Count(), 0u);
    mConnectLog->action = nullptr;
}

TEST_P(ServerConnectionTest, AuthenticatedConnectToAServerWithoutPeerAuthentication)
{
    SmartPtr<AuthContext> context = new AuthContext();
    context->SetPeerData(PeerAuthTest::Credentials(1001, u"alice"));
    mConn->SetAuth(context, 1);
    mConn->ConnectAsync(ServerAddr(), 2000);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 1; }));
    // The push server knows no peer authentication: the attempt fails with
    // the status of PeerAuthOp, and the connection is left closed.
    EXPECT_TRUE(mConnectLog->peerAuth[0]);
    EXPECT_NE(mConnectLog->Status(0), WS_Success);
    for (int i = 0; i < 10; ++i)
        mCore->Step();
    EXPECT_EQ(mConnectLog->Count(), 1u);
    EXPECT_FALSE(mConn->IsValid());
    EXPECT_EQ(mClosedLog->Count(), 0u);

    // CloseAndClear releases the context.
    const int32_t held = context->GetRefCount();
    mConn->CloseAndClear();
    EXPECT_EQ(context->GetRefCount(), held - 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, ServerConnectionTest, ::testing::ValuesIn(kCoreModes), CoreModeName);

// Tests whose order of events needs a core that runs only while pumped.
class ServerConnectionPumpedTest : public ServerConnectionTest
{
};

TEST_P(ServerConnectionPumpedTest, SecondConnectKillsTheFirstAttempt)
{
    mConn->ConnectAsync(ServerAddr(), kWait);
    const SmartPtr<AsyncOp> first = mConn->GetConnectOp();
    mConn->ConnectAsync(ServerAddr(), kWait);
    const SmartPtr<AsyncOp> second = mConn->GetConnectOp();
    ASSERT_TRUE(first && second && first != second);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 2; }));
    EXPECT_EQ(mConnectLog->ops[0], first.Get());
    EXPECT_EQ(mConnectLog->Status(0), WS_Killed);
    EXPECT_EQ(mConnectLog->ops[1], second.Get());
    EXPECT_EQ(mConnectLog->Status(1), WS_Success);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mServer.GetClientCount() == 1; }));
    mServer.Push("after");
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == 1; }));
}

TEST_P(ServerConnectionPumpedTest, NoCompletionAfterCloseAndClear)
{
    // During an attempt: the killed attempt reports to nobody.
    mConn->ConnectAsync(ServerAddr(), kWait);
    mConn->CloseAndClear();
    for (int i = 0; i < 10; ++i)
        mCore->Step();
    EXPECT_EQ(mConnectLog->Count(), 0u);

    // While connected: the peer's close reports to nobody.
    mConn->SetConnectCompletion(LogCompletion(mConnectLog));
    ConnectAndWait();
    mConn->CloseAndClear();
    mServer.CloseAll();
    mServer.Push("late");
    for (int i = 0; i < 10; ++i)
        mCore->Step();
    EXPECT_EQ(mClosedLog->Count(), 0u);
    EXPECT_EQ(mConn->Count(), 0u);
    EXPECT_EQ(mConnectLog->Count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, ServerConnectionPumpedTest,
                         ::testing::Values(kCoreModes[2], kCoreModes[3]), CoreModeName);

// Keep-alives and the blocking connect, with a threaded core.
class ServerConnectionKeepAliveTest : public ServerConnectionTest
{
};

TEST_P(ServerConnectionKeepAliveTest, KeepAliveFramesAtTheInterval)
{
    EXPECT_EQ(Str(ServerConnection::MakeKeepAliveFrame(4)), std::string("\x07\x00\x00\x00\x03\x01\x07", 7));
    EXPECT_EQ(Str(ServerConnection::MakeKeepAliveFrame(2)), std::string("\x05\x00\x03\x01\x07", 5));
    EXPECT_EQ(mConn->GetKeepAliveInterval(), 300u);

    mConn->SetKeepAliveInterval(1);
    EXPECT_EQ(mConn->ConnectBlock(ServerAddr(), kWait), WS_Success);
    // The blocking connect called the completion on this thread.
    EXPECT_EQ(mConnectLog->Count(), 1u);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mServer.GetKeepAliveCount() >= 2; }, 6000));
    EXPECT_LE(mServer.GetKeepAliveCount(), 4u);
    EXPECT_EQ(mServer.GetMessageCount(), 0u);
    mServer.Push("pushed");
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == 1; }));
}

TEST_P(ServerConnectionKeepAliveTest, NoKeepAliveWithIntervalZero)
{
    mConn->SetKeepAliveInterval(0);
    EXPECT_EQ(mConn->ConnectBlock(ServerAddr(), kWait), WS_Success);
    EXPECT_FALSE(mConn->IsKeepAliveRunning());
    const uint32_t start = GetTickCount();
    while (TicksSince(start) < 1500)
        mCore->Step();
    EXPECT_EQ(mServer.GetKeepAliveCount(), 0u);
    EXPECT_EQ(mServer.GetClientCount(), 1u);
}

TEST_P(ServerConnectionKeepAliveTest, IntervalBeyondTheTimerRangeIsCapped)
{
    mConn->SetKeepAliveInterval(5000000);   // 5e9 ms does not fit 32 bits
    EXPECT_EQ(mConn->ConnectBlock(ServerAddr(), kWait), WS_Success);
    EXPECT_TRUE(mConn->IsKeepAliveRunning());
    const uint32_t start = GetTickCount();
    while (TicksSince(start) < 300)
        mCore->Step();
    EXPECT_EQ(mServer.GetKeepAliveCount(), 0u);
    EXPECT_TRUE(mConn->IsKeepAliveRunning());
}

INSTANTIATE_TEST_SUITE_P(Modes, ServerConnectionKeepAliveTest, ::testing::Values(kCoreModes[0]), CoreModeName);

// Authenticated connections to the local game host, which pushes to them.
class AuthenticatedConnectionTest : public ::testing::TestWithParam<int32_t>
{
protected:
    void SetUp() override
    {
        mCore.reset(new CoreHolder(kCoreModes[0]));
        mHost.SetCredentials(PeerAuthTest::Credentials(2002, u"host"));
        mHost.SetServeSessionMode(true);
        ASSERT_EQ(mHost.Start(), WS_Success);
        mContext = new AuthContext();
        mContext->SetPeerData(PeerAuthTest::Credentials(1001, u"alice"));
        mConn = new TestConnection();
        mConnectLog = new OpLog();
        mClosedLog = new OpLog();
        mConn->SetConnectCompletion(LogCompletion(mConnectLog));
        mConn->SetClosedCompletion(LogCompletion(mClosedLog));
        mConn->SetAuth(mContext, GetParam());
    }
    void TearDown() override
    {
        mConn->CloseAndClear();
        mHost.Stop();
        mAuthServer.Stop();
        for (int i = 0; i < 5; ++i)
            mCore->Step();
        mConn = nullptr;
        mCore.reset();
    }

    // Renewals log in at a local authentication server of the same authority.
    void UseAuthServer()
    {
        ASSERT_EQ(mAuthServer.Start(0), WS_Success);
        const AuthAccount account = AuthServer::DefaultAccount();
        mContext->SetUserName(account.mUserName);
        mContext->SetPassword(account.mPassword);
        mContext->AddCommunity(account.mCommunities[0]);
        mContext->AddAddress(DirTest::Local(mAuthServer.GetPort()));
        mContext->SetKeyStorePath(mDir.Path() + "/login.ks");
    }

    std::unique_ptr<CoreHolder> mCore;
    AuthTest::TempDir mDir;
    AuthServer mAuthServer;
    GameHost mHost;
    SmartPtr<AuthContext> mContext;
    SmartPtr<TestConnection> mConn;
    SmartPtr<OpLog> mConnectLog;
    SmartPtr<OpLog> mClosedLog;
};

TEST_P(AuthenticatedConnectionTest, HostPushesAndEchoesOverTheSession)
{
    mConn->SetKeepAliveInterval(1);
    mConn->ConnectAsync(InetAddress("127.0.0.1", mHost.GetPort()), kWait);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 1; }));
    ASSERT_EQ(mConnectLog->Status(0), WS_Success);
    EXPECT_TRUE(mConnectLog->peerAuth[0]);
    EXPECT_EQ(mConn->GetTransformCount(), GetParam() == 3 ? 0u : 1u);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mHost.GetConnectedCount() == 1; }));

    EXPECT_EQ(mHost.Push(Bytes("news")), 1u);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == 1; }));
    mConn->QueueOp(SmartPtr<SocketOp>(new SendMsgOp(Bytes(Frame("hi", 4)))), kWait);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == 2; }));
    EXPECT_EQ(mConn->Messages(), (std::vector<std::string>{"news", "hi"}));

    // Keep-alives pass the session and are not answered.
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mHost.GetKeepAliveCount() >= 1; }, 4000));
    EXPECT_EQ(mHost.GetMessageCount(), 1u);
    EXPECT_EQ(mConn->Count(), 2u);
    EXPECT_EQ(mClosedLog->Count(), 0u);

    // The host going away reaches the closed completion.
    mHost.Stop();
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mClosedLog->Count() == 1; }));
    EXPECT_FALSE(mConn->IsValid());
}

TEST_P(AuthenticatedConnectionTest, SendsQueuedDuringTheAttemptWaitForTheSession)
{
    // Queued while the handshake runs: sent once the session is up, through it.
    const SmartPtr<OpLog> sends = new OpLog();
    mConn->ConnectAsync(InetAddress("127.0.0.1", mHost.GetPort()), kWait);
    for (const char* text : {"early", "second"})
    {
        SmartPtr<SendMsgOp> send = new SendMsgOp(Bytes(Frame(text, 4)));
        send->SetCompletion(LogCompletion(sends));
        mConn->QueueOp(SmartPtr<SocketOp>(send), kWait);
    }
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 1; }));
    ASSERT_EQ(mConnectLog->Status(0), WS_Success);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == 2; }));
    EXPECT_EQ(mConn->Messages(), (std::vector<std::string>{"early", "second"}));
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return sends->Count() == 2; }));
    EXPECT_EQ(sends->Status(0), WS_Success);
    EXPECT_EQ(sends->Status(1), WS_Success);
    EXPECT_EQ(mHost.GetClients().back().mStatus, WS_Success);

    // Queued behind an attempt that fails, or one replaced by a new connect:
    // killed, once each, and nothing of it reaches a server.
    const SmartPtr<OpLog> killed = new OpLog();
    for (int round = 0; round < 2; ++round)
    {
        mConn->ConnectAsync(InetAddress("127.0.0.1", UnusedPort()), kWait);
        SmartPtr<SendMsgOp> send = new SendMsgOp(Bytes(Frame("lost", 4)));
        send->SetCompletion(LogCompletion(killed));
        mConn->QueueOp(SmartPtr<SocketOp>(send), kWait);
    }
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 3 && killed->Count() == 2; }));
    EXPECT_EQ(killed->Status(0), WS_Killed);
    EXPECT_EQ(killed->Status(1), WS_Killed);
    for (int i = 0; i < 10; ++i)
        mCore->Step();
    EXPECT_EQ(killed->Count(), 2u);
    EXPECT_EQ(mHost.GetMessageCount(), 2u);
}

TEST_P(AuthenticatedConnectionTest, RefusedAttemptReportsOnlyToTheConnectCompletion)
{
    mConn->ConnectAsync(InetAddress("127.0.0.1", UnusedPort()), kWait);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConnectLog->Count() == 1; }));
    EXPECT_EQ(mConnectLog->Status(0), WS_WSAECONNREFUSED);
    for (int i = 0; i < 10; ++i)
        mCore->Step();
    EXPECT_EQ(mConnectLog->Count(), 1u);
    EXPECT_EQ(mClosedLog->Count(), 0u);
    EXPECT_FALSE(mConn->IsValid());
}

TEST_P(AuthenticatedConnectionTest, BlockingConnect)
{
    EXPECT_EQ(mConn->ConnectBlock(InetAddress("127.0.0.1", mHost.GetPort()), kWait), WS_Success);
    EXPECT_EQ(mConnectLog->Count(), 1u);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mHost.GetConnectedCount() == 1; }));
    EXPECT_EQ(mHost.Push(Bytes("news")), 1u);
    ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == 1; }));
}

TEST_P(AuthenticatedConnectionTest, RefusedRequestRenewsOnceAndRetries)
{
    // One refusal: one renewal, a second exchange on a fresh connection, one
    // completion with WS_Success and a working connection. Two refusals: the
    // blocking connect ends with the host's status, the asynchronous one with
    // WS_PeerAuth_GetCertFailure, again with one completion.
    UseAuthServer();
    const SmartPtr<AuthPeerData> original = mContext->GetPeerData();
    uint32_t logins = 0;
    for (uint32_t refusals : {1u, 2u})
    {
        for (bool blocking : {false, true})
        {
            SCOPED_TRACE(testing::Message() << refusals << (blocking ? " blocking" : " async"));
            mHost.Stop();
            mHost.SetRefusals(refusals);
            ASSERT_EQ(mHost.Start(), WS_Success);
            mContext->SetPeerData(original);
            const SmartPtr<OpLog> log = new OpLog();
            mConn->SetConnectCompletion(LogCompletion(log));
            const InetAddress host("127.0.0.1", mHost.GetPort());
            const WSStatus expected =
                refusals == 1 ? WS_Success
                              : (blocking ? WS_CommServ_ExpiredPeerCertificate : WS_PeerAuth_GetCertFailure);
            if (blocking)
                EXPECT_EQ(mConn->ConnectBlock(host, kWait), expected);
            else
                mConn->ConnectAsync(host, kWait);
            ASSERT_TRUE(WaitUntil(*mCore, [&] { return log->Count() >= 1; }));
            EXPECT_EQ(log->Status(0), expected);
            EXPECT_TRUE(log->peerAuth[0]);
            EXPECT_EQ(mAuthServer.GetLoginCount(), ++logins);
            if (refusals == 1)
            {
                EXPECT_EQ(mConn->GetTransformCount(), GetParam() == 3 ? 0u : 1u);
                const size_t before = mConn->Count();
                mConn->QueueOp(SmartPtr<SocketOp>(new SendMsgOp(Bytes(Frame("again", 4)))), kWait);
                ASSERT_TRUE(WaitUntil(*mCore, [&] { return mConn->Count() == before + 1; }));
                EXPECT_EQ(mConn->Messages().back(), "again");
                EXPECT_EQ(mHost.GetClients().back().mStatus, WS_Success);
            }
            else
            {
                EXPECT_FALSE(mConn->IsValid());
            }
            for (int i = 0; i < 10; ++i)
                mCore->Step();
            EXPECT_EQ(log->Count(), 1u);
            mConn->Close();
        }
    }
    EXPECT_EQ(mClosedLog->Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AuthTypes, AuthenticatedConnectionTest, ::testing::Values(1, 2, 3));

} // namespace
