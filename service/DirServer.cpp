#include "service/DirServer.h"

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Socket.h"

#include <string>
#include <vector>

namespace QORAPI {

namespace {

const uint32_t kMaxFrame = 256000;
const uint32_t kPollMs = 20;
// A client that sends requests but does not read its replies is dropped once
// this much output waits for it.
const size_t kMaxPendingOutput = 8u * 1024u * 1024u;

struct Connection
{
    SmartPtr<AsyncSocket> mSocket;
    SmartPtr<ByteBuffer> mPeer;     // 6-byte wire form
    std::string mIn;
    std::string mOut;
    bool mCloseAfterSend = false;
    bool mDead = false;
    SessionGate::Conn mGate;
};

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
      mPort(0),
      mLengthFieldSize(4),
      mMaxConnections(512)
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
}

WSStatus DirServer::Start(uint16_t port)
{
    if (mRunning.load())
        return WS_Success;
    if (mLengthFieldSize != 1 && mLengthFieldSize != 2 && mLengthFieldSize != 4)
        return WS_RecvMsg_InvalidLengthFieldSize;
    StartSockets();
    mImpl.reset(new Impl);
    mImpl->mListener = new AsyncSocket(SocketType::Stream);
    WSStatus status = mImpl->mListener->Bind(port, true);
    if (status == WS_Success)
        status = mImpl->mListener->Listen(128);
    if (status != WS_Success)
    {
        mImpl->mListener->Close();
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
    mRunning.store(false);
    StopSockets();
}

void DirServer::Run()
{
    Impl& impl = *mImpl;
    std::vector<SockPollFd> fds;
    std::vector<char> scratch(65536);
    const uint32_t field = mLengthFieldSize;

    while (!mStopRequested.load())
    {
        fds.clear();
        fds.push_back({impl.mListener->GetHandle(), SOCK_POLL_READ, 0});
        for (auto& c : impl.mConnections)
        {
            int16_t events = SOCK_POLL_READ;
            if (!c->mOut.empty())
                events = static_cast<int16_t>(events | SOCK_POLL_WRITE);
            fds.push_back({c->mSocket->GetHandle(), events, 0});
        }
        if (SockPoll(fds.data(), static_cast<uint32_t>(fds.size()), kPollMs) <= 0)
            continue;

        if (fds[0].revents & SOCK_POLL_READ)
        {
            for (int i = 0; i < 64; ++i)
            {
                SmartPtr<AsyncSocket> accepted;
                if (impl.mListener->Accept(accepted) != WS_Success)
                    break;
                if (impl.mConnections.size() >= mMaxConnections)
                {
                    accepted->Close();
                    continue;
                }
                std::unique_ptr<Connection> c(new Connection);
                c->mSocket = accepted;
                accepted->SetNagling(false);
                uint8_t six[6];
                accepted->GetDestAddr().GetSixBytes(six);
                c->mPeer = new ByteBuffer(six, 6);
                impl.mConnections.push_back(std::move(c));
                mConnections.fetch_add(1);
            }
        }

        for (size_t i = 1; i < fds.size() && i - 1 < impl.mConnections.size(); ++i)
        {
            Connection& c = *impl.mConnections[i - 1];
            const int16_t ev = fds[i].revents;
            if (ev & (SOCK_POLL_READ | SOCK_POLL_FAILED))
            {
                uint32_t got = 0;
                const WSStatus s = c.mSocket->Recv(scratch.data(), static_cast<uint32_t>(scratch.size()), &got);
                if (s == WS_Success || s == WS_TimedOut)
                    c.mIn.append(scratch.data(), got);
                else
                    c.mDead = true;
            }

            // Take every complete frame.
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
                    c.mDead = true;   // cannot stay in step with the frames
                    break;
                }
                if (c.mIn.size() < length)
                    break;
                SmartPtr<ByteBuffer> request =
                    new ByteBuffer(c.mIn.data() + field, length - field);
                c.mIn.erase(0, length);
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
                    replies = mEngine->HandleRequest(request.Get(), c.mPeer.Get());

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
                if (c.mOut.size() > kMaxPendingOutput)
                {
                    c.mDead = true;
                    break;
                }
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
            }
            if (c.mOut.empty() && c.mCloseAfterSend)
                c.mDead = true;
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
    }
}

} // namespace QORAPI
