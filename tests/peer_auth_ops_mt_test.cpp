// PeerAuthOp and PeerAuthServerOp over loopback against the local game host,
// in both run modes: every authentication type, the host's handshake faults,
// refusals, certificates close to expiry, failure completes that reach the
// client, and long encrypted conversations with the sequence numbers in step.
#include "AuthTestUtil.h"
#include "DirTestUtil.h"
#include "PeerAuthTestUtil.h"

#include "QORSocket/SocketThreadEx.h"

#include "QORSocket/BlockingSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/PeerAuthMsg.h"
#include "auth/PeerAuthOp.h"
#include "auth/PeerAuthServerOp.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "service/AuthServer.h"
#include "service/GameHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace QORAPI {
namespace {

using namespace PeerAuthTest;
using DirTest::Local;
using DirTest::RunOp;

class PeerAuthOps : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        // A threaded core with a pump thread, whose files stay in a temporary folder.
        mCore.reset(new QORAPICoreEx());
        mCore->SetUsePumpThread(true);
        mCore->SetThreaded(true);
        mCore->SetSocketThread(new SocketThreadEx());
        mCore->SetFileDirectory(mDir.Path());
        mCore->Startup();
        mClientData = Credentials(1001, u"alice");
        mHostData = Credentials(2002, u"host");
        mContext = new AuthContext;
        mContext->SetPeerData(mClientData);
    }
    void TearDown() override
    {
        mHost.Stop();
        mAuthServer.Stop();
        mContext = nullptr;
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
        mContext->AddAddress(Local(mAuthServer.GetPort()));
    }

    bool Async() const { return GetParam(); }

    void StartHost()
    {
        mHost.SetCredentials(mHostData);
        mHost.SetAuthTimeout(5000);
        ASSERT_EQ(mHost.Start(0), WS_Success);
    }

    SmartPtr<PeerAuthOp> MakeOp(int32_t type, const SmartPtr<AsyncSocket>& socket)
    {
        SmartPtr<PeerAuthOp> op = new PeerAuthOp(Local(mHost.GetPort()), mContext, type, socket, true);
        op->SetTimeouts(3000, 3000, 3000);
        return op;
    }

    // Waits, bounded, until the host has recorded count outcomes.
    std::vector<GameHostClient> Outcomes(size_t count)
    {
        for (int i = 0; i < 300 && mHost.GetClients().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return mHost.GetClients();
    }

    AuthTest::TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    AuthServer mAuthServer;
    SmartPtr<AuthPeerData> mClientData;
    SmartPtr<AuthPeerData> mHostData;
    SmartPtr<AuthContext> mContext;
    GameHost mHost;
};

TEST_P(PeerAuthOps, EveryTypeAuthenticatesWithTheHost)
{
    mHost.SetServeSessionMode(true);
    StartHost();
    const struct
    {
        int32_t type;
        size_t transforms;
    } cases[] = {{1, 1}, {2, 1}, {3, 0}};
    size_t outcomes = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.type);
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = MakeOp(c.type, socket);
        ASSERT_EQ(RunOp(op, Async(), 5000), WS_Success);
        EXPECT_EQ(socket->GetTransformCount(), c.transforms);
        EXPECT_EQ(op->GetRenewalStatus(), WS_None);
        EXPECT_EQ(op->GetServerCertificate()->GetUserId(), 2002u);
        EXPECT_EQ(static_cast<bool>(op->GetSession()), c.type != 3);
        const std::vector<GameHostClient> seen = Outcomes(++outcomes);
        ASSERT_EQ(seen.size(), outcomes);
        EXPECT_EQ(seen.back().mStatus, WS_Success);
        EXPECT_EQ(seen.back().mAuthType, c.type);
        EXPECT_EQ(seen.back().mUserId, 1001u);
        EXPECT_EQ(seen.back().mName, u"alice");
        socket->Close();
    }

    // Type 0 connects and sends nothing.
    SmartPtr<BlockingSocket> socket = new BlockingSocket();
    SmartPtr<PeerAuthOp> plain = MakeOp(0, socket);
    EXPECT_EQ(RunOp(plain, Async(), 5000), WS_Success);
    EXPECT_TRUE(socket->IsConnected());
    EXPECT_EQ(socket->GetTransformCount(), 0u);
    EXPECT_FALSE(plain->GetSession());
}

TEST_P(PeerAuthOps, HostFaultsEndTheRunWithTheClientsStatus)
{
    struct Case
    {
        const char* name;
        GameHostFault fault;
        WSStatus expected;
    };
    const Case cases[] = {
        {"CompleteFirst", GameHostFault::CompleteFirst, WS_PeerAuthClient_InvalidMessage},
        {"Challenge1Twice", GameHostFault::Challenge1Twice, WS_PeerAuthClient_UnexpectedChallenge},
        {"WrongServiceType", GameHostFault::WrongServiceType, WS_PeerAuthClient_InvalidServiceType},
        {"Truncated", GameHostFault::Truncated, WS_PeerAuthClient_MsgUnpackFailure},
        {"WrongSecret", GameHostFault::WrongSecret, WS_PeerAuthClient_CompleteInvalidSecretKey},
    };
    mHost.SetFault(GameHostFault::CompleteFirst);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        mHost.Stop();
        mHost.SetFault(c.fault);
        StartHost();
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = MakeOp(2, socket);
        EXPECT_EQ(RunOp(op, Async(), 5000), c.expected);
        EXPECT_EQ(socket->GetTransformCount(), 0u);
        EXPECT_FALSE(op->GetSession());
        socket->Close();
    }
}

TEST_P(PeerAuthOps, HostCertificateOutsideTheClientsBlock)
{
    mHostData = ForeignCredentials(2002);
    StartHost();
    SmartPtr<BlockingSocket> socket = new BlockingSocket();
    EXPECT_EQ(RunOp(MakeOp(2, socket), Async(), 5000), WS_PeerAuthClient_Challenge1CertificateVerifyFailure);
}

TEST_P(PeerAuthOps, RefusalWithoutRenewalEndsWithGetCertFailure)
{
    // The context has no authentication server, so the renewal after the
    // host's refusal fails: the run ends with WS_PeerAuth_GetCertFailure.
    const struct
    {
        const char* name;
        int32_t hostOffset;       // the host's clock ahead of the client's
        uint32_t refusals;
    } cases[] = {{"ExpiredByHostClock", 7200, 0}, {"Minus19", 0, 1}};
    size_t outcomes = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        mHost.Stop();
        mHostData = Credentials(2002, u"host", 3600, c.hostOffset);
        mHost.SetRefusals(c.refusals);
        StartHost();
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = MakeOp(2, socket);
        EXPECT_EQ(RunOp(op, Async(), 5000), WS_PeerAuth_GetCertFailure);
        EXPECT_NE(op->GetRenewalStatus(), WS_Success);
        EXPECT_NE(op->GetRenewalStatus(), WS_Pending);
        const std::vector<GameHostClient> seen = Outcomes(++outcomes);
        ASSERT_EQ(seen.size(), outcomes);
        EXPECT_EQ(seen.back().mStatus,
                  c.refusals ? WS_CommServ_ExpiredPeerCertificate : WS_PeerAuthServer_ExpiredClientCertificate);
        socket->Close();
    }
}

TEST_P(PeerAuthOps, CertificateCloseToExpiry)
{
    // 60 s left: the asynchronous run renews beside the exchange, which goes
    // ahead (the failing renewal does not stop it); blocking runs renew only
    // within 30 s. 20 s left: both wait for the renewal, which fails here.
    StartHost();
    const struct
    {
        uint32_t lifetime;
        WSStatus expected;
        WSStatus renewal;
    } cases[] = {{60, WS_Success, Async() ? WS_GetCert_NeedVerifierKey : WS_None},
                 {20, WS_PeerAuth_GetCertFailure, WS_GetCert_NeedVerifierKey}};
    size_t outcomes = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.lifetime);
        mContext->SetPeerData(Credentials(1001, u"alice", c.lifetime));
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = MakeOp(2, socket);
        EXPECT_EQ(RunOp(op, Async(), 5000), c.expected);
        if (c.expected == WS_Success)
            ++outcomes;
        // The renewal runs beside: it may still be pending when the
        // exchange ends, and never succeeds without a server.
        const WSStatus renewal = op->GetRenewalStatus();
        if (c.renewal == WS_None)
            EXPECT_EQ(renewal, WS_None);
        else
            EXPECT_TRUE(renewal != WS_Success && renewal != WS_None) << WSStatusToString(renewal);
        socket->Close();
    }
    // The host saw the first client only: the second never connected.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(mHost.GetClients().size(), outcomes);
}

TEST_P(PeerAuthOps, FailureCompleteReachesTheClientWithTheStatusName)
{
    // A raw client asks for the session mode, which the host does not serve:
    // the host's operation ends with the status after sending its name.
    StartHost();
    SmartPtr<BlockingSocket> socket = new BlockingSocket();
    ASSERT_EQ(socket->ConnectBlock(Local(mHost.GetPort()), 3000), WS_Success);
    PeerAuthClient client;
    SmartPtr<ByteBuffer> request, reply;
    client.Start(request, mClientData, 1, 4);
    ASSERT_EQ(socket->SendMsgBlock(request, 3000), WS_Success);
    ASSERT_EQ(socket->RecvMsgBlock(reply, 3000), WS_Success);
    ReadBuffer rb(reply);
    EXPECT_EQ(rb.ReadLong(), PeerAuth_ServiceType);
    EXPECT_EQ(rb.ReadLong(), PeerAuth_Complete);
    EXPECT_EQ(static_cast<int16_t>(rb.ReadShort()), WS_CommServ_InvalidParameters);
    EXPECT_EQ(rb.ReadShort(), 1u);
    std::string name;
    rb.ReadString(name, 2);
    EXPECT_EQ(name, "WS_PeerAuthServer_InvalidAuthMode");
    const std::vector<GameHostClient> seen = Outcomes(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].mStatus, WS_PeerAuthServer_InvalidAuthMode);
}

TEST_P(PeerAuthOps, ServerOperationInBothModesOverOneConnection)
{
    // PeerAuthServerOp on an accepted socket, run blocking on a thread of its
    // own or asynchronously, against a blocking client.
    SmartPtr<QueueSocket> listener = new QueueSocket();
    ASSERT_EQ(listener->Bind(0), WS_Success);
    ASSERT_EQ(listener->Listen(4), WS_Success);
    SmartPtr<AuthContext> hostContext = new AuthContext;
    hostContext->SetPeerData(mHostData);
    std::atomic<int32_t> serverStatus{WS_None};
    SmartPtr<PeerAuthServerOp> serverOp;
    std::thread server([&] {
        SmartPtr<AsyncSocket> accepted;
        if (listener->AcceptBlock(accepted, 5000) != WS_Success)
            return;
        accepted->SetLengthFieldSize(4);
        serverOp = new PeerAuthServerOp(hostContext, accepted);
        serverStatus = RunOp(serverOp, Async(), 5000);
        // Echo one message through the installed transform.
        SmartPtr<ByteBuffer> message;
        if (accepted->RecvMsgBlock(message, 5000) == WS_Success)
        {
            WriteBuffer wb(4, true);
            wb.AppendBytes(message->GetData(), message->GetLength());
            accepted->SendMsgBlock(wb.ToByteBuffer(true), 5000);
        }
    });
    SmartPtr<BlockingSocket> socket = new BlockingSocket();
    SmartPtr<PeerAuthOp> op =
        new PeerAuthOp(Local(listener->GetLocalPort()), mContext, 2, SmartPtr<AsyncSocket>(socket.Get()), true);
    EXPECT_EQ(RunOp(op, false, 5000), WS_Success);
    WriteBuffer wb(4, true);
    wb.AppendString("ping", 2);
    ASSERT_EQ(socket->SendMsgBlock(wb.ToByteBuffer(true), 5000), WS_Success);
    SmartPtr<ByteBuffer> echo;
    EXPECT_EQ(socket->RecvMsgBlock(echo, 5000), WS_Success);
    EXPECT_EQ(Raw(echo), std::string("\x04\x00ping", 6));
    server.join();
    EXPECT_EQ(serverStatus.load(), WS_Success);
    EXPECT_EQ(serverOp->GetClientAuthType(), 2);
    EXPECT_EQ(serverOp->GetClientCertificate()->GetUserId(), 1001u);
    listener->Close();
}

// The echo of n messages, each way, over a type 1 session; the counters of
// the client's session must end at n both ways.
TEST_P(PeerAuthOps, ThousandEncryptedMessagesEachWayInStep)
{
    const int kMessages = 1000;
    mHost.SetServeSessionMode(true);
    StartHost();
    SmartPtr<BlockingSocket> socket = new BlockingSocket();
    SmartPtr<PeerAuthOp> op = MakeOp(1, socket);
    ASSERT_EQ(RunOp(op, Async(), 5000), WS_Success);
    const SmartPtr<AuthSession> session = op->GetSession();
    ASSERT_TRUE(session);

    auto frame = [](int i) {
        WriteBuffer wb(4, true);
        wb.AppendLong(static_cast<uint32_t>(i));
        wb.AppendString(std::string(static_cast<size_t>(i % 97), 'x'), 2);
        return wb.ToByteBuffer(true);
    };
    int inOrder = 0;
    if (!Async())
    {
        for (int i = 0; i < kMessages; ++i)
        {
            ASSERT_EQ(socket->SendMsgBlock(frame(i), 5000), WS_Success);
            SmartPtr<ByteBuffer> echo;
            ASSERT_EQ(socket->RecvMsgBlock(echo, 5000), WS_Success);
            ReadBuffer rb(echo);
            if (rb.ReadLong() == static_cast<uint32_t>(i))
                ++inOrder;
        }
    }
    else
    {
        struct Counter : public RefCount
        {
            std::atomic<int> received{0};
            std::atomic<int> inOrder{0};
        };
        SmartPtr<Counter> counter = new Counter;
        socket->SetRepeatOpCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(
            [](SmartPtr<AsyncOp> done, SmartPtr<RefCount> param) {
                Counter* c = static_cast<Counter*>(param.Get());
                if (done->GetStatus() != WS_Success)
                    return;
                const SmartPtr<ByteBuffer>& message = static_cast<RecvMsgOp*>(done.Get())->GetMsg();
                ReadBuffer rb(message);
                if (rb.ReadLong() == static_cast<uint32_t>(c->received.load()))
                    ++c->inOrder;
                ++c->received;
            },
            SmartPtr<RefCount>(counter.Get())));
        socket->SetRepeatOp(new RecvMsgOp());
        for (int i = 0; i < kMessages; ++i)
            socket->QueueOp(new SendMsgOp(frame(i)), 5000);
        for (int i = 0; i < 1000 && counter->received.load() < kMessages; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(counter->received.load(), kMessages);
        inOrder = counter->inOrder.load();
        socket->CloseAndClear();
    }
    EXPECT_EQ(inOrder, kMessages);
    EXPECT_EQ(session->GetOutgoingSequence(), kMessages);
    EXPECT_EQ(session->GetIncomingSequence(), kMessages);
    EXPECT_EQ(mHost.GetMessageCount(), static_cast<uint32_t>(kMessages));
    socket->Close();
}

TEST_P(PeerAuthOps, RelayCarriesMessagesBetweenClients)
{
    mHost.SetMode(GameHostMode::Relay);
    StartHost();
    SmartPtr<BlockingSocket> a = new BlockingSocket();
    SmartPtr<BlockingSocket> b = new BlockingSocket();
    ASSERT_EQ(RunOp(MakeOp(2, a), Async(), 5000), WS_Success);
    ASSERT_EQ(RunOp(MakeOp(2, b), Async(), 5000), WS_Success);
    for (int i = 0; i < 300 && mHost.GetConnectedCount() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(mHost.GetConnectedCount(), 2u);
    for (int i = 0; i < 10; ++i)
    {
        WriteBuffer wb(4, true);
        wb.AppendLong(static_cast<uint32_t>(i));
        ASSERT_EQ(a->SendMsgBlock(wb.ToByteBuffer(true), 5000), WS_Success);
        SmartPtr<ByteBuffer> relayed;
        ASSERT_EQ(b->RecvMsgBlock(relayed, 5000), WS_Success);
        ReadBuffer rb(relayed);
        EXPECT_EQ(rb.ReadLong(), static_cast<uint32_t>(i));
    }
    a->Close();
    b->Close();
}

TEST_P(PeerAuthOps, RefusalOnTheFirstAttemptRenewsOnceAndRetries)
{
    // One refusal: one login, a second exchange on a fresh connection, with
    // the renewed certificate. Two refusals: the blocking run ends with the
    // server's status, the asynchronous one with WS_PeerAuth_GetCertFailure.
    UseAuthServer();
    const struct
    {
        uint32_t refusals;
        WSStatus status;
    } cases[] = {{1, WS_CommServ_ExpiredPeerCertificate}, {2, WS_CommServ_ExpiredPeerCertificate},
                 {1, WS_CommServ_InvalidParameters}};
    size_t outcomes = 0;
    uint32_t logins = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.refusals << " x " << c.status);
        mHost.Stop();
        mHost.SetRefusals(c.refusals, c.status);
        StartHost();
        mContext->SetPeerData(mClientData);
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = MakeOp(2, socket);
        const WSStatus expected =
            c.refusals == 1 ? WS_Success : (Async() ? WS_PeerAuth_GetCertFailure : c.status);
        EXPECT_EQ(RunOp(op, Async(), 8000), expected);
        EXPECT_EQ(mAuthServer.GetLoginCount(), ++logins);
        // Blocking keeps the renewal's status; asynchronous marks the restart.
        EXPECT_EQ(op->GetRenewalStatus(), Async() ? PeerAuthOp::RestartedMarker : WS_Success);
        outcomes += 2;
        const std::vector<GameHostClient> seen = Outcomes(outcomes);
        ASSERT_EQ(seen.size(), outcomes);
        EXPECT_EQ(seen[outcomes - 2].mStatus, c.status);
        if (c.refusals == 1)
        {
            EXPECT_EQ(seen.back().mStatus, WS_Success);
            EXPECT_EQ(seen.back().mName, u"player");   // the renewed certificate
            EXPECT_EQ(socket->GetTransformCount(), 1u);
        }
        socket->Close();
    }
}

TEST_P(PeerAuthOps, CertificateCloseToExpiryRenewedByLogin)
{
    // 20 s left: both modes renew first and authenticate with the new
    // certificate. 60 s left: only the asynchronous run renews, beside an
    // exchange that uses the old certificate.
    UseAuthServer();
    StartHost();
    const uint32_t lifetimes[] = {20, 60};
    size_t outcomes = 0;
    uint32_t logins = 0;
    for (uint32_t lifetime : lifetimes)
    {
        SCOPED_TRACE(lifetime);
        mContext->SetPeerData(Credentials(1001, u"alice", lifetime));
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = MakeOp(2, socket);
        EXPECT_EQ(RunOp(op, Async(), 8000), WS_Success);
        const bool renews = lifetime == 20 || Async();
        if (renews)
            ++logins;
        for (int i = 0; i < 300 && mAuthServer.GetLoginCount() < logins; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(mAuthServer.GetLoginCount(), logins);
        const std::vector<GameHostClient> seen = Outcomes(++outcomes);
        ASSERT_EQ(seen.size(), outcomes);
        EXPECT_EQ(seen.back().mName, lifetime == 20 ? u"player" : u"alice");
        socket->Close();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, PeerAuthOps, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Async" : "Blocking"; });

} // namespace
} // namespace QORAPI
