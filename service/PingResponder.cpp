#include "service/PingResponder.h"

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Socket.h"
#include "platform/Tick.h"
#include "service/ConnTable.h"
#include "service/ServerListener.h"

#include <string>
#include <vector>

namespace QORAPI {

namespace {

const uint32_t kPollMs = 20;
const int kMaxReadsPerWake = 64;
// A ping request is 8 bytes; a frame much longer than that is not a ping.
const uint32_t kMaxRequestFrame = 1024;

struct PingConn : public ServerConn
{
    uint32_t mRequests = 0;
};

// A reply held back by a delay.
struct Scheduled
{
    uint32_t mStart;
    uint32_t mDelay;
    bool mUdp;
    uint32_t mIndex;        // UDP responder
    uint64_t mConnId;       // TCP connection
    InetAddress mTo;
    std::string mBytes;
};

bool IsPingRequest(const uint8_t* p, uint32_t n)
{
    return n >= 8 && p[0] == 3 && p[1] == 1 && p[2] == 5;
}

} // namespace

struct PingResponder::Impl : public ConnHandler
{
    explicit Impl(PingResponder& owner) : mOwner(owner) {}
    std::unique_ptr<ServerConn> NewConn() override { return std::unique_ptr<ServerConn>(new PingConn); }
    void OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& message) override;
    // Reads and answers a turn's worth of datagrams of responder i; true
    // when more may be waiting.
    bool ServeUdp(size_t i, std::vector<char>& scratch);

    PingResponder& mOwner;
    std::vector<SmartPtr<AsyncSocket>> mUdp;
    std::unique_ptr<std::atomic<uint32_t>[]> mUdpRequests;
    std::unique_ptr<ConnTable> mTable;   // the TCP responder, when there is one
    std::vector<Scheduled> mScheduled;

    std::mutex mConfigLock;            // guards the settings below
    std::vector<PingBehavior> mUdpBehavior;
    PingBehavior mTcpBehavior;
    PingExtendedInfo mExtended;
};

PingResponder::PingResponder()
    : mImpl(new Impl(*this)),
      mRunning(false),
      mStopRequested(false),
      mTotalUdp(0),
      mTcpRequests(0),
      mUdpCount(1),
      mUdpFirstPort(0),
      mTcpEnabled(false),
      mTcpPortWanted(0),
      mTcpPort(0),
      mLengthFieldSize(4),
      mConnectionCap(1024)
{
}

PingResponder::~PingResponder()
{
    Stop();
}

void PingResponder::SetUdpCount(uint32_t count, uint16_t firstPort)
{
    if (mRunning.load())
        return;
    mUdpCount = count;
    mUdpFirstPort = firstPort;
}

void PingResponder::SetTcp(bool enabled, uint16_t port, uint8_t lengthFieldSize)
{
    if (mRunning.load())
        return;
    mTcpEnabled = enabled;
    mTcpPortWanted = port;
    mLengthFieldSize = lengthFieldSize;
}

WSStatus PingResponder::Start()
{
    if (mRunning.load())
        return WS_Success;
    if (mTcpEnabled && mLengthFieldSize != 1 && mLengthFieldSize != 2 && mLengthFieldSize != 4)
        return WS_RecvMsg_InvalidLengthFieldSize;
    StartSockets();
    SockRaiseFileLimit(static_cast<uint64_t>(mUdpCount) + 256u);
    Impl& impl = *mImpl;
    impl.mUdp.clear();
    impl.mTable.reset();
    impl.mScheduled.clear();
    impl.mUdpRequests.reset(new std::atomic<uint32_t>[mUdpCount > 0 ? mUdpCount : 1]);
    {
        std::lock_guard<std::mutex> hold(impl.mConfigLock);
        impl.mUdpBehavior.resize(mUdpCount);
    }
    WSStatus status = WS_Success;
    for (uint32_t i = 0; i < mUdpCount && status == WS_Success; ++i)
    {
        impl.mUdpRequests[i].store(0);
        SmartPtr<AsyncSocket> s = new AsyncSocket(SocketType::Datagram);
        const uint16_t port = mUdpFirstPort ? static_cast<uint16_t>(mUdpFirstPort + i) : 0;
        status = s->Bind(InetAddress(kServerLoopback, port), false);
        impl.mUdp.push_back(s);
    }
    mTcpPort = 0;
    SmartPtr<AsyncSocket> listener;
    if (status == WS_Success && mTcpEnabled)
    {
        listener = new AsyncSocket(SocketType::Stream);
        status = listener->Bind(InetAddress(kServerLoopback, mTcpPortWanted), true);
        if (status == WS_Success)
            status = listener->Listen(128);
        if (status == WS_Success)
            mTcpPort = listener->GetLocalPort();
    }
    if (status != WS_Success)
    {
        for (auto& s : impl.mUdp)
            s->Close();
        impl.mUdp.clear();
        if (listener)
            listener->Close();
        StopSockets();
        return status;
    }
    if (listener)
        impl.mTable.reset(new ConnTable(listener, mLimits, mConnectionCap, mLengthFieldSize, kMaxRequestFrame,
                                        mCounters));
    mStopRequested.store(false);
    mRunning.store(true);
    mThread = std::thread([this] { Run(); });
    return WS_Success;
}

void PingResponder::Stop()
{
    if (!mRunning.load())
        return;
    mStopRequested.store(true);
    if (mThread.joinable())
        mThread.join();
    Impl& impl = *mImpl;
    if (impl.mTable)
        impl.mTable->Close();
    impl.mTable.reset();
    for (auto& s : impl.mUdp)
        s->Close();
    impl.mScheduled.clear();
    mRunning.store(false);
    StopSockets();
}

uint32_t PingResponder::GetUdpCount() const
{
    return static_cast<uint32_t>(mImpl->mUdp.size());
}

uint16_t PingResponder::GetUdpPort(uint32_t index) const
{
    return index < mImpl->mUdp.size() ? mImpl->mUdp[index]->GetLocalPort() : 0;
}

void PingResponder::SetUdpBehavior(uint32_t index, const PingBehavior& behavior)
{
    std::lock_guard<std::mutex> hold(mImpl->mConfigLock);
    if (index >= mImpl->mUdpBehavior.size())
        mImpl->mUdpBehavior.resize(index + 1);
    mImpl->mUdpBehavior[index] = behavior;
}

void PingResponder::SetAllUdpBehavior(const PingBehavior& behavior)
{
    std::lock_guard<std::mutex> hold(mImpl->mConfigLock);
    if (mImpl->mUdpBehavior.size() < mUdpCount)
        mImpl->mUdpBehavior.resize(mUdpCount);
    for (auto& b : mImpl->mUdpBehavior)
        b = behavior;
}

void PingResponder::SetTcpBehavior(const PingBehavior& behavior)
{
    std::lock_guard<std::mutex> hold(mImpl->mConfigLock);
    mImpl->mTcpBehavior = behavior;
}

void PingResponder::SetExtendedInfo(const PingExtendedInfo& info)
{
    std::lock_guard<std::mutex> hold(mImpl->mConfigLock);
    mImpl->mExtended = info;
}

uint32_t PingResponder::GetUdpRequests(uint32_t index) const
{
    if (!mRunning.load() || index >= mImpl->mUdp.size())
        return 0;
    return mImpl->mUdpRequests[index].load();
}

void PingResponder::ResetCounters()
{
    mTotalUdp.store(0);
    mTcpRequests.store(0);
    mCounters.mAccepted.store(0);
    mCounters.mDropped.store(0);
    mCounters.mPeakHeld.store(0);
    if (mRunning.load())
        for (size_t i = 0; i < mImpl->mUdp.size(); ++i)
            mImpl->mUdpRequests[i].store(0);
}

void PingResponder::Run()
{
    Impl& impl = *mImpl;
    std::vector<SockPollFd> fds;
    std::vector<char> scratch(65536);
    const size_t udpCount = impl.mUdp.size();
    bool busy = false;   // a responder may have datagrams left after its turn

    while (!mStopRequested.load())
    {
        fds.clear();
        for (auto& s : impl.mUdp)
            fds.push_back({s->GetHandle(), SOCK_POLL_READ, 0});
        uint32_t wait = busy ? 0 : kPollMs;
        for (const Scheduled& s : impl.mScheduled)
        {
            const uint32_t since = TicksSince(s.mStart);
            const uint32_t left = since >= s.mDelay ? 0 : s.mDelay - since;
            if (left < wait)
                wait = left;
        }
        if (impl.mTable)
            impl.mTable->Pass(impl, wait, &fds);
        else
            SockPoll(fds.data(), static_cast<uint32_t>(fds.size()), wait);

        // Held-back replies that are due.
        for (size_t i = 0; i < impl.mScheduled.size();)
        {
            Scheduled& s = impl.mScheduled[i];
            if (TicksSince(s.mStart) < s.mDelay)
            {
                ++i;
                continue;
            }
            if (s.mUdp)
                impl.mUdp[s.mIndex]->SendTo(s.mBytes.data(), static_cast<uint32_t>(s.mBytes.size()), s.mTo);
            else if (ServerConn* c = impl.mTable ? impl.mTable->Find(s.mConnId) : nullptr)
                impl.mTable->Queue(*c, s.mBytes.data(), s.mBytes.size());
            impl.mScheduled.erase(impl.mScheduled.begin() + static_cast<std::ptrdiff_t>(i));
        }

        // UDP requests: a turn for each responder, so that a flood on one
        // neither starves the others nor the TCP side.
        busy = false;
        for (size_t i = 0; i < udpCount; ++i)
            if (fds[i].revents & (SOCK_POLL_READ | SOCK_POLL_FAILED))
                busy = impl.ServeUdp(i, scratch) || busy;
    }
}

bool PingResponder::Impl::ServeUdp(size_t i, std::vector<char>& scratch)
{
    for (int n = 0; n < kMaxReadsPerWake; ++n)
    {
        InetAddress from;
        uint32_t got = 0;
        const WSStatus st = mUdp[i]->RecvFrom(scratch.data(), static_cast<uint32_t>(scratch.size()), &from, &got);
        if (st != WS_Success)
            return false;
        const uint8_t* p = reinterpret_cast<const uint8_t*>(scratch.data());
        if (!IsPingRequest(p, got))
            continue;
        const uint32_t count = mUdpRequests[i].fetch_add(1) + 1;
        mOwner.mTotalUdp.fetch_add(1);
        PingBehavior b;
        {
            std::lock_guard<std::mutex> hold(mConfigLock);
            if (i < mUdpBehavior.size())
                b = mUdpBehavior[i];
        }
        if (b.mFault == PingFault::Drop || b.mFault == PingFault::Close || count < b.mAnswerFrom)
            continue;
        ReadBuffer rb(p + 3, 4);
        uint32_t id = rb.ReadLong();
        if (b.mFault == PingFault::WrongId)
            ++id;
        WriteBuffer reply(0, false);
        reply.AppendByte(3);
        reply.AppendByte(1);
        reply.AppendByte(b.mFault == PingFault::WrongHeader ? 7 : 6);
        reply.AppendLong(id);
        std::string bytes(reinterpret_cast<const char*>(reply.GetData()), reply.GetLength());
        if (b.mDelayMs)
            mScheduled.push_back({GetTickCount(), b.mDelayMs, true, static_cast<uint32_t>(i), 0, from, bytes});
        else
            mUdp[i]->SendTo(bytes.data(), static_cast<uint32_t>(bytes.size()), from);
    }
    return true;
}

void PingResponder::Impl::OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& message)
{
    PingConn& c = static_cast<PingConn&>(conn);
    const uint8_t* p = message->GetData();
    if (!IsPingRequest(p, message->GetLength()))
        return;
    ++c.mRequests;
    mOwner.mTcpRequests.fetch_add(1);
    PingBehavior b;
    PingExtendedInfo ext;
    {
        std::lock_guard<std::mutex> hold(mConfigLock);
        b = mTcpBehavior;
        ext = mExtended;
    }
    if (b.mFault == PingFault::Close)
    {
        c.mDead = true;
        return;
    }
    if (b.mFault == PingFault::Drop || c.mRequests < b.mAnswerFrom)
        return;
    ReadBuffer req(p + 3, 5);
    uint32_t tick = req.ReadLong();
    const bool extended = req.ReadByte() != 0;
    if (b.mFault == PingFault::WrongId)
        ++tick;
    WriteBuffer reply(mOwner.mLengthFieldSize, true);
    reply.AppendByte(3);
    reply.AppendByte(1);
    reply.AppendByte(b.mFault == PingFault::WrongHeader ? 7 : 6);
    reply.AppendLong(tick);
    if (extended && ext.mEnabled)
    {
        reply.AppendString(ext.mText1, 2);
        reply.AppendString(ext.mText2, 2);
        reply.AppendLong(ext.mNumber1);
        reply.AppendString(ext.mText3, 2);
        reply.AppendLong(ext.mNumber2);
        reply.AppendString(ext.mText4, 2);
        reply.AppendBool(ext.mFlag);
        if (ext.mSecondGroup)
        {
            reply.AppendString(ext.mText5, 2);
            reply.AppendString(ext.mText6, 2);
        }
    }
    SmartPtr<ByteBuffer> framed = reply.ToByteBuffer(true);
    if (b.mDelayMs)
    {
        const std::string bytes(reinterpret_cast<const char*>(framed->GetData()), framed->GetLength());
        mScheduled.push_back({GetTickCount(), b.mDelayMs, false, 0, c.mId, InetAddress(), bytes});
    }
    else
        mTable->Queue(c, framed->GetData(), framed->GetLength());
}

} // namespace QORAPI
