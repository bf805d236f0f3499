// Socket threads: the bookkeeping of SocketThreadEx, the polling of
// SocketThreadSimple, asynchronous socket operations in every run mode of the
// core, kills and shutdown, and thousands of sockets at once.
#include "AsyncTestUtil.h"
#include "QORSocket/AcceptOp.h"
#include "QORSocket/ConnectOp.h"
#include "QORSocket/RecvBytesFromOp.h"
#include "QORSocket/RecvBytesOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendBytesOp.h"
#include "QORSocket/SendBytesToOp.h"
#include "QORSocket/SendMsgOp.h"
#include "QORSocket/SocketThreadEx.h"
#include "QORSocket/SocketThreadSimple.h"


#include <thread>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

// A started core without worker threads whose socket thread the test pumps
// by hand.
template <class T>
class ManualCore
{
public:
    ManualCore() : mThread(new T)
    {
        mCore.SetThreaded(false);
        mCore.SetUsePumpThread(false);
        mCore.SetSocketThread(mThread);
        mCore.Startup();
    }
    T& Thread() { return *mThread; }
    // Starts queued operations (their first attempt) without pumping sockets.
    void StartQueued() { mCore.Pump(0, 0); }

private:
    QORAPICoreEx mCore;
    T* mThread;   // owned by the core
};

// Pumps the thread until op has ended or the bound is reached.
template <class T>
bool PumpUntilDone(T& thread, const SmartPtr<AsyncOp>& op)
{
    const uint32_t start = GetTickCount();
    while (op->IsPending() && TicksSince(start) < kWait)
        thread.Pump(20);
    return !op->IsPending();
}

// A flag that op's completion raises.
SmartPtr<DoneFlag> Watch(const SmartPtr<AsyncOp>& op)
{
    SmartPtr<DoneFlag> flag = new DoneFlag;
    op->SetCompletion(DoneCompletion(flag));
    return flag;
}

// Starts op and steps the core until the op is held by the socket thread.
bool StartHeld(CoreHolder& core, SocketOp& op)
{
    op.RunAsync();
    const uint32_t start = GetTickCount();
    while (!op.IsInSocketThread() && TicksSince(start) < kWait)
        core.Step();
    return op.IsInSocketThread();
}

// Waits for reading and for exceptions on its socket and never finishes by
// itself; counts its attempts.
class IdleOp : public SocketOp
{
public:
    explicit IdleOp(const SmartPtr<AsyncSocket>& socket) : SocketOp(socket)
    {
        mWaitFor[SocketWait_Read] = true;
        mWaitFor[SocketWait_Except] = true;
    }
    WSStatus Continue() override
    {
        ++mTries;
        return WS_TimedOut;
    }
    std::atomic<uint32_t> mTries{0};
};

// Sets the soft limit on open files for the life of the object.
class FileLimit
{
public:
    FileLimit() { mOk = SockGetFileLimit(mSaved); }
    ~FileLimit()
    {
        if (mOk)
            SockSetFileLimit(mSaved);
    }
    bool Set(uint64_t soft) { return mOk && SockSetFileLimit(soft); }

private:
    uint64_t mSaved = 0;
    bool mOk;
};

// Pump (ms) passes made in 300 ms.
uint32_t PassesIn300Ms(SocketThreadEx& thread, uint32_t ms)
{
    uint32_t passes = 0;
    const uint32_t start = GetTickCount();
    while (TicksSince(start) < 300)
    {
        thread.Pump(ms);
        ++passes;
    }
    return passes;
}

} // namespace

// ---- SocketThreadEx bookkeeping --------------------------------------------

TEST(SocketThreadEx, SecondReaderOnSameSocketReplacesFirst)
{
    ManualCore<SocketThreadEx> core;
    auto [client, server] = Connected();
    SmartPtr<RecvBytesOp> first = new RecvBytesOp(4, server);
    SmartPtr<RecvBytesOp> second = new RecvBytesOp(4, server);
    first->RunAsync();
    core.StartQueued();
    ASSERT_TRUE(first->IsInSocketThread());
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), 2u);
    second->RunAsync();
    core.StartQueued();
    EXPECT_EQ(first->GetStatus(), WS_Killed);
    EXPECT_FALSE(first->IsInSocketThread());
    EXPECT_TRUE(second->IsInSocketThread());
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), 2u);
    EXPECT_EQ(second->GetThreadIndex(SocketWait_Read), 1);

    ASSERT_EQ(SendAll(*client, "data"), WS_Success);
    ASSERT_TRUE(PumpUntilDone(core.Thread(), second));
    EXPECT_EQ(second->GetStatus(), WS_Success);
    EXPECT_EQ(Str(second->GetBytes()), "data");
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), 1u);
}

TEST(SocketThreadEx, RemovalFromTheMiddleMovesTheLast)
{
    ManualCore<SocketThreadEx> core;
    std::vector<SmartPtr<AsyncSocket>> keep;
    std::vector<SmartPtr<RecvBytesOp>> ops;
    for (int i = 0; i < 3; ++i)
    {
        auto [client, server] = Connected();
        keep.push_back(client);
        keep.push_back(server);
        ops.push_back(new RecvBytesOp(1, server));
        ops.back()->RunAsync();
    }
    core.StartQueued();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(ops[i]->GetThreadIndex(SocketWait_Read), i + 1);
    core.Thread().RemoveOp(SmartPtr<SocketOp>(ops[0].Get()));
    EXPECT_EQ(ops[0]->GetThreadIndex(SocketWait_Read), -1);
    EXPECT_FALSE(ops[0]->IsInSocketThread());
    EXPECT_EQ(ops[2]->GetThreadIndex(SocketWait_Read), 1);
    EXPECT_EQ(core.Thread().GetListOp(SocketWait_Read, 1), ops[2].Get());
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), 3u);
    ops[0]->Kill(true);
}

TEST(SocketThreadEx, ConnectLeavesWriteAndExceptLists)
{
    ManualCore<SocketThreadEx> core;
    uint16_t port = 0;
    SmartPtr<AsyncSocket> listener = MakeListener(port);
    SmartPtr<AsyncSocket> client = new AsyncSocket();
    SmartPtr<ConnectOp> op = new ConnectOp(InetAddress("127.0.0.1", port), client);
    op->RunAsync();
    core.StartQueued();
    if (op->IsPending())
    {
        EXPECT_EQ(core.Thread().GetListSize(SocketWait_Write), 1u);
        EXPECT_EQ(core.Thread().GetListSize(SocketWait_Except), 1u);
        ASSERT_TRUE(PumpUntilDone(core.Thread(), op));
    }
    EXPECT_EQ(op->GetStatus(), WS_Success);
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Write), 0u);
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Except), 0u);
}

TEST(SocketThreadEx, PurgeKillsAndKeepsWakeSocket)
{
    ManualCore<SocketThreadEx> core;
    auto [client, server] = Connected();
    SmartPtr<RecvBytesOp> recv = new RecvBytesOp(1, server);
    SmartPtr<ConnectOp> connect = new ConnectOp(InetAddress("10.255.255.1", 9), new AsyncSocket());
    recv->RunAsync();
    connect->RunAsync();
    core.StartQueued();
    core.Thread().PurgeOps();
    EXPECT_EQ(recv->GetStatus(), WS_Killed);
    EXPECT_FALSE(recv->IsInSocketThread());
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), 1u);
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Write), 0u);
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Except), 0u);
    EXPECT_EQ(core.Thread().GetListOp(SocketWait_Read, 0), nullptr);
}

TEST(SocketThreadEx, OnePollEntryPerDescriptorAndNoSpinWhenPollFails)
{
    ManualCore<SocketThreadEx> core;
    const uint32_t kSockets = 24;
    std::vector<SmartPtr<IdleOp>> ops;
    for (uint32_t i = 0; i < kSockets; ++i)
    {
        SmartPtr<AsyncSocket> s = new AsyncSocket(SocketType::Datagram);
        ASSERT_EQ(s->Bind(0), WS_Success);
        ops.push_back(new IdleOp(s));
        ops.back()->RunAsync();
    }
    core.StartQueued();
    ASSERT_EQ(core.Thread().GetListSize(SocketWait_Read), kSockets + 1);
    ASSERT_EQ(core.Thread().GetListSize(SocketWait_Except), kSockets);
    EXPECT_EQ(core.Thread().GetPollSetSize(), kSockets + 1);

    FileLimit limit;
    // Fewer descriptors allowed than one entry per kind would need (49), more
    // than one per descriptor needs (25): the poll works and waits. A busy
    // loop makes thousands of passes here.
    ASSERT_TRUE(limit.Set(40));
    EXPECT_LE(PassesIn300Ms(core.Thread(), 100), 10u);
    // Fewer than the descriptors listed: every poll fails. The fall-back tries
    // every operation and pauses instead of spinning.
    ASSERT_TRUE(limit.Set(kSockets / 2));
    const uint32_t before = ops[0]->mTries.load();
    const uint32_t passes = PassesIn300Ms(core.Thread(), 1000);
    EXPECT_LE(passes, 300 / SocketThreadEx::kFailedPollPauseMs + 20);
    EXPECT_GE(ops[0]->mTries.load() - before, passes);
    EXPECT_TRUE(ops[0]->IsPending());

    // Removing an operation frees its entry; the last one takes its place.
    core.Thread().RemoveOp(SmartPtr<SocketOp>(ops[0].Get()));
    EXPECT_EQ(core.Thread().GetPollSetSize(), kSockets);
    ops[0]->Kill(true);
}

TEST(SocketThreadEx, OperationsOnLowAndHighDescriptorsAndReusedNumbers)
{
    ManualCore<SocketThreadEx> core;
    auto [lowClient, lowServer] = Connected();
    SmartPtr<RecvBytesOp> low = new RecvBytesOp(3, lowServer);
    low->RunAsync();
    core.StartQueued();
    ASSERT_TRUE(low->IsInSocketThread());

    // Sockets held open push the next sockets' numbers far up, so the
    // thread's per-descriptor table grows while an operation is held.
    const int kFiller = 3000;
    if (SockRaiseFileLimit(kFiller + 200) < static_cast<uint64_t>(kFiller + 200))
        GTEST_SKIP() << "open-file limit too low";
    std::vector<SOCKET> filler;
    for (int i = 0; i < kFiller; ++i)
    {
        SOCKET fd = INVALID_SOCKET;
        if (SockCreate(SOCK_KIND_DATAGRAM, fd) != 0)
            break;
        filler.push_back(fd);
    }
    auto [highClient, highServer] = Connected();
    EXPECT_GT(highServer->GetHandle(), lowServer->GetHandle() + 1000);
    SmartPtr<RecvBytesOp> high = new RecvBytesOp(4, highServer);
    high->RunAsync();
    core.StartQueued();
    ASSERT_TRUE(high->IsInSocketThread());
    EXPECT_EQ(core.Thread().GetPollSetSize(), 3u);
    for (SOCKET fd : filler)
        SockClose(fd);

    ASSERT_EQ(SendAll(*lowClient, "low"), WS_Success);
    ASSERT_TRUE(PumpUntilDone(core.Thread(), low));
    EXPECT_EQ(Str(low->GetBytes()), "low");
    EXPECT_TRUE(high->IsInSocketThread());
    ASSERT_EQ(SendAll(*highClient, "high"), WS_Success);
    ASSERT_TRUE(PumpUntilDone(core.Thread(), high));
    EXPECT_EQ(Str(high->GetBytes()), "high");
    EXPECT_EQ(core.Thread().GetPollSetSize(), 1u);

    // A killed operation leaves nothing behind for the sockets opened next,
    // which usually get its descriptor number back (that one is used when so).
    SmartPtr<RecvBytesOp> killed = new RecvBytesOp(1, lowServer);
    killed->RunAsync();
    core.StartQueued();
    ASSERT_TRUE(killed->IsInSocketThread());
    const SOCKET number = lowServer->GetHandle();
    killed->Kill(true);
    core.StartQueued();
    EXPECT_EQ(killed->GetStatus(), WS_Killed);
    EXPECT_FALSE(killed->IsInSocketThread());
    lowServer->Close();
    lowClient->Close();
    auto [nextClient, nextServer] = Connected();
    SmartPtr<RecvBytesOp> next = new RecvBytesOp(2, nextServer->GetHandle() == number ? nextServer : nextClient);
    next->RunAsync();
    core.StartQueued();
    ASSERT_TRUE(next->IsInSocketThread());
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), 2u);
    EXPECT_EQ(core.Thread().GetPollSetSize(), 2u);
    ASSERT_EQ(SendAll(nextServer->GetHandle() == number ? *nextClient : *nextServer, "ok"), WS_Success);
    ASSERT_TRUE(PumpUntilDone(core.Thread(), next));
    EXPECT_EQ(next->GetStatus(), WS_Success);
    EXPECT_EQ(core.Thread().GetPollSetSize(), 1u);
}

TEST(SocketThreadEx, AddWakesABlockedPump)
{
    SocketThreadEx thread;
    auto [client, server] = Connected();
    SmartPtr<RecvBytesOp> op = new RecvBytesOp(1, server);
    op->RunAsync(); // no core: stays pending for the thread to drive
    ASSERT_EQ(op->Start(), WS_TimedOut);
    const uint32_t start = GetTickCount();
    std::thread pumper([&]() { thread.Pump(4000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    thread.AddOp(op);
    pumper.join();
    EXPECT_LT(TicksSince(start), 3000u);
    ASSERT_EQ(SendAll(*client, "x"), WS_Success);
    ASSERT_TRUE(PumpUntilDone(thread, SmartPtr<AsyncOp>(op.Get())));
    EXPECT_EQ(op->GetStatus(), WS_Success);
    EXPECT_EQ(Str(op->GetBytes()), "x");
}

TEST(SocketThreadSimple, PumpWaitsAtMostTwentyMs)
{
    SocketThreadSimple thread;
    uint32_t start = GetTickCount();
    thread.Pump(1000);
    EXPECT_LT(TicksSince(start), 500u);
    start = GetTickCount();
    for (int i = 0; i < 100; ++i)
        thread.Pump(0);
    EXPECT_LT(TicksSince(start), 500u);
    EXPECT_TRUE(thread.NeedsOwnThread());
}

// ---- Asynchronous operations in every run mode -----------------------------

class AsyncOps : public testing::TestWithParam<CoreMode>
{
};

TEST_P(AsyncOps, ConnectAcceptSendReceive)
{
    CoreHolder core(GetParam());
    uint16_t port = 0;
    SmartPtr<AsyncSocket> listener = MakeListener(port);
    SmartPtr<AcceptOp> accept = new AcceptOp(listener);
    SmartPtr<DoneFlag> accepted = Watch(accept.Get());
    accept->RunAsync(kWait);

    SmartPtr<AsyncSocket> client = new AsyncSocket();
    EXPECT_EQ(core.Run(new ConnectOp(InetAddress("127.0.0.1", port), client)), WS_Success);
    ASSERT_TRUE(core.WaitFor(accepted));
    ASSERT_EQ(accepted->status.load(), WS_Success);
    SmartPtr<AsyncSocket> server = accept->GetAcceptedSocket();
    ASSERT_TRUE(server);

    const std::string data(200000, 'd');
    SmartPtr<RecvBytesOp> recv = new RecvBytesOp(static_cast<uint32_t>(data.size()), server);
    SmartPtr<DoneFlag> got = Watch(recv.Get());
    recv->RunAsync(kWait);
    EXPECT_EQ(core.Run(new SendBytesOp(Bytes(data), client)), WS_Success);
    ASSERT_TRUE(core.WaitFor(got));
    EXPECT_EQ(got->status.load(), WS_Success);
    EXPECT_TRUE(Str(recv->GetBytes()) == data);
}

TEST_P(AsyncOps, RefusedConnect)
{
    CoreHolder core(GetParam());
    SmartPtr<AsyncSocket> s = new AsyncSocket();
    EXPECT_EQ(core.Run(new ConnectOp(InetAddress("127.0.0.1", UnusedPort()), s)), WS_WSAECONNREFUSED);
}

TEST_P(AsyncOps, DatagramsIncludingOverLong)
{
    CoreHolder core(GetParam());
    SmartPtr<AsyncSocket> a = new AsyncSocket(SocketType::Datagram);
    SmartPtr<AsyncSocket> b = new AsyncSocket(SocketType::Datagram);
    ASSERT_EQ(b->Bind(0), WS_Success);
    ASSERT_EQ(a->Bind(0), WS_Success);
    const InetAddress bAddr("127.0.0.1", b->GetLocalPort());

    SmartPtr<RecvBytesFromOp> recv = new RecvBytesFromOp(16, b);
    SmartPtr<DoneFlag> flag = Watch(recv.Get());
    recv->RunAsync(kWait);
    EXPECT_EQ(core.Run(new SendBytesToOp(Bytes("short"), bAddr, a)), WS_Success);
    ASSERT_TRUE(core.WaitFor(flag));
    EXPECT_EQ(flag->status.load(), WS_Success);
    EXPECT_EQ(Str(recv->GetBytes()), "short");
    EXPECT_EQ(recv->GetAddr().GetPort(), a->GetLocalPort());

    EXPECT_EQ(core.Run(new SendBytesToOp(Bytes(std::string(100, 'o')), bAddr, a)), WS_Success);
    EXPECT_EQ(core.Run(recv), WS_WSAEMSGSIZE);
}

TEST_P(AsyncOps, KillLeavesTheSocketThread)
{
    CoreHolder core(GetParam());
    auto [client, server] = Connected();
    SmartPtr<RecvMsgOp> op = new RecvMsgOp(server);
    SmartPtr<DoneFlag> flag = Watch(op.Get());
    ASSERT_TRUE(StartHeld(core, *op));
    op->Kill(true);
    ASSERT_TRUE(core.WaitFor(flag));
    EXPECT_EQ(flag->status.load(), WS_Killed);
    EXPECT_FALSE(op->IsInSocketThread());
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(op->GetThreadIndex(k), -1);

    // The socket serves a new receive afterwards.
    SmartPtr<RecvMsgOp> next = new RecvMsgOp(server);
    SmartPtr<DoneFlag> nextFlag = Watch(next.Get());
    next->RunAsync(kWait);
    ASSERT_EQ(SendAll(*client, Frame("after", 4)), WS_Success);
    ASSERT_TRUE(core.WaitFor(nextFlag));
    EXPECT_EQ(Str(next->GetMsg()), "after");
}

TEST_P(AsyncOps, ChunkProgressRunsThroughTheQueue)
{
    CoreHolder core(GetParam());
    auto [client, server] = Connected();
    SmartPtr<DoneFlag> chunks = new DoneFlag;
    SmartPtr<RecvBytesOp> op = new RecvBytesOp(0, server);
    op->SetChunkCompletion(DoneCompletion(chunks), 1000);
    SmartPtr<DoneFlag> flag = Watch(op.Get());
    op->RunAsync(kWait);
    ScriptedPeer peer(client, {{std::string(1500, 'c'), 20}, {std::string(1500, 'c'), 20}}, true);
    ASSERT_TRUE(core.WaitFor(flag));
    EXPECT_EQ(flag->status.load(), WS_Success);
    EXPECT_EQ(ByteBuffer::LengthOf(op->GetBytes()), 3000u);
    EXPECT_TRUE(core.WaitFor(chunks, 2));
}

TEST_P(AsyncOps, ManyConnectionsAtOnce)
{
    CoreHolder core(GetParam());
    const int kPairs = 200;
    std::vector<SmartPtr<AsyncSocket>> clients(kPairs), servers(kPairs);
    for (int i = 0; i < kPairs; ++i)
        MakePair(clients[i], servers[i]);
    SmartPtr<DoneFlag> flag = new DoneFlag;
    std::vector<SmartPtr<RecvMsgOp>> recvs;
    for (int i = 0; i < kPairs; ++i)
    {
        recvs.push_back(new RecvMsgOp(servers[i]));
        recvs.back()->SetCompletion(DoneCompletion(flag));
        recvs.back()->RunAsync(kWait);
    }
    for (int i = 0; i < kPairs; ++i)
    {
        SmartPtr<SendMsgOp> send = new SendMsgOp(Bytes(Frame("msg" + std::to_string(i), 4)), clients[i]);
        send->SetCompletion(DoneCompletion(flag));
        send->RunAsync(kWait);
    }
    ASSERT_TRUE(core.WaitFor(flag, 2 * kPairs, 3 * kWait));
    for (int i = 0; i < kPairs; ++i)
    {
        EXPECT_EQ(recvs[i]->GetStatus(), WS_Success);
        EXPECT_EQ(Str(recvs[i]->GetMsg()), "msg" + std::to_string(i));
    }
}

TEST_P(AsyncOps, ShutdownKillsHeldOperations)
{
    std::unique_ptr<CoreHolder> core(new CoreHolder(GetParam()));
    auto [client, server] = Connected();
    SmartPtr<RecvMsgOp> op = new RecvMsgOp(server);
    SmartPtr<DoneFlag> flag = Watch(op.Get());
    ASSERT_TRUE(StartHeld(*core, *op));
    core->Core().Shutdown();
    EXPECT_FALSE(op->IsInSocketThread());
    EXPECT_EQ(flag->count.load(), 1);   // delivered before Shutdown returns
    EXPECT_EQ(flag->status.load(), WS_Killed);
    core.reset();
    EXPECT_EQ(flag->count.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(RunModes, AsyncOps, testing::ValuesIn(kCoreModes), CoreModeName);

// ---- Thousands of sockets ----------------------------------------------------

TEST(SocketThreadExLoad, FiveThousandSocketsAtOnce)
{
    const int kPairs = 2600;   // 5200 sockets with an operation each
    if (SockRaiseFileLimit(2 * kPairs + 200) < static_cast<uint64_t>(2 * kPairs + 200))
        GTEST_SKIP() << "open-file limit too low";
    ManualCore<SocketThreadEx> core;
    uint16_t port = 0;
    SmartPtr<AsyncSocket> listener = MakeListener(port);
    ASSERT_EQ(listener->Listen(4096), WS_Success);
    std::vector<SmartPtr<AsyncSocket>> clients, servers;
    for (int i = 0; i < kPairs; ++i)
    {
        SmartPtr<AsyncSocket> c = new AsyncSocket();
        ASSERT_EQ(c->ConnectBlock(InetAddress("127.0.0.1", port), kWait), WS_Success) << i;
        SmartPtr<AsyncSocket> s;
        ASSERT_EQ(listener->AcceptBlock(s, kWait), WS_Success) << i;
        clients.push_back(c);
        servers.push_back(s);
    }
    std::vector<SmartPtr<RecvBytesOp>> ops;
    for (int i = 0; i < kPairs; ++i)
    {
        ops.push_back(new RecvBytesOp(4, clients[i]));
        ops.push_back(new RecvBytesOp(4, servers[i]));
    }
    for (auto& op : ops)
        op->RunAsync();
    core.StartQueued();
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), static_cast<uint32_t>(ops.size() + 1));
    for (int i = 0; i < kPairs; ++i)
    {
        ASSERT_EQ(SendAll(*clients[i], "ping"), WS_Success);
        ASSERT_EQ(SendAll(*servers[i], "pong"), WS_Success);
    }
    const uint32_t start = GetTickCount();
    size_t done = 0;
    while (TicksSince(start) < 4 * kWait)
    {
        core.Thread().Pump(50);
        done = 0;
        for (auto& op : ops)
            done += op->IsPending() ? 0 : 1;
        if (done == ops.size())
            break;
    }
    ASSERT_EQ(done, ops.size());
    for (int i = 0; i < kPairs; ++i)
    {
        EXPECT_EQ(Str(ops[2 * i]->GetBytes()), "pong");
        EXPECT_EQ(Str(ops[2 * i + 1]->GetBytes()), "ping");
    }
    EXPECT_EQ(core.Thread().GetListSize(SocketWait_Read), 1u);
}
