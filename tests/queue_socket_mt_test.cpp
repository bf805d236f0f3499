// QueueSocket: ordered operations, the repeating receive, the closed
// notification, graceful and timed closes, in every run mode of the core.
#include "AsyncTestUtil.h"
#include "QORSocket/BlockingSocket.h"
#include "QORSocket/RecvBytesFromOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendBytesOp.h"
#include "QORSocket/SendBytesToOp.h"

#include <mutex>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

// Collects the messages of completed receive operations.
struct MsgLog : public RefCount
{
    std::mutex lock;
    std::vector<std::string> msgs;
    std::vector<int32_t> statuses;
};

void OnMsg(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    MsgLog* log = static_cast<MsgLog*>(param.Get());
    std::lock_guard<std::mutex> hold(log->lock);
    log->statuses.push_back(op->GetStatus());
    if (RecvMsgOp* recv = dynamic_cast<RecvMsgOp*>(op.Get()))
        log->msgs.push_back(Str(recv->GetMsg()));
}

SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> MsgCompletion(const SmartPtr<MsgLog>& log)
{
    return new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnMsg, SmartPtr<RefCount>(log.Get()));
}

size_t Count(MsgLog& log)
{
    std::lock_guard<std::mutex> hold(log.lock);
    return log.statuses.size();
}

bool WaitCount(CoreHolder& core, MsgLog& log, size_t n)
{
    const uint32_t start = GetTickCount();
    while (Count(log) < n && TicksSince(start) < kWait)
        core.Step();
    return Count(log) >= n;
}

bool WaitClosed(CoreHolder& core, AsyncSocket& s)
{
    const uint32_t start = GetTickCount();
    while (s.IsValid() && TicksSince(start) < kWait)
        core.Step();
    return !s.IsValid();
}

// Receives n bytes while the core is pumped (the not-threaded modes send
// only while someone pumps).
std::string RecvPumping(CoreHolder& core, AsyncSocket& s, uint32_t n)
{
    std::string out;
    const uint32_t start = GetTickCount();
    while (out.size() < n && TicksSince(start) < kWait)
    {
        core.Step();
        char buf[65536];
        uint32_t got = 0;
        const WSStatus st = s.Recv(buf, std::min<uint32_t>(sizeof(buf), n - static_cast<uint32_t>(out.size())), &got);
        if (st == WS_Success || st == WS_TimedOut)
            out.append(buf, got);
        else
            break;
    }
    return out;
}

// A socket of class S connected to peer over loopback.
template <class S>
SmartPtr<S> Attached(SmartPtr<AsyncSocket>& peer)
{
    SmartPtr<S> socket = new S();
    SmartPtr<AsyncSocket> same;
    MakePair(same, peer, socket.Get());
    return socket;
}

// A flag that op's completion raises.
SmartPtr<DoneFlag> Watch(const SmartPtr<AsyncOp>& op)
{
    SmartPtr<DoneFlag> flag = new DoneFlag;
    op->SetCompletion(DoneCompletion(flag));
    return flag;
}

} // namespace

class QueueSockets : public testing::TestWithParam<CoreMode>
{
};

TEST_P(QueueSockets, OperationsRunInOrder)
{
    CoreHolder core(GetParam());
    SmartPtr<AsyncSocket> server;
    SmartPtr<QueueSocket> client = Attached<QueueSocket>(server);
    SmartPtr<DoneFlag> flag = new DoneFlag;
    client->SetDefaultOpCompletion(DoneCompletion(flag));
    std::string expected;
    for (int i = 0; i < 5; ++i)
    {
        const std::string part = std::string(30000, static_cast<char>('a' + i));
        expected += part;
        client->QueueOp(new SendBytesOp(Bytes(part)), kWait);
    }
    EXPECT_LE(client->GetQueueLength(), 4u);
    EXPECT_TRUE(RecvPumping(core, *server, static_cast<uint32_t>(expected.size())) == expected);
    ASSERT_TRUE(core.WaitFor(flag, 5));
    EXPECT_EQ(flag->status.load(), WS_Success);
    EXPECT_FALSE(client->GetCurrentOp());
    EXPECT_TRUE(client->IsValid());
}

TEST_P(QueueSockets, RepeatingReceiveAndClosedNotice)
{
    CoreHolder core(GetParam());
    SmartPtr<AsyncSocket> peer;
    SmartPtr<BlockingSocket> socket = Attached<BlockingSocket>(peer);
    SmartPtr<MsgLog> msgs = new MsgLog;
    SmartPtr<DoneFlag> closed = new DoneFlag;
    socket->SetRepeatOpCompletion(MsgCompletion(msgs));
    socket->SetClosedCompletion(DoneCompletion(closed));
    socket->SetRepeatOp(new RecvMsgOp());

    ASSERT_EQ(SendAll(*peer, Frame("first", 4) + Frame("second", 4)), WS_Success);
    ASSERT_TRUE(WaitCount(core, *msgs, 2));
    ASSERT_EQ(SendAll(*peer, Frame("third", 4)), WS_Success);
    ASSERT_TRUE(WaitCount(core, *msgs, 3));
    {
        std::lock_guard<std::mutex> hold(msgs->lock);
        EXPECT_EQ(msgs->msgs, (std::vector<std::string>{"first", "second", "third"}));
    }
    peer->Close();
    ASSERT_TRUE(core.WaitFor(closed));
    EXPECT_EQ(closed->status.load(), WS_AsyncSocket_Shutdown);
    EXPECT_FALSE(socket->IsValid());
    EXPECT_FALSE(socket->GetRepeatOp());
    EXPECT_EQ(Count(*msgs), 4u);   // the failed run reports too
}

TEST_P(QueueSockets, CloseAfterQueueSendsEverythingFirst)
{
    CoreHolder core(GetParam());
    SmartPtr<AsyncSocket> peer;
    SmartPtr<QueueSocket> socket = Attached<QueueSocket>(peer);
    SmartPtr<MsgLog> repeats = new MsgLog;
    socket->SetRepeatOpCompletion(MsgCompletion(repeats));
    socket->SetRepeatOp(new RecvMsgOp());
    const std::string data(100000, 'q');
    socket->QueueOp(new SendBytesOp(Bytes(data)), kWait);
    socket->CloseAfterQueue(0xFFFFFFFFu);
    EXPECT_FALSE(socket->GetRepeatOp());
    const std::string got = RecvPumping(core, *peer, static_cast<uint32_t>(data.size()) + 1);
    EXPECT_TRUE(got == data) << got.size();
    ASSERT_TRUE(WaitClosed(core, *socket));
    // The stopped repeating receive reported to its own completion.
    ASSERT_TRUE(WaitCount(core, *repeats, 1));
    EXPECT_EQ(repeats->statuses[0], WS_Killed);
}

TEST_P(QueueSockets, CloseTimerClosesASilentSocket)
{
    CoreHolder core(GetParam());
    SmartPtr<AsyncSocket> peer;
    SmartPtr<QueueSocket> socket = Attached<QueueSocket>(peer);
    SmartPtr<RecvMsgOp> recv = new RecvMsgOp();
    SmartPtr<DoneFlag> flag = Watch(recv.Get());
    socket->QueueOp(recv);
    socket->CloseAfterQueue(50);   // the receive never ends by itself
    ASSERT_TRUE(WaitClosed(core, *socket));
    ASSERT_TRUE(core.WaitFor(flag));
    EXPECT_EQ(flag->status.load(), WS_Killed);

    // A cancelled timer closes nothing.
    SmartPtr<AsyncSocket> peer2;
    SmartPtr<QueueSocket> other = Attached<QueueSocket>(peer2);
    other->SetCloseTimer(30);
    other->SetCloseTimer(0);
    for (int i = 0; i < 10; ++i)
        core.Step();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    for (int i = 0; i < 10; ++i)
        core.Step();
    EXPECT_TRUE(other->IsValid());
}

TEST_P(QueueSockets, DatagramFailureKeepsTheSocketOpen)
{
    CoreHolder core(GetParam());
    SmartPtr<QueueSocket> socket = new QueueSocket(SocketType::Datagram);
    ASSERT_EQ(socket->Bind(0), WS_Success);
    SmartPtr<AsyncSocket> sender = new AsyncSocket(SocketType::Datagram);
    const InetAddress to("127.0.0.1", socket->GetLocalPort());
    SmartPtr<RecvBytesFromOp> small = new RecvBytesFromOp(8), big = new RecvBytesFromOp(512);
    SmartPtr<DoneFlag> first = Watch(small.Get()), second = Watch(big.Get());
    socket->QueueOp(small, kWait);
    socket->QueueOp(big, kWait);
    ASSERT_EQ(sender->SendTo(std::string(100, 'x').data(), 100, to), WS_Success);
    ASSERT_TRUE(core.WaitFor(first));
    EXPECT_EQ(first->status.load(), WS_WSAEMSGSIZE);
    EXPECT_TRUE(socket->IsValid());
    ASSERT_EQ(sender->SendTo("fits", 4, to), WS_Success);
    ASSERT_TRUE(core.WaitFor(second));
    EXPECT_EQ(second->status.load(), WS_Success);
    EXPECT_EQ(Str(big->GetBytes()), "fits");
}

TEST_P(QueueSockets, StreamFailureClosesAndKillsTheRest)
{
    CoreHolder core(GetParam());
    SmartPtr<AsyncSocket> peer;
    SmartPtr<QueueSocket> socket = Attached<QueueSocket>(peer);
    SmartPtr<DoneFlag> closed = new DoneFlag;
    socket->SetClosedCompletion(DoneCompletion(closed));
    SmartPtr<RecvMsgOp> a = new RecvMsgOp(), b = new RecvMsgOp(), c = new RecvMsgOp();
    SmartPtr<DoneFlag> first = Watch(a.Get()), second = Watch(b.Get()), third = Watch(c.Get());
    socket->QueueOp(a, 100);   // times out: a failure on a stream
    socket->QueueOp(b, kWait); // never started: killed by the close
    socket->QueueOp(c);
    ASSERT_TRUE(core.WaitFor(first));
    EXPECT_EQ(first->status.load(), WS_TimedOut);
    ASSERT_TRUE(core.WaitFor(closed));
    EXPECT_EQ(closed->status.load(), WS_TimedOut);
    EXPECT_FALSE(socket->IsValid());
    ASSERT_TRUE(core.WaitFor(second));
    ASSERT_TRUE(core.WaitFor(third));
    EXPECT_EQ(second->status.load(), WS_Killed);
    EXPECT_EQ(third->status.load(), WS_Killed);
    EXPECT_EQ(socket->GetQueueLength(), 0u);
    for (int i = 0; i < 5; ++i)
        core.Step();
    EXPECT_EQ(first->count.load() + second->count.load() + third->count.load() + closed->count.load(), 4);
}

namespace {

// A socket operation that does nothing when started: it stays pending until
// someone finishes or kills it.
class ParkedOp : public SocketOp
{
public:
    WSStatus Continue() override { return WS_TimedOut; }

protected:
    void RunHook() override {}
};

} // namespace

// Close while the current and the repeating operation finish by themselves on
// other threads, many times over: each run reports exactly once to the
// operation's own completion, and the queued operation behind them ends with
// WS_Killed.
TEST(QueueSocketRace, CloseRacingFinishesReportsEveryRunOnce)
{
    QORAPICore core(true, true, false);
    const int kRounds = 2000;
    SmartPtr<DoneFlag> repeatFlag = new DoneFlag;
    std::vector<SmartPtr<DoneFlag>> currentFlags, queuedFlags;
    for (int round = 0; round < kRounds; ++round)
    {
        SmartPtr<QueueSocket> socket = new QueueSocket();
        SmartPtr<SocketOp> current = new ParkedOp(), queued = new ParkedOp(), repeat = new ParkedOp();
        currentFlags.push_back(Watch(current.Get()));
        queuedFlags.push_back(Watch(queued.Get()));
        socket->SetRepeatOpCompletion(DoneCompletion(repeatFlag));
        socket->QueueOp(current);
        socket->QueueOp(queued);
        socket->SetRepeatOp(repeat);
        for (int i = 0; i < 1000 && !(current->IsPending() && repeat->IsPending()); ++i)
            std::this_thread::yield();
        std::thread finisher([&] {
            if (round % 3 != 2)
                current->Finish(WS_Success);
            if (round % 3 != 1)
                repeat->Finish(WS_InvalidMessage);
        });
        if (round % 2 == 0)
            std::this_thread::yield();
        socket->Close();
        finisher.join();
    }
    const uint32_t start = GetTickCount();
    const auto all = [&] {
        if (repeatFlag->count.load() < kRounds)
            return false;
        for (int i = 0; i < kRounds; ++i)
            if (currentFlags[i]->count.load() < 1 || queuedFlags[i]->count.load() < 1)
                return false;
        return true;
    };
    while (!all() && TicksSince(start) < 2 * kWait)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a second report would show now
    EXPECT_EQ(repeatFlag->count.load(), kRounds);
    int bad = 0;
    for (int i = 0; i < kRounds; ++i)
    {
        const int32_t st = currentFlags[i]->status.load();
        if (currentFlags[i]->count.load() != 1 || (st != WS_Success && st != WS_Killed) ||
            queuedFlags[i]->count.load() != 1 || queuedFlags[i]->status.load() != WS_Killed)
            ++bad;
    }
    EXPECT_EQ(bad, 0);
}

TEST(QueueSocketTypes, DuplicateKeepsClass)
{
    SmartPtr<QueueSocket> q = new QueueSocket(SocketType::Datagram);
    EXPECT_TRUE(dynamic_cast<QueueSocket*>(q->Duplicate().Get()));
    EXPECT_EQ(q->Duplicate()->GetType(), SocketType::Datagram);
    SmartPtr<BlockingSocket> b = new BlockingSocket();
    EXPECT_TRUE(dynamic_cast<BlockingSocket*>(b->Duplicate().Get()));
}

INSTANTIATE_TEST_SUITE_P(RunModes, QueueSockets, testing::ValuesIn(kCoreModes), CoreModeName);
