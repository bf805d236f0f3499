#include "service/ConnTable.h"

#include "common/WriteBuffer.h"
#include "platform/Tick.h"

namespace QORAPI {

namespace {

// A connection whose unsent replies reach this is not read until they drain.
const size_t kReadPauseOutput = 256u * 1024u;
const int kAcceptsPerPass = 64;

// The frame length in a length field of the given size, read as a signed
// number of its width.
uint32_t FrameLength(const std::string& in, uint8_t field)
{
    uint32_t value = 0;
    for (uint8_t i = 0; i < field; ++i)
        value |= static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << (8 * i);
    if (field == 1)
        return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(value)));
    if (field == 2)
        return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(value)));
    return value;
}

} // namespace

ConnTable::ConnTable(const SmartPtr<AsyncSocket>& listener, const ClientLimits& limits, uint32_t maxConnections,
                     uint8_t lengthFieldSize, uint32_t maxFrame, ConnCounters& counters)
    : mListener(listener),
      mLimits(limits),
      mMaxConnections(maxConnections > 0 ? maxConnections : 1),
      mRequestsPerTurn(limits.mRequestsPerTurn > 0 ? limits.mRequestsPerTurn : 1),
      mField(lengthFieldSize),
      mMaxFrame(maxFrame),
      mCounters(counters),
      mScratch(65536),
      mNextId(1),
      mMore(false)
{
}

ConnTable::~ConnTable()
{
    Close();
}

void ConnTable::Close()
{
    for (auto& c : mConns)
        c->mSocket->Close();
    mConns.clear();
    if (mListener)
        mListener->Close();
    mListener = nullptr;
    mCounters.mOpen.store(0);
    mCounters.mHeld.store(0);
}

ServerConn* ConnTable::Find(uint64_t id)
{
    for (auto& c : mConns)
        if (c->mId == id && !c->mDead)
            return c.get();
    return nullptr;
}

void ConnTable::ForEach(const std::function<void(ServerConn&)>& fn)
{
    for (auto& c : mConns)
        if (!c->mDead)
            fn(*c);
}

void ConnTable::Drop(ServerConn& conn)
{
    if (conn.mDead)
        return;
    conn.mDead = true;
    mCounters.mDropped.fetch_add(1);
}

void ConnTable::Queue(ServerConn& conn, const void* data, size_t length)
{
    if (conn.mDead)
        return;
    conn.mOut.append(static_cast<const char*>(data), length);
    if (conn.mOut.size() > mLimits.mMaxPendingOutput)
        Drop(conn);
}

void ConnTable::QueueFrame(ServerConn& conn, const ByteBuffer* message)
{
    WriteBuffer frame(mField, true);
    frame.AppendBytes(ByteBuffer::DataOf(message), ByteBuffer::LengthOf(message));
    const SmartPtr<ByteBuffer> framed = frame.ToByteBuffer(true);
    Queue(conn, framed->GetData(), framed->GetLength());
}

void ConnTable::Pass(ConnHandler& handler, uint32_t waitMs, std::vector<SockPollFd>* extra)
{
    mFds.clear();
    const size_t first = extra ? extra->size() : 0;
    if (extra)
        mFds.insert(mFds.end(), extra->begin(), extra->end());
    if (mListener)
        mFds.push_back({mListener->GetHandle(), SOCK_POLL_READ, 0});
    const size_t connFirst = mFds.size();
    for (auto& c : mConns)
    {
        int16_t events = c->mOut.size() < kReadPauseOutput ? SOCK_POLL_READ : 0;
        if (!c->mOut.empty())
            events = static_cast<int16_t>(events | SOCK_POLL_WRITE);
        mFds.push_back({c->mSocket->GetHandle(), events, 0});
    }
    const int32_t ready = SockPoll(mFds.data(), static_cast<uint32_t>(mFds.size()), mMore ? 0 : waitMs);
    if (ready < 0)
    {
        SockPoll(nullptr, 0, waitMs);   // never spin on a failing poll
        for (size_t i = 0; i < first; ++i)
            (*extra)[i].revents = 0;
        return;
    }
    for (size_t i = 0; i < first; ++i)
        (*extra)[i].revents = mFds[i].revents;
    const uint32_t now = GetTickCount();
    mMore = false;

    // Connections accepted now come after those polled: they are served next pass.
    const size_t polled = mConns.size();
    if (mListener && (mFds[first].revents & SOCK_POLL_READ))
        Accept(now, handler);
    for (size_t i = 0; i < polled; ++i)
        if (!mConns[i]->mDead)
            Serve(*mConns[i], mFds[connFirst + i].revents, now, handler);
    Enforce(now);
}

void ConnTable::Accept(uint32_t now, ConnHandler& handler)
{
    size_t live = 0;
    for (auto& c : mConns)
        live += c->mDead ? 0 : 1;
    for (int i = 0; i < kAcceptsPerPass; ++i)
    {
        SmartPtr<AsyncSocket> accepted;
        if (mListener->Accept(accepted) != WS_Success)
            break;
        if (live >= mMaxConnections)
        {
            // The connection quiet for longest makes room, of those that
            // never sent a whole message if any.
            ServerConn* quiet = nullptr;
            for (auto& c : mConns)
                if (!c->mDead && (!quiet || BetterToDrop(c->mMessages > 0, now - c->mLastActivity,
                                                         quiet->mMessages > 0, now - quiet->mLastActivity)))
                    quiet = c.get();
            if (!quiet)
            {
                accepted->Close();
                continue;
            }
            Drop(*quiet);
            --live;
        }
        std::unique_ptr<ServerConn> conn = handler.NewConn();
        accepted->SetNagling(false);
        conn->mSocket = accepted;
        conn->mId = mNextId++;
        conn->mLastActivity = now;
        mConns.push_back(std::move(conn));
        mCounters.mAccepted.fetch_add(1);
        ++live;
    }
}

void ConnTable::Serve(ServerConn& c, int16_t revents, uint32_t now, ConnHandler& handler)
{
    if (revents & (SOCK_POLL_READ | SOCK_POLL_FAILED))
    {
        uint32_t got = 0;
        const WSStatus s = c.mSocket->Recv(mScratch.data(), static_cast<uint32_t>(mScratch.size()), &got);
        if (s == WS_Success || s == WS_TimedOut)
        {
            if (got > 0)
            {
                if (c.mIn.empty())
                    c.mFrameStart = now;
                c.mLastActivity = now;
                c.mIn.append(mScratch.data(), got);
            }
        }
        else
            c.mDead = true;   // closed by the client or failed
    }

    // Take the whole frames, a turn's worth.
    uint32_t taken = 0;
    while (!c.mDead && c.mIn.size() >= mField)
    {
        const uint32_t length = FrameLength(c.mIn, mField);
        if (length <= mField || length > mMaxFrame)
        {
            Drop(c);   // cannot stay in step with the frames, or more than we take
            break;
        }
        if (c.mIn.size() < length)
            break;
        if (taken == mRequestsPerTurn)
        {
            mMore = true;   // the others first
            break;
        }
        ++taken;
        ++c.mMessages;
        SmartPtr<ByteBuffer> message = new ByteBuffer(c.mIn.data() + mField, length - mField);
        c.mIn.erase(0, length);
        c.mFrameStart = now;   // what is left is a frame begun now
        handler.OnMessage(c, message);
    }

    if (!c.mDead && !c.mOut.empty())
    {
        uint32_t sent = 0;
        const WSStatus s = c.mSocket->Send(c.mOut.data(), static_cast<uint32_t>(c.mOut.size()), &sent);
        if (s == WS_Success || s == WS_TimedOut)
        {
            c.mOut.erase(0, s == WS_Success ? c.mOut.size() : sent);
            if (sent > 0 || s == WS_Success)
                c.mLastActivity = now;
        }
        else
            c.mDead = true;
    }
    if (c.mOut.empty() && c.mCloseAfterSend)
        c.mDead = true;
}

void ConnTable::Enforce(uint32_t now)
{
    // Time limits, then the bound on the bytes held for all connections:
    // the largest holders go first.
    size_t held = 0;
    for (auto& c : mConns)
    {
        if (c->mDead)
            continue;
        const bool stalledFrame = !c->mIn.empty() && now - c->mFrameStart >= mLimits.mPartialFrameMs;
        if (stalledFrame || now - c->mLastActivity >= mLimits.mIdleMs)
        {
            Drop(*c);
            continue;
        }
        held += c->Held();
    }
    while (held > mLimits.mMaxHeldBytes)
    {
        ServerConn* largest = nullptr;
        for (auto& c : mConns)
            if (!c->mDead && (!largest || c->Held() > largest->Held()))
                largest = c.get();
        if (!largest)
            break;
        Drop(*largest);
        held -= largest->Held();
    }

    for (size_t i = 0; i < mConns.size();)
    {
        if (mConns[i]->mDead)
        {
            mConns[i]->mSocket->Close();
            mConns.erase(mConns.begin() + static_cast<std::ptrdiff_t>(i));
        }
        else
            ++i;
    }
    mCounters.mOpen.store(static_cast<uint32_t>(mConns.size()));
    mCounters.mHeld.store(static_cast<uint32_t>(held));
    if (held > mCounters.mPeakHeld.load())
        mCounters.mPeakHeld.store(static_cast<uint32_t>(held));
}

} // namespace QORAPI
