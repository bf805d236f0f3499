// MultiPingOp and PingOp against the local ping responders, in both run modes:
// batches, retries, late, wrong and partial answers, ordering, time limits.
#include "AsyncTestUtil.h"
#include "QORSocket/MultiPingOp.h"
#include "QORSocket/PingOp.h"
#include "service/PingResponder.h"

#include <cstdlib>
#include <set>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

const uint32_t kNoAnswer = 0xFFFFFFFFu;

struct RunMode
{
    bool block;
    CoreMode core;
    const char* name;
};

const RunMode kRunModes[] = {
    {true, kCoreModes[0], "Block"},
    {false, kCoreModes[0], "AsyncThreaded"},
    {false, kCoreModes[2], "AsyncPumped"},
};

std::string RunModeName(const testing::TestParamInfo<RunMode>& info)
{
    return info.param.name;
}

// Logs every ping built, and can ask for every server to be pinged again.
class LoggingPingOp : public MultiPingOp
{
public:
    struct Ping
    {
        uint16_t port;
        uint32_t id;
    };
    std::vector<Ping> mPings;
    bool mAlwaysPingAgain = false;

protected:
    void GetPingMessage(SmartPtr<ByteBuffer>& message, MultiPingStruct& server) override
    {
        MultiPingOp::GetPingMessage(message, server);
        mPings.push_back({server.mAddr.GetPort(), server.mPingId});
    }
    int32_t ProcessReply(MultiPingStruct& server, const SmartPtr<ByteBuffer>& reply) override
    {
        const int32_t result = MultiPingOp::ProcessReply(server, reply);
        return mAlwaysPingAgain && result == Reply_Done ? Reply_PingAgain : result;
    }
};

class MultiPingTest : public ::testing::TestWithParam<RunMode>
{
protected:
    void SetUp() override { mCore.reset(new CoreHolder(GetParam().core)); }
    void TearDown() override
    {
        mResponder.Stop();
        mCore.reset();
    }

    void StartResponders(uint32_t count)
    {
        mResponder.SetUdpCount(count);
        ASSERT_EQ(mResponder.Start(), WS_Success);
    }

    SmartPtr<LoggingPingOp> MakeOp(uint32_t servers)
    {
        SmartPtr<LoggingPingOp> op = new LoggingPingOp();
        for (uint32_t i = 0; i < servers; ++i)
            op->AddServer(Addr(i));
        return op;
    }

    InetAddress Addr(uint32_t i) const { return InetAddress("127.0.0.1", mResponder.GetUdpPort(i)); }

    WSStatus Run(const SmartPtr<AsyncOp>& op, uint32_t timeout = InfiniteMs)
    {
        if (GetParam().block)
        {
            op->RunBlock(timeout);
            return op->GetStatus();
        }
        return mCore->Run(op, timeout == InfiniteMs ? 20000 : timeout);
    }

    // The result of the server on responder i.
    MultiPingStructPtr Result(const MultiPingOp& op, uint32_t i) const
    {
        for (const MultiPingStructPtr& s : op.GetResults())
            if (s->mAddr == Addr(i))
                return s;
        return MultiPingStructPtr();
    }

    std::unique_ptr<CoreHolder> mCore;
    PingResponder mResponder;
};

TEST_P(MultiPingTest, TwentyFiveServersWithTheDefaults)
{
    StartResponders(25);
    SmartPtr<LoggingPingOp> op = MakeOp(25);
    ASSERT_EQ(Run(op), WS_Success);
    ASSERT_EQ(op->GetResults().size(), 25u);
    for (const MultiPingStructPtr& s : op->GetResults())
    {
        EXPECT_NE(s->mPingTime, kNoAnswer);
        EXPECT_EQ(s->mTries, 0);
    }
    // The first batch pings the first 20 servers, the second the other 5.
    ASSERT_EQ(op->mPings.size(), 25u);
    std::set<uint16_t> first, second;
    for (size_t i = 0; i < 25; ++i)
        (i < 20 ? first : second).insert(op->mPings[i].port);
    EXPECT_EQ(first.size(), 20u);
    for (uint32_t i = 0; i < 20; ++i)
        EXPECT_TRUE(first.count(mResponder.GetUdpPort(i)));
    EXPECT_EQ(second.size(), 5u);
    for (uint32_t i = 20; i < 25; ++i)
        EXPECT_TRUE(second.count(mResponder.GetUdpPort(i)));
    for (size_t i = 1; i < op->GetResults().size(); ++i)
        EXPECT_LE(op->GetResults()[i - 1]->mPingTime, op->GetResults()[i]->mPingTime);
}

TEST_P(MultiPingTest, UnansweredServersAreRetriedBehindTheRest)
{
    // 25 servers of which the first 20 never answer: the second batch pings the
    // other 5 first, then 15 of the silent ones.
    StartResponders(25);
    PingBehavior drop;
    drop.mFault = PingFault::Drop;
    for (uint32_t i = 0; i < 20; ++i)
        mResponder.SetUdpBehavior(i, drop);
    SmartPtr<LoggingPingOp> op = MakeOp(25);
    op->SetBatchTimeout(150);
    ASSERT_EQ(Run(op), WS_Success);
    ASSERT_EQ(op->mPings.size(), 5u + 20u * 3u);
    // Within a batch the pings go out in address order.
    std::set<uint16_t> second;
    for (size_t i = 20; i < 40; ++i)
        second.insert(op->mPings[i].port);
    EXPECT_EQ(second.size(), 20u);
    for (uint32_t i = 20; i < 25; ++i)
        EXPECT_TRUE(second.count(mResponder.GetUdpPort(i)));
    for (uint32_t i = 0; i < 20; ++i)
    {
        EXPECT_EQ(mResponder.GetUdpRequests(i), 3u);
        EXPECT_EQ(Result(*op, i)->mTries, 3);
    }
    // Sorted: the five that answered first.
    for (size_t i = 0; i < 5; ++i)
        EXPECT_NE(op->GetResults()[i]->mPingTime, kNoAnswer);
}

TEST_P(MultiPingTest, LateWrongAndPartialAnswers)
{
    StartResponders(6);
    PingBehavior b;
    b.mFault = PingFault::Drop;
    mResponder.SetUdpBehavior(1, b);
    b = PingBehavior();
    b.mDelayMs = 400;   // after the end of its batch
    mResponder.SetUdpBehavior(2, b);
    b = PingBehavior();
    b.mAnswerFrom = 3;
    mResponder.SetUdpBehavior(3, b);
    b = PingBehavior();
    b.mFault = PingFault::WrongId;
    mResponder.SetUdpBehavior(4, b);
    b.mFault = PingFault::WrongHeader;
    mResponder.SetUdpBehavior(5, b);

    SmartPtr<LoggingPingOp> op = MakeOp(6);
    op->SetBatchTimeout(200);
    ASSERT_EQ(Run(op), WS_Success);
    ASSERT_EQ(op->GetResults().size(), 6u);

    EXPECT_NE(Result(*op, 0)->mPingTime, kNoAnswer);
    EXPECT_EQ(Result(*op, 0)->mTries, 0);
    EXPECT_NE(Result(*op, 3)->mPingTime, kNoAnswer);
    EXPECT_EQ(Result(*op, 3)->mTries, 2);
    for (uint32_t i : {1u, 2u, 4u, 5u})
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(Result(*op, i)->mPingTime, kNoAnswer);
        EXPECT_EQ(Result(*op, i)->mTries, 3);
        EXPECT_EQ(mResponder.GetUdpRequests(i), 3u);
    }
    // Answered first; the rest keep their order.
    EXPECT_EQ(op->GetResults()[0]->mAddr == Addr(0) || op->GetResults()[0]->mAddr == Addr(3), true);
    EXPECT_NE(op->GetResults()[1]->mPingTime, kNoAnswer);
    EXPECT_EQ(op->GetResults()[5]->mPingTime, kNoAnswer);

    // Each ping has a new identifier of 15 bits.
    std::map<uint16_t, std::vector<uint32_t>> ids;
    for (const auto& p : op->mPings)
    {
        EXPECT_LE(p.id, 32767u);
        ids[p.port].push_back(p.id);
    }
    for (auto& entry : ids)
        for (size_t i = 1; i < entry.second.size(); ++i)
            EXPECT_NE(entry.second[i], entry.second[i - 1]);

    InetAddressList answered, all;
    op->GetServerContext(true)->CopyAddresses(answered);
    op->GetServerContext(false)->CopyAddresses(all);
    ASSERT_EQ(answered.size(), 2u);
    EXPECT_EQ(answered[0], op->GetResults()[0]->mAddr);
    EXPECT_EQ(answered[1], op->GetResults()[1]->mAddr);
    ASSERT_EQ(all.size(), 6u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(all[i], op->GetResults()[i]->mAddr);
}

TEST_P(MultiPingTest, ResultsOrderedByRoundTripTime)
{
    StartResponders(3);
    const uint32_t delays[] = {300, 0, 120};
    for (uint32_t i = 0; i < 3; ++i)
    {
        PingBehavior b;
        b.mDelayMs = delays[i];
        mResponder.SetUdpBehavior(i, b);
    }
    SmartPtr<LoggingPingOp> op = MakeOp(3);
    ASSERT_EQ(Run(op), WS_Success);
    ASSERT_EQ(op->GetResults().size(), 3u);
    EXPECT_EQ(op->GetResults()[0]->mAddr, Addr(1));
    EXPECT_EQ(op->GetResults()[1]->mAddr, Addr(2));
    EXPECT_EQ(op->GetResults()[2]->mAddr, Addr(0));
    EXPECT_GE(op->GetResults()[2]->mPingTime, 250u);
    EXPECT_LT(op->GetResults()[2]->mPingTime, 3000u);

    // Without sorting the results stay in the order they were settled.
    SmartPtr<LoggingPingOp> unsorted = MakeOp(3);
    unsorted->SetSortResults(false);
    ASSERT_EQ(Run(unsorted), WS_Success);
    ASSERT_EQ(unsorted->GetResults().size(), 3u);
    EXPECT_EQ(unsorted->GetResults()[2]->mAddr, Addr(0));
}

TEST_P(MultiPingTest, TimeLimitEndsWithTimedOutAndEveryServerInResults)
{
    StartResponders(3);
    PingBehavior drop;
    drop.mFault = PingFault::Drop;
    mResponder.SetAllUdpBehavior(drop);
    SmartPtr<LoggingPingOp> op = MakeOp(3);
    op->SetBatchTimeout(200);
    const uint32_t start = GetTickCount();
    EXPECT_EQ(Run(op, 300), WS_TimedOut);
    EXPECT_LT(TicksSince(start), 3000u);
    ASSERT_EQ(op->GetResults().size(), 3u);
    for (const MultiPingStructPtr& s : op->GetResults())
        EXPECT_EQ(s->mPingTime, kNoAnswer);
}

TEST_P(MultiPingTest, EdgeSettingsAndOverrides)
{
    StartResponders(2);
    {
        SCOPED_TRACE("no servers");
        SmartPtr<LoggingPingOp> op = new LoggingPingOp();
        EXPECT_EQ(Run(op), WS_Success);
        EXPECT_TRUE(op->GetResults().empty());
    }
    {
        SCOPED_TRACE("one address twice: both settled");
        SmartPtr<LoggingPingOp> op = MakeOp(2);
        op->AddServer(Addr(0));
        EXPECT_EQ(Run(op), WS_Success);
        ASSERT_EQ(op->GetResults().size(), 3u);
        for (const MultiPingStructPtr& s : op->GetResults())
            EXPECT_NE(s->mPingTime, kNoAnswer);
    }
    {
        SCOPED_TRACE("maxOutstanding 0 pings one at a time");
        SmartPtr<LoggingPingOp> op = MakeOp(2);
        op->SetMaxOutstanding(0);
        EXPECT_EQ(Run(op, 10000), WS_Success);
        EXPECT_EQ(op->GetResults().size(), 2u);
    }
    {
        SCOPED_TRACE("a server that always asks to be pinged again is given up");
        mResponder.ResetCounters();
        SmartPtr<LoggingPingOp> op = MakeOp(1);
        op->mAlwaysPingAgain = true;
        op->SetBatchTimeout(2000);
        EXPECT_EQ(Run(op, 10000), WS_Success);
        ASSERT_EQ(op->GetResults().size(), 1u);
        EXPECT_EQ(op->GetResults()[0]->mTries, 3);
        EXPECT_EQ(mResponder.GetUdpRequests(0), 3u);
    }
    {
        SCOPED_TRACE("the application's rand sequence is left alone");
        std::srand(1234);
        const int expected = std::rand();
        std::srand(1234);
        SmartPtr<LoggingPingOp> op = MakeOp(2);
        EXPECT_EQ(Run(op), WS_Success);
        EXPECT_EQ(std::rand(), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, MultiPingTest, ::testing::ValuesIn(kRunModes), RunModeName);

bool WaitUntilRequests(CoreHolder& core, const PingResponder& responder, uint32_t n)
{
    const uint32_t start = GetTickCount();
    while (responder.GetTotalUdpRequests() < n && TicksSince(start) < kWait)
        core.Step();
    return responder.GetTotalUdpRequests() >= n;
}

TEST(MultiPingAsyncTest, KillEndsOnceWithEveryServerInResults)
{
    CoreHolder core(kCoreModes[0]);
    PingResponder responder;
    responder.SetUdpCount(2);
    PingBehavior drop;
    drop.mFault = PingFault::Drop;
    responder.SetAllUdpBehavior(drop);
    ASSERT_EQ(responder.Start(), WS_Success);
    SmartPtr<MultiPingOp> op = new MultiPingOp();
    op->AddServer(InetAddress("127.0.0.1", responder.GetUdpPort(0)));
    op->AddServer(InetAddress("127.0.0.1", responder.GetUdpPort(1)));
    SmartPtr<DoneFlag> flag = new DoneFlag;
    op->SetCompletion(DoneCompletion(flag));
    op->RunAsync();
    ASSERT_TRUE(WaitUntilRequests(core, responder, 2));
    op->Kill(true);
    ASSERT_TRUE(core.WaitFor(flag));
    EXPECT_EQ(flag->status.load(), WS_Killed);
    EXPECT_EQ(op->GetResults().size(), 2u);
    for (int i = 0; i < 10; ++i)
        core.Step();
    EXPECT_EQ(flag->count.load(), 1);
}

// PingOp over TCP.
class PingOpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mResponder.SetUdpCount(0);
        mResponder.SetTcp(true);
        ASSERT_EQ(mResponder.Start(), WS_Success);
    }
    InetAddress Addr() const { return InetAddress("127.0.0.1", mResponder.GetTcpPort()); }

    PingResponder mResponder;
};

TEST_F(PingOpTest, RoundTripAndExtendedInformation)
{
    PingExtendedInfo info;
    info.mEnabled = true;
    info.mText1 = "one";
    info.mText2 = "two";
    info.mText3 = "three";
    info.mText4 = "four";
    info.mText5 = "five";
    info.mText6 = "six";
    info.mNumber1 = 11;
    info.mNumber2 = 0xFFFFFFFEu;
    info.mFlag = true;
    mResponder.SetExtendedInfo(info);

    {
        SCOPED_TRACE("not asked: only the header and the tick");
        SmartPtr<PingOp> op = new PingOp(Addr());
        ASSERT_TRUE(op->RunBlock(kWait));
        EXPECT_LT(op->GetRoundTripTime(), kWait);
        EXPECT_TRUE(op->GetText1().empty());
        EXPECT_EQ(op->GetNumber1(), 0u);
        EXPECT_FALSE(op->GetFlag());
    }
    {
        SCOPED_TRACE("asked, first group only");
        SmartPtr<PingOp> op = new PingOp(Addr(), 4, true);
        ASSERT_TRUE(op->RunBlock(kWait));
        EXPECT_EQ(op->GetText1(), "one");
        EXPECT_EQ(op->GetText2(), "two");
        EXPECT_EQ(op->GetText3(), "three");
        EXPECT_EQ(op->GetText4(), "four");
        EXPECT_TRUE(op->GetText5().empty());
        EXPECT_EQ(op->GetNumber1(), 11u);
        EXPECT_EQ(op->GetNumber2(), 0xFFFFFFFEu);
        EXPECT_TRUE(op->GetFlag());
    }
    info.mSecondGroup = true;
    mResponder.SetExtendedInfo(info);
    {
        SCOPED_TRACE("asked, both groups, asynchronous");
        CoreHolder core(kCoreModes[0]);
        SmartPtr<PingOp> op = new PingOp(Addr(), 4, true);
        ASSERT_EQ(core.Run(op, kWait), WS_Success);
        EXPECT_EQ(op->GetText5(), "five");
        EXPECT_EQ(op->GetText6(), "six");
    }
}

TEST_F(PingOpTest, BadAnswersFailWithTheirStatus)
{
    struct Case
    {
        PingFault fault;
        int32_t status;
    };
    const Case cases[] = {
        {PingFault::WrongHeader, WS_ServerReq_InvalidReplyHeader},
        {PingFault::WrongId, WS_ServerReq_InvalidReplyHeader},
        {PingFault::Drop, WS_TimedOut},
        {PingFault::Close, WS_AsyncSocket_Shutdown},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(c.fault));
        PingBehavior b;
        b.mFault = c.fault;
        mResponder.SetTcpBehavior(b);
        SmartPtr<PingOp> op = new PingOp(Addr());
        op->SetTimeouts(2000, 2000, 300);
        EXPECT_FALSE(op->RunBlock(kWait));
        EXPECT_EQ(op->GetStatus(), c.status);
    }
}

} // namespace
