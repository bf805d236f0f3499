#include "QORSocket/MultiPingOp.h"

#include "QORSocket/RecvBytesFromOp.h"
#include "QORSocket/SendBytesToOp.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

#include <algorithm>
#include <atomic>

namespace QORAPI {

typedef ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>> PingCompletion;

namespace {

// Each run seeds its generator from the clock and a process-wide counter, so
// operations started in the same millisecond still draw different identifiers.
uint32_t NextPingSeed()
{
    static std::atomic<uint32_t> counter(0);
    return GetTimeSeconds() ^ (GetTickCount() << 8) ^ ((counter.fetch_add(1) + 1) * 0x85EBCA6Bu);
}

} // namespace

MultiPingOp::MultiPingOp()
    : mMaxOutstanding(20),
      mMaxTries(3),
      mBatchTimeout(3000),
      mRecvBufferSize(2048),
      mSortResults(true),
      mRandom(NextPingSeed())
{
}

MultiPingOp::~MultiPingOp() = default;

void MultiPingOp::AddServer(const InetAddress& address)
{
    ScopedLock lock(mListCrit);
    mPending.push_back(new MultiPingStruct(address));
}

void MultiPingOp::AddServersFromDir(const DirEntityList& entities, const std::u16string& nameFilter)
{
    ScopedLock lock(mListCrit);
    for (const DirEntityPtr& entity : entities)
    {
        if (!entity || entity->IsDirectory())
            continue;
        if (!nameFilter.empty() && entity->GetName() != nameFilter)
            continue;
        const InetAddress address = entity->GetAddress();
        if (address.IsValid())
            mPending.push_back(new MultiPingStruct(address, SmartPtr<RefCount>(entity.Get())));
    }
}

void MultiPingOp::ClearServers()
{
    ScopedLock lock(mListCrit);
    mPending.clear();
}

size_t MultiPingOp::GetPendingCount() const
{
    ScopedLock lock(mListCrit);
    return mPending.size();
}

SmartPtr<ServerContext> MultiPingOp::GetServerContext(bool onlyResponding) const
{
    ScopedLock lock(mListCrit);
    SmartPtr<ServerContext> context = new ServerContext();
    context->SetShuffle(false);
    for (const MultiPingStructPtr& server : mResults)
        if (!onlyResponding || server->mPingTime != 0xFFFFFFFFu)
            context->AddAddress(server->mAddr);
    return context;
}

uint32_t MultiPingOp::NextPingId(uint32_t previous)
{
    uint32_t id;
    do
        id = mRandom() & 0x7FFFu;
    while (id == previous);
    return id;
}

void MultiPingOp::GetPingMessage(SmartPtr<ByteBuffer>& message, MultiPingStruct& server)
{
    server.mPingId = NextPingId(server.mPingId);
    server.mSendTick = GetTickCount();
    WriteBuffer ping(0, false);
    ping.AppendByte(3);
    ping.AppendByte(1);
    ping.AppendByte(5);
    ping.AppendLong(server.mPingId);
    ping.AppendByte(0);
    message = ping.ToByteBuffer(true);
}

int32_t MultiPingOp::ProcessReply(MultiPingStruct& server, const SmartPtr<ByteBuffer>& reply)
{
    if (ByteBuffer::LengthOf(reply.Get()) < 7)
        return Reply_Ignore;
    ReadBuffer rb(reply);
    const uint8_t* header = rb.ReadBytes(3);
    if (header[0] != 3 || header[1] != 1 || header[2] != 6)
        return Reply_Ignore;
    if (rb.ReadLong() != server.mPingId)
        return Reply_Ignore;
    server.mPingTime = GetTickCount() - server.mSendTick;
    return Reply_Done;
}

void MultiPingOp::RunHook()
{
    ScopedLock lock(mListCrit);
    mRandom.seed(NextPingSeed());
    mResults.clear();
    mOutstanding.clear();
    mSocket = new BlockingSocket(SocketType::Datagram);
    const WSStatus bound = mSocket->Bind(0, false);
    if (bound != WS_Success)
    {
        Finish(bound);
        return;
    }

    if (IsAsync())
    {
        mSocket->SetRepeatOpCompletion(
            new PingCompletion(&MultiPingOp::ReplyCallback, SmartPtr<RefCount>(this)));
        mSocket->SetRepeatOp(SmartPtr<SocketOp>(new RecvBytesFromOp(mRecvBufferSize)));
        if (mPending.empty())
            Finish(WS_Success);
        else
            SendBatch();
        return;
    }

    lock.Leave();
    for (;;)
    {
        if (!IsPending())
            return;   // killed
        {
            ScopedLock hold(mListCrit);
            if (mPending.empty())
            {
                Finish(WS_Success);
                return;
            }
        }
        // Time ran out with servers still to ping: the same end as in
        // asynchronous mode.
        if (TimeLeft() == 0)
        {
            Finish(WS_TimedOut);
            return;
        }
        const WSStatus status = BlockingBatch();
        {
            ScopedLock hold(mListCrit);
            EndBatch();
        }
        if (status != WS_Success && status != WS_TimedOut)
        {
            Finish(status);
            return;
        }
    }
}

void MultiPingOp::FillBatch()
{
    mOutstanding.clear();
    const size_t max = mMaxOutstanding > 0 ? mMaxOutstanding : 1;
    // A server whose address is already in the batch waits for a later one,
    // so that no server is dropped.
    std::deque<MultiPingStructPtr> later;
    while (!mPending.empty() && mOutstanding.size() < max)
    {
        MultiPingStructPtr server = mPending.front();
        mPending.pop_front();
        if (mOutstanding.count(server->mAddr))
            later.push_back(server);
        else
            mOutstanding[server->mAddr] = server;
    }
    mPending.insert(mPending.begin(), later.begin(), later.end());
}

void MultiPingOp::EndBatch()
{
    const int32_t maxTries = mMaxTries > 0 ? mMaxTries : 1;
    for (auto& entry : mOutstanding)
    {
        MultiPingStructPtr& server = entry.second;
        ++server->mTries;
        if (server->mTries < maxTries)
            mPending.push_back(server);
        else
            mResults.push_back(server);
    }
    mOutstanding.clear();
}

WSStatus MultiPingOp::BlockingBatch()
{
    std::vector<MultiPingStructPtr> batch;
    {
        ScopedLock lock(mListCrit);
        FillBatch();
        for (auto& entry : mOutstanding)
            batch.push_back(entry.second);
    }
    for (const MultiPingStructPtr& server : batch)
    {
        if (TimeLeft() == 0)
            break;
        SmartPtr<ByteBuffer> message;
        GetPingMessage(message, *server);
        const WSStatus status = mSocket->SendBytesToBlock(message, server->mAddr, TimeLeft());
        if (status != WS_Success)
            return status;
    }

    const uint32_t start = GetTickCount();
    for (;;)
    {
        {
            ScopedLock lock(mListCrit);
            if (mOutstanding.empty())
                break;
        }
        if (!IsPending())
            break;
        const uint32_t elapsed = TicksSince(start);
        uint32_t wait = elapsed >= mBatchTimeout ? 0 : mBatchTimeout - elapsed;
        wait = std::min(wait, TimeLeft());
        if (wait == 0)
            break;
        SmartPtr<ByteBuffer> bytes;
        InetAddress from;
        const WSStatus status = mSocket->RecvBytesFromBlock(bytes, mRecvBufferSize, from, wait);
        if (status == WS_TimedOut)
            continue;
        if (!HandleReply(status, bytes, from))
            return status;
    }
    return WS_Success;
}

bool MultiPingOp::HandleReply(WSStatus status, const SmartPtr<ByteBuffer>& bytes, const InetAddress& from)
{
    if (status == WS_WSAEMSGSIZE)
        return true;
    if (status != WS_Success)
        return false;
    ScopedLock lock(mListCrit);
    auto it = mOutstanding.find(from);
    if (it == mOutstanding.end())
        return true;   // a late or foreign datagram
    MultiPingStructPtr server = it->second;
    int32_t result;
    try
    {
        result = ProcessReply(*server, bytes);
    }
    catch (const ReadBufferException&)
    {
        result = Reply_Ignore;
    }
    if (result == Reply_Done)
    {
        mOutstanding.erase(it);
        mResults.push_back(server);
    }
    else if (result == Reply_PingAgain)
    {
        // Counts as a try, so that a server that always asks to be pinged
        // again is given up after maxTries like a silent one.
        mOutstanding.erase(it);
        ++server->mTries;
        if (server->mTries < (mMaxTries > 0 ? mMaxTries : 1))
            mPending.push_back(server);
        else
            mResults.push_back(server);
    }
    return true;
}

void MultiPingOp::SendBatch()
{
    ScopedLock lock(mListCrit);
    if (mBatchTimer)
    {
        SmartPtr<AsyncOp> old = mBatchTimer;
        mBatchTimer = nullptr;
        old->Kill(true);
    }
    FillBatch();
    for (auto& entry : mOutstanding)
    {
        SmartPtr<ByteBuffer> message;
        GetPingMessage(message, *entry.second);
        // A datagram mostly leaves at once from this thread; only one the
        // socket cannot take now goes to the socket thread.
        if (mSocket->SendTo(message->GetData(), message->GetLength(), entry.second->mAddr) != WS_Success)
            mSocket->QueueOp(SmartPtr<SocketOp>(new SendBytesToOp(message, entry.second->mAddr)), InfiniteMs);
    }
    SmartPtr<AsyncOp> timer = new AsyncOp();
    timer->SetCompletion(new PingCompletion(&MultiPingOp::BatchTimerCallback, SmartPtr<RefCount>(this)));
    mBatchTimer = timer;
    timer->RunAsync(mBatchTimeout);
}

void MultiPingOp::ReplyCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> self)
{
    static_cast<MultiPingOp*>(self.Get())->OnReply(op);
}

void MultiPingOp::BatchTimerCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> self)
{
    static_cast<MultiPingOp*>(self.Get())->OnBatchTimer(op);
}

void MultiPingOp::OnReply(const SmartPtr<AsyncOp>& op)
{
    ScopedLock lock(mListCrit);
    RecvBytesFromOp* recv = dynamic_cast<RecvBytesFromOp*>(op.Get());
    if (!IsPending() || !recv || !mSocket || recv->GetSocket().Get() != static_cast<AsyncSocket*>(mSocket.Get()))
        return;
    const WSStatus status = op->GetStatus();
    if (!HandleReply(status, recv->GetBytes(), recv->GetAddr()))
    {
        Finish(status);
        return;
    }
    if (mOutstanding.empty())
    {
        if (mPending.empty())
            Finish(WS_Success);
        else
            SendBatch();
    }
}

void MultiPingOp::OnBatchTimer(const SmartPtr<AsyncOp>& op)
{
    ScopedLock lock(mListCrit);
    if (!IsPending() || !mBatchTimer || mBatchTimer.Get() != op.Get() || op->IsKilled())
        return;
    mBatchTimer = nullptr;
    EndBatch();
    if (mPending.empty())
        Finish(WS_Success);
    else
        SendBatch();
}

void MultiPingOp::CleanupHook()
{
    SmartPtr<BlockingSocket> socket;
    SmartPtr<AsyncOp> timer;
    {
        ScopedLock lock(mListCrit);
        socket = mSocket;
        mSocket = nullptr;
        timer = mBatchTimer;
        mBatchTimer = nullptr;
        EndBatch();
        while (!mPending.empty())
        {
            mResults.push_back(mPending.front());
            mPending.pop_front();
        }
        if (mSortResults)
            std::stable_sort(mResults.begin(), mResults.end(),
                             [](const MultiPingStructPtr& a, const MultiPingStructPtr& b) {
                                 return a->mPingTime < b->mPingTime;
                             });
    }
    // The socket's completions hold this operation: clearing them breaks the cycle.
    if (socket)
        socket->CloseAndClear();
    if (timer)
        timer->Kill(true);
}

} // namespace QORAPI
