#include "service/PushServer.h"

#include "QORSocket/AsyncSocket.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Socket.h"
#include "service/ServerListener.h"

#include <string>
#include <vector>

namespace QORAPI {

namespace {

const uint32_t kMaxFrame = 256000;
const uint32_t kPollMs = 5;

struct Client
{
    SmartPtr<AsyncSocket> mSocket;
    std::string mIn;
    std::string mOut;
    size_t mOutPos = 0;
    bool mDead = false;
};

} // namespace

struct PushServer::Impl
{
    SmartPtr<AsyncSocket> mListener;
    std::vector<std::unique_ptr<Client>> mClients;

    std::mutex mLock;               // guards the requests below
    std::string mPending;           // bytes for every client
    bool mCloseAll = false;
    std::string mLastMessage;
};

PushServer::PushServer()
    : mRunning(false),
      mStopRequested(false),
      mClients(0),
      mKeepAlives(0),
      mMessages(0),
      mPort(0),
      mLengthFieldSize(4)
{
}

PushServer::~PushServer()
{
    Stop();
}

WSStatus PushServer::Start(uint16_t port)
{
    if (mRunning.load())
        return WS_Success;
    if (mLengthFieldSize != 1 && mLengthFieldSize != 2 && mLengthFieldSize != 4)
        return WS_RecvMsg_InvalidLengthFieldSize;
    StartSockets();
    mImpl.reset(new Impl);
    const WSStatus status = OpenListener(InetAddress(0u, port), 64, mImpl->mListener);
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

void PushServer::Stop()
{
    if (!mRunning.load())
        return;
    mStopRequested.store(true);
    if (mThread.joinable())
        mThread.join();
    for (auto& c : mImpl->mClients)
        c->mSocket->Close();
    mImpl->mListener->Close();
    mImpl.reset();
    mRunning.store(false);
    mClients.store(0);
    StopSockets();
}

void PushServer::Push(const std::string& message, uint32_t count)
{
    if (!mRunning.load())
        return;
    WriteBuffer frame(mLengthFieldSize, true);
    frame.AppendBytes(message.data(), static_cast<uint32_t>(message.size()));
    SmartPtr<ByteBuffer> framed = frame.ToByteBuffer(true);
    const std::string one(reinterpret_cast<const char*>(framed->GetData()), framed->GetLength());
    std::string all;
    all.reserve(one.size() * count);
    for (uint32_t i = 0; i < count; ++i)
        all += one;
    PushRaw(all);
}

void PushServer::PushRaw(const std::string& bytes)
{
    if (!mRunning.load())
        return;
    std::lock_guard<std::mutex> hold(mImpl->mLock);
    mImpl->mPending += bytes;
}

void PushServer::CloseAll()
{
    if (!mRunning.load())
        return;
    std::lock_guard<std::mutex> hold(mImpl->mLock);
    mImpl->mCloseAll = true;
}

std::string PushServer::GetLastMessage() const
{
    if (!mRunning.load())
        return std::string();
    std::lock_guard<std::mutex> hold(mImpl->mLock);
    return mImpl->mLastMessage;
}

void PushServer::Run()
{
    Impl& impl = *mImpl;
    std::vector<SockPollFd> fds;
    std::vector<char> scratch(65536);
    const uint32_t field = mLengthFieldSize;

    while (!mStopRequested.load())
    {
        {
            std::lock_guard<std::mutex> hold(impl.mLock);
            if (!impl.mPending.empty())
            {
                for (auto& c : impl.mClients)
                    c->mOut += impl.mPending;
                impl.mPending.clear();
            }
            if (impl.mCloseAll)
            {
                for (auto& c : impl.mClients)
                    c->mDead = true;
                impl.mCloseAll = false;
            }
        }

        fds.clear();
        fds.push_back({impl.mListener->GetHandle(), SOCK_POLL_READ, 0});
        for (auto& c : impl.mClients)
        {
            int16_t events = SOCK_POLL_READ;
            if (c->mOutPos < c->mOut.size())
                events = static_cast<int16_t>(events | SOCK_POLL_WRITE);
            fds.push_back({c->mSocket->GetHandle(), events, 0});
        }
        SockPoll(fds.data(), static_cast<uint32_t>(fds.size()), kPollMs);

        if (fds[0].revents & SOCK_POLL_READ)
        {
            for (int i = 0; i < 16; ++i)
            {
                SmartPtr<AsyncSocket> accepted;
                if (impl.mListener->Accept(accepted) != WS_Success)
                    break;
                accepted->SetNagling(false);
                std::unique_ptr<Client> c(new Client);
                c->mSocket = accepted;
                impl.mClients.push_back(std::move(c));
                mClients.fetch_add(1);
            }
        }

        for (size_t i = 1; i < fds.size() && i - 1 < impl.mClients.size(); ++i)
        {
            Client& c = *impl.mClients[i - 1];
            if (fds[i].revents & (SOCK_POLL_READ | SOCK_POLL_FAILED))
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
                if (msg.size() == 3 && msg[0] == 3 && msg[1] == 1 && msg[2] == 7)
                    mKeepAlives.fetch_add(1);
                else
                {
                    std::lock_guard<std::mutex> hold(impl.mLock);
                    impl.mLastMessage = msg;
                    mMessages.fetch_add(1);
                }
            }
            if (!c.mDead && c.mOutPos < c.mOut.size())
            {
                uint32_t sent = 0;
                const WSStatus s = c.mSocket->Send(c.mOut.data() + c.mOutPos,
                                                   static_cast<uint32_t>(c.mOut.size() - c.mOutPos), &sent);
                if (s == WS_Success || s == WS_TimedOut)
                    c.mOutPos += sent;
                else
                    c.mDead = true;
                if (c.mOutPos == c.mOut.size())
                {
                    c.mOut.clear();
                    c.mOutPos = 0;
                }
            }
        }

        for (size_t i = 0; i < impl.mClients.size();)
        {
            if (impl.mClients[i]->mDead)
            {
                impl.mClients[i]->mSocket->Close();
                impl.mClients.erase(impl.mClients.begin() + static_cast<std::ptrdiff_t>(i));
                mClients.fetch_sub(1);
            }
            else
                ++i;
        }
    }
}

} // namespace QORAPI
