// Fail-over of directory requests over three local servers, each misbehaving
// in its own way, in both run modes; and many requests in flight at once.
#include "DirTestUtil.h"

#include "dir/GetDirOp.h"
#include "dir/RemoveEntityOp.h"

#include <gtest/gtest.h>

#include <vector>

using namespace QORAPI;
using namespace QORAPI::DirTest;

namespace {

class FailoverTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        mCore.reset(new QORAPICore(true, true, true));
        // A port where nothing listens: a server started and stopped again.
        DirServer gone;
        ASSERT_EQ(gone.Start(0), WS_Success);
        mRefusedPort = gone.GetPort();
        gone.Stop();
        ASSERT_EQ(mBad.Start(0), WS_Success);
        ASSERT_EQ(mGood.Start(0), WS_Success);
        ASSERT_EQ(mGood.GetEngine().AddService(u"/g", u"s", std::string("\x10\x00\x7f\x00\x00\x01", 6)), WS_Success);
        mContext = new ServerContext;
        mContext->SetShuffle(false);
    }
    void TearDown() override
    {
        mBad.Stop();
        mGood.Stop();
        mCore.reset();
    }

    bool Async() const { return GetParam(); }

    SmartPtr<GetDirOp> MakeOp(uint32_t recvTimeout = 2000)
    {
        SmartPtr<GetDirOp> op = new GetDirOp(mContext);
        op->SetPath(u"/g");
        op->SetTimeouts(2000, 2000, recvTimeout);
        return op;
    }

    std::vector<uint16_t> Order() { return PortsOf(*mContext); }

    void UseOrder(std::vector<uint16_t> ports)
    {
        mContext->ClearAddresses();
        mContext->SetShuffle(false);
        for (uint16_t p : ports)
            mContext->AddAddress(Local(p));
    }

    std::unique_ptr<QORAPICore> mCore;
    uint16_t mRefusedPort = 0;
    DirServer mBad;
    DirServer mGood;
    SmartPtr<ServerContext> mContext;
};

} // namespace

TEST_P(FailoverTest, RefusedThenBadThenWorkingServer)
{
    const DirServerFault faults[] = {DirServerFault::Garbage, DirServerFault::WrongHeader,
                                     DirServerFault::Truncated, DirServerFault::Close};
    for (DirServerFault fault : faults)
    {
        SCOPED_TRACE(static_cast<int>(fault));
        mBad.SetFault(fault);
        mBad.ResetCounters();
        mGood.ResetCounters();
        UseOrder({mRefusedPort, mBad.GetPort(), mGood.GetPort()});
        SmartPtr<GetDirOp> op = MakeOp();
        EXPECT_EQ(RunOp(op, Async()), WS_Success);
        EXPECT_EQ(op->GetEntities().size(), 1u);
        EXPECT_EQ(mBad.GetRequestCount(), 1u);
        EXPECT_EQ(mGood.GetRequestCount(), 1u);
        // Both failing servers moved to the end, in the order they failed.
        EXPECT_EQ(Order(), (std::vector<uint16_t>{mGood.GetPort(), mRefusedPort, mBad.GetPort()}));
        // The next run starts with the server that worked and touches no other.
        SmartPtr<GetDirOp> again = MakeOp();
        EXPECT_EQ(RunOp(again, Async()), WS_Success);
        EXPECT_EQ(mBad.GetRequestCount(), 1u);
        EXPECT_EQ(mGood.GetRequestCount(), 2u);
    }
}

TEST_P(FailoverTest, ErrorsOfEveryServerAreAggregated)
{
    // The same failure everywhere: that failure.
    UseOrder({mRefusedPort});
    EXPECT_EQ(RunOp(MakeOp(), Async()), WS_WSAECONNREFUSED);

    mBad.SetFault(DirServerFault::WrongHeader);
    mGood.SetFault(DirServerFault::WrongHeader);
    UseOrder({mBad.GetPort(), mGood.GetPort()});
    SmartPtr<GetDirOp> op = MakeOp();
    EXPECT_EQ(RunOp(op, Async()), WS_ServerReq_InvalidReplyHeader);
    EXPECT_EQ(op->GetLastError(), WS_ServerReq_InvalidReplyHeader);

    mGood.SetFault(DirServerFault::Truncated);
    UseOrder({mBad.GetPort(), mGood.GetPort()});
    EXPECT_EQ(RunOp(MakeOp(), Async()), WS_ServerReq_FailedAllServers);

    // A refusal sent by a server is a result, not a failure: no fail-over.
    mGood.SetFault(DirServerFault::None);
    mGood.ResetCounters();
    mBad.ResetCounters();
    UseOrder({mGood.GetPort(), mBad.GetPort()});
    SmartPtr<GetDirOp> missing = MakeOp();
    missing->SetPath(u"/missing");
    EXPECT_EQ(RunOp(missing, Async()), WS_DirServ_DirNotFound);
    EXPECT_EQ(mBad.GetRequestCount(), 0u);
}

TEST_P(FailoverTest, SilentServersAndTimeLimits)
{
    // A silent server is left after the receive timeout; with every server
    // silent, the overall time limit ends the run. Either way the server that
    // was being waited for moves to the end.
    mBad.SetFault(DirServerFault::Silent);
    for (bool allSilent : {false, true})
    {
        SCOPED_TRACE(allSilent);
        mGood.SetFault(allSilent ? DirServerFault::Silent : DirServerFault::None);
        UseOrder({mBad.GetPort(), mGood.GetPort()});
        SmartPtr<GetDirOp> op = MakeOp(allSilent ? 20000 : 300);
        EXPECT_EQ(RunOp(op, Async(), allSilent ? 400 : 10000), allSilent ? WS_TimedOut : WS_Success);
        EXPECT_EQ(Order(), (std::vector<uint16_t>{mGood.GetPort(), mBad.GetPort()}));
    }
}

TEST_P(FailoverTest, ManyRequestsSharingOneContext)
{
    UseOrder({mRefusedPort, mGood.GetPort()});
    const int kOps = 40;
    std::vector<SmartPtr<GetDirOp>> ops;
    SmartPtr<Waiter> waiter = new Waiter;
    for (int i = 0; i < kOps; ++i)
    {
        SmartPtr<GetDirOp> op = MakeOp();
        op->SetCompletion(waiter->MakeCompletion());
        ops.push_back(op);
    }
    if (Async())
    {
        for (auto& op : ops)
            op->RunAsync(10000);
        ASSERT_TRUE(waiter->WaitFor(kOps, 30000));
    }
    else
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = t; i < kOps; i += 4)
                    ops[static_cast<size_t>(i)]->RunBlock(10000);
            });
        for (auto& th : threads)
            th.join();
    }
    EXPECT_EQ(waiter->Count(), kOps);
    EXPECT_EQ(waiter->PendingInCompletion(), 0);
    for (auto& op : ops)
    {
        EXPECT_EQ(op->GetStatus(), WS_Success);
        EXPECT_EQ(op->GetEntities().size(), 1u);
    }
    EXPECT_EQ(Order().front(), mGood.GetPort());
}

TEST_P(FailoverTest, ExpiredCachedSessionRetriesTheSameServerWithAuthentication)
{
    // The first server holds a cached session and answers with the
    // session-expired notice; it is tried again with fresh authentication,
    // for which this context holds no credentials and cannot renew them.
    mBad.SetFault(DirServerFault::SessionExpired);
    UseOrder({mBad.GetPort(), mGood.GetPort()});
    SmartPtr<AuthContext> auth = new AuthContext;
    const uint8_t keyBytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Blowfish key(keyBytes, sizeof(keyBytes));
    auth->StoreSession(Local(mBad.GetPort()), new AuthSession(AuthSession::AuthType_Session, 1, key, 4));
    SmartPtr<GetDirOp> op = MakeOp();
    op->SetAuthType(1);
    op->SetAuthContext(auth);
    EXPECT_EQ(RunOp(op, Async()), WS_ServerReq_GetCertFailure);
    EXPECT_EQ(mBad.GetRequestCount(), 1u);    // the cached attempt only
    EXPECT_EQ(mGood.GetRequestCount(), 0u);   // never reached without credentials
    EXPECT_EQ(auth->GetSessionCount(Local(mBad.GetPort())), 0u);
    EXPECT_NE(op->GetCertStatus(), WS_None);
    EXPECT_NE(op->GetCertStatus(), WS_Success);
}

INSTANTIATE_TEST_SUITE_P(Modes, FailoverTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Async" : "Blocking"; });
