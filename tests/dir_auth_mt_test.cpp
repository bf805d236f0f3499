// Authenticated directory requests against local directory servers in both
// run modes: the session cache reused across requests, discarded after 300 s,
// and refreshed after a session-expired notice on the same server; the
// persistent types; sessions that go wrong in the middle.
#include "AuthTestUtil.h"
#include "DirTestUtil.h"
#include "PeerAuthTestUtil.h"

#include "QORSocket/SocketThreadEx.h"

#include "dir/GetDirOp.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

namespace QORAPI {
namespace {

using namespace DirTest;
using namespace PeerAuthTest;

class DirAuth : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        mCore.reset(new QORAPICoreEx());
        mCore->SetUsePumpThread(true);
        mCore->SetThreaded(true);
        mCore->SetSocketThread(new SocketThreadEx());
        mCore->SetFileDirectory(mDir.Path());
        mCore->Startup();
        const SmartPtr<AuthPeerData> serverData = Credentials(3003, u"directory");
        for (DirServer* server : {&mFirst, &mSecond})
        {
            server->SetCredentials(serverData);
            ASSERT_EQ(server->Start(0), WS_Success);
            ASSERT_EQ(server->GetEngine().AddService(u"/g", u"s", std::string("\x10\x00\x7f\x00\x00\x01", 6)),
                      WS_Success);
        }
        mServers = new ServerContext;
        mServers->SetShuffle(false);
        mServers->AddAddress(Local(mFirst.GetPort()));
        mServers->AddAddress(Local(mSecond.GetPort()));
        mContext = new AuthContext;
        mContext->SetPeerData(Credentials(1001, u"alice"));
    }
    void TearDown() override
    {
        SetTimeOffset(0);
        mFirst.Stop();
        mSecond.Stop();
        mContext = nullptr;
        mCore.reset();
    }

    bool Async() const { return GetParam(); }

    WSStatus List(int32_t authType, SmartPtr<GetDirOp>* out = nullptr)
    {
        SmartPtr<GetDirOp> op = new GetDirOp(mServers);
        op->SetPath(u"/g");
        op->SetAuthType(authType);
        op->SetAuthContext(mContext);
        op->SetTimeouts(3000, 3000, 3000);
        const WSStatus status = RunOp(op, Async(), 8000);
        EXPECT_EQ(op->GetEntities().size(), status == WS_Success ? 1u : 0u);
        if (out)
            *out = op;
        return status;
    }

    size_t Cached() const { return mContext->GetSessionCount(Local(mFirst.GetPort())); }

    AuthTest::TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    DirServer mFirst;
    DirServer mSecond;
    SmartPtr<ServerContext> mServers;
    SmartPtr<AuthContext> mContext;
};

TEST_P(DirAuth, CachedSessionServesTheSecondRequest)
{
    ASSERT_EQ(List(1), WS_Success);
    EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), 1u);
    EXPECT_EQ(Cached(), 1u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(List(1), WS_Success);
    EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), 1u);
    EXPECT_EQ(Cached(), 1u);
    EXPECT_EQ(mFirst.GetRequestCount(), 2u + 4u);   // two handshake messages, four requests
    EXPECT_EQ(mSecond.GetRequestCount(), 0u);
}

TEST_P(DirAuth, CachedSessionDiscardedAfter300Seconds)
{
    ASSERT_EQ(List(1), WS_Success);
    SetTimeOffset(301);
    ASSERT_EQ(List(1), WS_Success);
    EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), 2u);
    EXPECT_EQ(mFirst.GetSessionGate().GetSessionExpiredCount(), 0u);
    EXPECT_EQ(Cached(), 1u);
}

TEST_P(DirAuth, SessionExpiredNoticeAuthenticatesAgainOnTheSameServer)
{
    // The server keeps sessions 60 s; the client's cache keeps them 300 s.
    mFirst.GetSessionGate().SetSessionMaxAge(60);
    ASSERT_EQ(List(1), WS_Success);
    SetTimeOffset(120);
    SmartPtr<GetDirOp> op;
    ASSERT_EQ(List(1, &op), WS_Success);
    EXPECT_EQ(mFirst.GetSessionGate().GetSessionExpiredCount(), 1u);
    EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), 2u);
    EXPECT_EQ(mSecond.GetRequestCount(), 0u);
    // The server was not moved to the end, and the fresh session is cached.
    EXPECT_EQ(PortsOf(*mServers).front(), mFirst.GetPort());
    EXPECT_EQ(Cached(), 1u);
    ASSERT_EQ(List(1), WS_Success);
    EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), 2u);

    // A server that forgot every session (a restart) is handled alike.
    mFirst.GetSessionGate().ForgetSessions();
    ASSERT_EQ(List(1), WS_Success);
    EXPECT_EQ(mFirst.GetSessionGate().GetSessionExpiredCount(), 2u);
    EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), 3u);
}

TEST_P(DirAuth, PersistentTypesAuthenticateEveryRequest)
{
    for (int32_t type : {2, 3})
    {
        SCOPED_TRACE(type);
        const uint32_t before = mFirst.GetSessionGate().GetHandshakeCount();
        ASSERT_EQ(List(type), WS_Success);
        ASSERT_EQ(List(type), WS_Success);
        EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), before + 2);
        EXPECT_EQ(Cached(), 0u);
    }
}

TEST_P(DirAuth, RefusedAuthenticationMovesOnAndReportsTheStatus)
{
    // A client certificate the servers' block does not verify: both servers
    // refuse with -4; the renewal then fails for want of an authentication
    // server, which ends the run with the renewal's status kept.
    mContext->SetPeerData(ForeignCredentials(1001));
    SmartPtr<GetDirOp> op;
    EXPECT_EQ(List(1, &op), WS_ServerReq_GetCertFailure);
    EXPECT_NE(op->GetCertStatus(), WS_None);
    EXPECT_NE(op->GetCertStatus(), WS_Success);
    EXPECT_EQ(mFirst.GetSessionGate().GetHandshakeCount(), 0u);
    EXPECT_EQ(Cached(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, DirAuth, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Async" : "Blocking"; });

} // namespace
} // namespace QORAPI
