#include "service/PingResponder.h"

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Socket.h"
#include "platform/Tick.h"

#include <map>
#include <string>
#include <vector>

namespace QORAPI {

namespace {

const uint32_t kMaxFrame = 256000;
const uint32_t kPollMs = 20;
const size_t kMaxPendingOutput = 1024u * 1024u;
const int kMaxReadsPerWake = 64;

struct TcpConn
{
    SmartPtr<AsyncSocket> mSocket;
    std::string mIn;
    std::string mOut;
    uint32_t mRequests = 0;
    bool mDead = false;
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

struct PingResponder::Impl
{
    std::vector<SmartPtr<AsyncSocket>> mUdp;
    std::unique_ptr<std::atomic<uint32_t>[]> mUdpRequests;
    SmartPtr<AsyncSocket> mListener;
    std::map<uint64_t, std::unique_ptr<TcpConn>> mConns;
    uint64_t mNextConnId = 1;
    std::vector<Scheduled> mScheduled;

    std::mutex mConfigLock;            // guards the settings below
    std::vector<PingBehavior> mUdpBehavior;
    PingBehavior mTcpBehavior;
    PingExtendedInfo mExtended;
};

PingResponder::PingResponder()
    : mImpl(new Impl),
      mRunning(false),
      mStopRequested(false),
      mTotalUdp(0),
      mTcpRequests(0),
      mUdpCount(1),
      mUdpFirstPort(0),
      mTcpEnabled(false),
      mTcpPortWanted(0),
      mTcpPort(0),
      mLengthFieldSize(4)
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
    impl.mConns.clear();
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
        status = s->Bind(port, false);
        impl.mUdp.push_back(s);
    }
    mTcpPort = 0;
    if (status == WS_Success && mTcpEnabled)
    {
        impl.mListener = new AsyncSocket(SocketType::Stream);
        status = impl.mListener->Bind(mTcpPortWanted, true);
        if (status == WS_Success)
            status = impl.mListener->Listen(64);
        if (status == WS_Success)
            mTcpPort = impl.mListener->GetLocalPort();
    }
    if (status != WS_Success)
    {
        for (auto& s : impl.mUdp)
            s->Close();
        impl.mUdp.clear();
        if (impl.mListener)
            impl.mListener->Close();
        impl.mListener = nullptr;
        StopSockets();
        return status;
    }
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
    for (auto& c : impl.mConns)
        c.second->mSocket->Close();
    impl.mConns.clear();
    for (auto& s : impl.mUdp)
        s->Close();
    if (impl.mListener)
        impl.mListener->Close();
    impl.mListener = nullptr;
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
    if (mRunning.load())
        for (size_t i = 0; i < mImpl->mUdp.size(); ++i)
            mImpl->mUdpRequests[i].store(0);
}

void PingResponder::Run()
{
    Impl& impl = *mImpl;
    std::vector<SockPollFd> fds;
    std::vector<uint64_t> connIds;
    std::vector<char> scratch(65536);
    const uint32_t field = mLengthFieldSize;
    const size_t udpCount = impl.mUdp.size();

    while (!mStopRequested.load())
    {
        fds.clear();
        connIds.clear();
        for (auto& s : impl.mUdp)
            fds.push_back({s->GetHandle(), SOCK_POLL_READ, 0});
        if (impl.mListener)
            fds.push_back({impl.mListener->GetHandle(), SOCK_POLL_READ, 0});
        for (auto& c : impl.mConns)
        {
            int16_t events = SOCK_POLL_READ;
            if (!c.second->mOut.empty())
                events = static_cast<int16_t>(events | SOCK_POLL_WRITE);
            fds.push_back({c.second->mSocket->GetHandle(), events, 0});
            connIds.push_back(c.first);
        }
        uint32_t wait = kPollMs;
        for (const Scheduled& s : impl.mScheduled)
        {
            const uint32_t since = TicksSince(s.mStart);
            const uint32_t left = since >= s.mDelay ? 0 : s.mDelay - since;
            if (left < wait)
                wait = left;
        }
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
            else
            {
                auto it = impl.mConns.find(s.mConnId);
                if (it != impl.mConns.end())
                    it->second->mOut += s.mBytes;
            }
            impl.mScheduled.erase(impl.mScheduled.begin() + static_cast<std::ptrdiff_t>(i));
        }

        // UDP requests.
        for (size_t i = 0; i < udpCount; ++i)
        {
            if (!(fds[i].revents & (SOCK_POLL_READ | SOCK_POLL_FAILED)))
                continue;
            for (int n = 0; n < kMaxReadsPerWake; ++n)
            {
                InetAddress from;
                uint32_t got = 0;
                const WSStatus st = impl.mUdp[i]->RecvFrom(scratch.data(), static_cast<uint32_t>(scratch.size()),
                                                           &from, &got);
                if (st != WS_Success)
                    break;
                const uint8_t* p = reinterpret_cast<const uint8_t*>(scratch.data());
                if (!IsPingRequest(p, got))
                    continue;
                const uint32_t count = impl.mUdpRequests[i].fetch_add(1) + 1;
                mTotalUdp.fetch_add(1);
                PingBehavior b;
                {
                    std::lock_guard<std::mutex> hold(impl.mConfigLock);
                    if (i < impl.mUdpBehavior.size())
                        b = impl.mUdpBehavior[i];
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
                    impl.mScheduled.push_back({GetTickCount(), b.mDelayMs, true, static_cast<uint32_t>(i), 0, from, bytes});
                else
                    impl.mUdp[i]->SendTo(bytes.data(), static_cast<uint32_t>(bytes.size()), from);
            }
        }

        if (!impl.mListener)
            continue;

        // New TCP connections.
        if (fds[udpCount].revents & SOCK_POLL_READ)
        {
            for (int n = 0; n < kMaxReadsPerWake; ++n)
            {
                SmartPtr<AsyncSocket> accepted;
                if (impl.mListener->Accept(accepted) != WS_Success)
                    break;
                accepted->SetNagling(false);
                std::unique_ptr<TcpConn> c(new TcpConn);
                c->mSocket = accepted;
                impl.mConns[impl.mNextConnId++] = std::move(c);
            }
        }

        // TCP requests and replies.
        for (size_t k = 0; k < connIds.size(); ++k)
        {
            auto it = impl.mConns.find(connIds[k]);
            if (it == impl.mConns.end())
                continue;
            TcpConn& c = *it->second;
            const int16_t ev = fds[udpCount + 1 + k].revents;
            if (ev & (SOCK_POLL_READ | SOCK_POLL_FAILED))
            {
                uint32_t got = 0;
                const WSStatus s = c.mSocket->Recv(scratch.data(), static_cast<uint32_t>(scratch.size()), &got);
                if (s == WS_Success || s == WS_TimedOut)
                    c.mIn.append(scratch.data(), got);
                else
                    c.mDead = true;
            }
            while (!c.mDead && c.mIn.size() >= field)
            {
                ReadBuffer rb(c.mIn.data(), static_cast<uint32_t>(c.mIn.size()));
                uint32_t length = rb.ReadLength(static_cast<uint8_t>(field));
                if (field == 1)
                    length = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(length)));
                else if (field == 2)
                    length = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(length)));
                if (length <= field || length >= kMaxFrame)
                {
                    c.mDead = true;
                    break;
                }
                if (c.mIn.size() < length)
                    break;
                const std::string msg = c.mIn.substr(field, length - field);
                c.mIn.erase(0, length);
                const uint8_t* p = reinterpret_cast<const uint8_t*>(msg.data());
                if (!IsPingRequest(p, static_cast<uint32_t>(msg.size())))
                    continue;
                ++c.mRequests;
                mTcpRequests.fetch_add(1);
                PingBehavior b;
                PingExtendedInfo ext;
                {
                    std::lock_guard<std::mutex> hold(impl.mConfigLock);
                    b = impl.mTcpBehavior;
                    ext = impl.mExtended;
                }
                if (b.mFault == PingFault::Close)
                {
                    c.mDead = true;
                    break;
                }
                if (b.mFault == PingFault::Drop || c.mRequests < b.mAnswerFrom)
                    continue;
                ReadBuffer req(p + 3, 5);
                uint32_t tick = req.ReadLong();
                const bool extended = req.ReadByte() != 0;
                if (b.mFault == PingFault::WrongId)
                    ++tick;
                WriteBuffer reply(static_cast<uint8_t>(field), true);
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
                std::string bytes(reinterpret_cast<const char*>(framed->GetData()), framed->GetLength());
                if (b.mDelayMs)
                    impl.mScheduled.push_back({GetTickCount(), b.mDelayMs, false, 0, it->first, InetAddress(), bytes});
                else
                    c.mOut += bytes;
            }
            if (!c.mDead && !c.mOut.empty())
            {
                uint32_t sent = 0;
                const WSStatus s = c.mSocket->Send(c.mOut.data(), static_cast<uint32_t>(c.mOut.size()), &sent);
                if (s == WS_Success)
                    c.mOut.clear();
                else if (s == WS_TimedOut)
                    c.mOut.erase(0, sent);
                else
                    c.mDead = true;
                if (c.mOut.size() > kMaxPendingOutput)
                    c.mDead = true;
            }
            if (c.mDead)
            {
                c.mSocket->Close();
                impl.mConns.erase(it);
            }
        }
    }
}

} // namespace QORAPI
