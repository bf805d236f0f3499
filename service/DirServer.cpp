#include "service/DirServer.h"

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "QORSocket/MsgFrame.h"
#include "auth/ServerMsgHeader.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "dir/DirMessage.h"
#include "platform/Socket.h"
#include "platform/Tick.h"
#include "service/ServerListener.h"

#include <string>
#include <vector>

namespace QORAPI {

namespace {

const uint32_t kPollMs = 20;
// A connection whose unsent replies reach this is not read until they drain.
const size_t kReadPauseOutput = 256u * 1024u;
const uint32_t kLoopback = 0x7F000001u;
const uint32_t kEncryptionRoom = 24;

struct Connection
{
    SmartPtr<AsyncSocket> mSocket;
    SmartPtr<ByteBuffer> mPeer;     // 6-byte wire form
    std::string mIn;
    std::string mOut;
    uint32_t mLastActivity = 0;     // tick of the last byte received or sent
    uint32_t mFrameStart = 0;       // tick at which the unfinished frame in mIn began
    bool mCloseAfterSend = false;
    bool mDead = false;
    SessionGate::Conn mGate;

    size_t Held() const { return mIn.size() + mOut.size(); }
};

uint16_t ReplyTypeOf(const ByteBuffer* reply)
{
    const uint8_t* d = ByteBuffer::DataOf(reply);
    return ByteBuffer::LengthOf(reply) >= ServerMsgHeader_Size ? static_cast<uint16_t>(d[3] | (d[4] << 8)) : 0;
}

// True for a listing reply after which no more replies of its listing come:
// the last one, or a refusal.
bool EndsListing(const ByteBuffer* reply)
{
    const uint8_t* d = ByteBuffer::DataOf(reply);
    const uint32_t n = ByteBuffer::LengthOf(reply);
    if (n < ServerMsgHeader_Size + 2)
        return true;
    const int16_t status = static_cast<int16_t>(d[ServerMsgHeader_Size] | (d[ServerMsgHeader_Size + 1] << 8));
    return status < 0 || n < ServerMsgHeader_Size + 3 || (d[ServerMsgHeader_Size + 2] & DirSeqFlag_Last);
}

// Replaces each reply longer than maxReply by a refusal of its type. A listing
// ends at a refusal, so the rest of a listing whose reply was replaced goes too.
void FitReplies(std::vector<SmartPtr<ByteBuffer>>& replies, uint32_t maxReply)
{
    std::vector<SmartPtr<ByteBuffer>> out;
    bool skipListing = false;
    for (SmartPtr<ByteBuffer>& reply : replies)
    {
        const uint16_t type = ReplyTypeOf(reply.Get());
        if (skipListing && type == DirMsg_EntityListReply)
        {
            skipListing = !EndsListing(reply.Get());
            continue;
        }
        skipListing = false;
        if (ByteBuffer::LengthOf(reply) > maxReply)
        {
            skipListing = type == DirMsg_EntityListReply && !EndsListing(reply.Get());
            out.push_back(DirServerEngine::BuildRefusal(type, static_cast<int16_t>(WS_CommServ_MessageExceedsMax)));
            continue;
        }
        out.push_back(reply);
    }
    replies.swap(out);
}

} // namespace

struct DirServer::Impl
{
    SmartPtr<AsyncSocket> mListener;
    std::vector<std::unique_ptr<Connection>> mConnections;
};

DirServer::DirServer(std::shared_ptr<DirServerEngine> engine)
    : mEngine(engine ? engine : std::make_shared<DirServerEngine>()),
      mRunning(false),
      mStopRequested(false),
      mFault(0),
      mRequests(0),
      mConnections(0),
      mOpenConnections(0),
      mDropped(0),
      mPort(0),
      mLengthFieldSize(4),
      mMaxConnections(512),
      mBindAddress(kLoopback)
{
}

DirServer::~DirServer()
{
    Stop();
}

void DirServer::ResetCounters()
{
    mRequests.store(0);
    mConnections.store(0);
    mDropped.store(0);
}

WSStatus DirServer::Start(uint16_t port)
{
    if (mRunning.load())
        return WS_Success;
    if (mLengthFieldSize != 1 && mLengthFieldSize != 2 && mLengthFieldSize != 4)
        return WS_RecvMsg_InvalidLengthFieldSize;
    StartSockets();
    mImpl.reset(new Impl);
    const WSStatus status = OpenListener(InetAddress(mBindAddress, port), 128, mImpl->mListener);
    if (status != WS_Success)
    {
        mImpl.reset();
        StopSockets();
        return status;
    }
    mPort = mImpl->mListener->GetLocalPort();
    mStopRequested.store(false);
    mRunning.store(true);
    mThread = std::thread([this] { Run(); });
    return WS_Success;
}

InetAddress DirServer::GetListenAddress() const
{
    return mRunning.load() && mImpl ? mImpl->mListener->GetLocalAddress() : InetAddress();
}

void DirServer::Stop()
{
    if (!mRunning.load())
        return;
    mStopRequested.store(true);
    if (mThread.joinable())
        mThread.join();
    for (auto& c : mImpl->mConnections)
        c->mSocket->Close();
    mImpl->mListener->Close();
    mImpl.reset();
    mOpenConnections.store(0);
    mRunning.store(false);
    StopSockets();
}

void DirServer::Run()
{
    Impl& impl = *mImpl;
    const ClientLimits limits = mLimits;
    const uint32_t maxConnections = mMaxConnections > 0 ? mMaxConnections : 1;
    const uint32_t requestsPerTurn = limits.mRequestsPerTurn > 0 ? limits.mRequestsPerTurn : 1;
    std::vector<SockPollFd> fds;
    std::vector<char> scratch(65536);
    const uint32_t field = mLengthFieldSize;
    // The longest reply message a frame carries, less room for the session
    // encryption (a header byte, a sequence number, a length and padding:
    // at most 17 bytes more).
    const uint32_t maxReply = MaxFrameLength(mLengthFieldSize) - field - kEncryptionRoom;
    bool more = false;   // a connection has whole requests left for the next turn

    while (!mStopRequested.load())
    {
        fds.clear();
        fds.push_back({impl.mListener->GetHandle(), SOCK_POLL_READ, 0});
        for (auto& c : impl.mConnections)
        {
            int16_t events = c->mOut.size() < kReadPauseOutput ? SOCK_POLL_READ : 0;
            if (!c->mOut.empty())
                events = static_cast<int16_t>(events | SOCK_POLL_WRITE);
            fds.push_back({c->mSocket->GetHandle(), events, 0});
        }
        const int32_t ready = SockPoll(fds.data(), static_cast<uint32_t>(fds.size()), more ? 0 : kPollMs);
        if (ready < 0)
        {
            SockPoll(nullptr, 0, kPollMs);   // never spin on a failing poll
            continue;
        }
        const uint32_t now = GetTickCount();
        more = false;

        if (fds[0].revents & SOCK_POLL_READ)
        {
            size_t live = 0;
            for (auto& c : impl.mConnections)
                live += c->mDead ? 0 : 1;
            for (int i = 0; i < 64; ++i)
            {
                SmartPtr<AsyncSocket> accepted;
                if (impl.mListener->Accept(accepted) != WS_Success)
                    break;
                if (live >= maxConnections)
                {
                    // The connection quiet for longest makes room.
                    Connection* quiet = nullptr;
                    for (auto& c : impl.mConnections)
                        if (!c->mDead && (!quiet || now - c->mLastActivity > now - quiet->mLastActivity))
                            quiet = c.get();
                    if (!quiet)
                    {
                        accepted->Close();
                        continue;
                    }
                    quiet->mDead = true;
                    quiet->mSocket->Close();
                    mDropped.fetch_add(1);
                    --live;
                }
                std::unique_ptr<Connection> c(new Connection);
                c->mSocket = accepted;
                c->mLastActivity = now;
                accepted->SetNagling(false);
                uint8_t six[6];
                accepted->GetDestAddr().GetSixBytes(six);
                c->mPeer = new ByteBuffer(six, 6);
                impl.mConnections.push_back(std::move(c));
                mConnections.fetch_add(1);
                ++live;
            }
        }

        for (size_t i = 1; i < fds.size() && i - 1 < impl.mConnections.size(); ++i)
        {
            Connection& c = *impl.mConnections[i - 1];
            if (c.mDead)
                continue;
            const int16_t ev = fds[i].revents;
            if (ev & (SOCK_POLL_READ | SOCK_POLL_FAILED))
            {
                uint32_t got = 0;
                const WSStatus s = c.mSocket->Recv(scratch.data(), static_cast<uint32_t>(scratch.size()), &got);
                if (s == WS_Success || s == WS_TimedOut)
                {
                    if (got > 0)
                    {
                        if (c.mIn.empty())
                            c.mFrameStart = now;
                        c.mLastActivity = now;
                        c.mIn.append(scratch.data(), got);
                    }
                }
                else
                    c.mDead = true;
            }

            // Take the whole frames, a turn's worth.
            uint32_t taken = 0;
            while (!c.mDead && c.mIn.size() >= field)
            {
                ReadBuffer rb(c.mIn.data(), static_cast<uint32_t>(c.mIn.size()));
                uint32_t length = rb.ReadLength(static_cast<uint8_t>(field));
                if (field == 1)
                    length = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(length)));
                else if (field == 2)
                    length = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(length)));
                if (length <= field || length >= kMaxFrameLength)
                {
                    c.mDead = true;   // cannot stay in step with the frames
                    break;
                }
                if (c.mIn.size() < length)
                    break;
                if (taken == requestsPerTurn)
                {
                    more = true;   // the others first
                    break;
                }
                ++taken;
                SmartPtr<ByteBuffer> request =
                    new ByteBuffer(c.mIn.data() + field, length - field);
                c.mIn.erase(0, length);
                c.mFrameStart = now;   // what is left is a frame begun now
                mRequests.fetch_add(1);

                const DirServerFault fault = static_cast<DirServerFault>(mFault.load());
                if (fault == DirServerFault::Silent)
                    continue;
                if (fault == DirServerFault::Close)
                {
                    c.mDead = true;
                    break;
                }
                SmartPtr<ByteBuffer> gateReply;
                const SessionGate::Action action = mGate.Incoming(c.mGate, request, gateReply, static_cast<uint8_t>(field));
                if (action == SessionGate::Action_Drop)
                {
                    c.mDead = true;
                    break;
                }
                if (action == SessionGate::Action_Reply)
                {
                    c.mOut.append(reinterpret_cast<const char*>(gateReply->GetData()), gateReply->GetLength());
                    continue;
                }
                DirServerReplies replies;
                if (fault == DirServerFault::Garbage)
                {
                    const uint8_t junk[] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03};
                    replies.mReplies.push_back(new ByteBuffer(junk, sizeof(junk)));
                }
                else if (fault == DirServerFault::SessionExpired)
                {
                    const uint8_t notice[] = {1, 0, 0, 0, 15, 0, 0, 0, 0, 0};
                    replies.mReplies.push_back(new ByteBuffer(notice, sizeof(notice)));
                }
                else
                {
                    replies = mEngine->HandleRequest(request.Get(), c.mPeer.Get(), maxReply);
                    FitReplies(replies.mReplies, maxReply);
                }

                for (SmartPtr<ByteBuffer>& reply : replies.mReplies)
                {
                    uint32_t len = ByteBuffer::LengthOf(reply);
                    if (fault == DirServerFault::Truncated && len > 6)
                        len -= 1;
                    WriteBuffer frame(static_cast<uint8_t>(field), true);
                    if (fault == DirServerFault::WrongHeader && len >= 5)
                    {
                        std::string bytes(reinterpret_cast<const char*>(reply->GetData()), len);
                        bytes[3] = 99;
                        bytes[4] = 0;
                        frame.AppendBytes(bytes.data(), len);
                    }
                    else
                        frame.AppendBytes(ByteBuffer::DataOf(reply), len);
                    SmartPtr<ByteBuffer> framed = frame.ToByteBuffer(true);
                    if (!mGate.Outgoing(c.mGate, framed))
                    {
                        c.mDead = true;
                        break;
                    }
                    c.mOut.append(reinterpret_cast<const char*>(framed->GetData()), framed->GetLength());
                }
                if (replies.mClose)
                    c.mCloseAfterSend = true;
                if (c.mOut.size() > limits.mMaxPendingOutput)
                {
                    c.mDead = true;
                    mDropped.fetch_add(1);
                    break;
                }
            }

            if (!c.mDead && !c.mOut.empty())
            {
                uint32_t sent = 0;
                const WSStatus s = c.mSocket->Send(c.mOut.data(), static_cast<uint32_t>(c.mOut.size()), &sent);
                if (s == WS_Success)
                {
                    c.mOut.clear();
                    c.mLastActivity = now;
                }
                else if (s == WS_TimedOut)
                {
                    c.mOut.erase(0, sent);
                    if (sent > 0)
                        c.mLastActivity = now;
                }
                else
                    c.mDead = true;
            }
            if (c.mOut.empty() && c.mCloseAfterSend)
                c.mDead = true;
        }

        // Time limits, then the bound on the bytes held for all connections:
        // the largest holders go first.
        size_t held = 0;
        for (auto& c : impl.mConnections)
        {
            if (c->mDead)
                continue;
            const bool stalledFrame = !c->mIn.empty() && now - c->mFrameStart >= limits.mPartialFrameMs;
            if (stalledFrame || now - c->mLastActivity >= limits.mIdleMs)
            {
                c->mDead = true;
                mDropped.fetch_add(1);
                continue;
            }
            held += c->Held();
        }
        while (held > limits.mMaxHeldBytes)
        {
            Connection* largest = nullptr;
            for (auto& c : impl.mConnections)
                if (!c->mDead && (!largest || c->Held() > largest->Held()))
                    largest = c.get();
            if (!largest)
                break;
            largest->mDead = true;
            mDropped.fetch_add(1);
            held -= largest->Held();
        }

        for (size_t i = 0; i < impl.mConnections.size();)
        {
            if (impl.mConnections[i]->mDead)
            {
                impl.mConnections[i]->mSocket->Close();
                impl.mConnections.erase(impl.mConnections.begin() + static_cast<std::ptrdiff_t>(i));
            }
            else
                ++i;
        }
        mOpenConnections.store(static_cast<uint32_t>(impl.mConnections.size()));
    }
}

} // namespace QORAPI
