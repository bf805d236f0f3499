#include "service/PushServer.h"

#include "QORSocket/AsyncSocket.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Socket.h"
#include "QORSocket/MsgFrame.h"
#include "service/ServerListener.h"

#include <string>
#include <vector>

namespace QORAPI {

namespace {

const uint32_t kPollMs = 5;

} // namespace

struct PushServer::Impl : public ConnHandler
{
    explicit Impl(PushServer& owner) : mOwner(owner) {}
    void OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& message) override;

    PushServer& mOwner;
    SmartPtr<AsyncSocket> mListener;
    std::unique_ptr<ConnTable> mTable;

    std::mutex mLock;               // guards the requests below
    std::string mPending;           // bytes for every client
    bool mCloseAll = false;
    std::string mLastMessage;
};

PushServer::PushServer()
    : mRunning(false),
      mStopRequested(false),
      mKeepAlives(0),
      mMessages(0),
      mPort(0),
      mLengthFieldSize(4),
      mConnectionCap(1024)
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
    mImpl.reset(new Impl(*this));
    const WSStatus status = OpenListener(InetAddress(kServerLoopback, port), 128, mImpl->mListener);
    if (status != WS_Success)
    {
        mImpl.reset();
        StopSockets();
        return status;
    }
    mPort = mImpl->mListener->GetLocalPort();
    mImpl->mTable.reset(new ConnTable(mImpl->mListener, mLimits, mConnectionCap, mLengthFieldSize,
                                      kMaxFrameLength - 1, mCounters));
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
    mImpl->mTable->Close();
    mImpl.reset();
    mRunning.store(false);
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
    ConnTable& table = *impl.mTable;
    while (!mStopRequested.load())
    {
        {
            std::lock_guard<std::mutex> hold(impl.mLock);
            if (!impl.mPending.empty())
            {
                const std::string& pending = impl.mPending;
                table.ForEach([&](ServerConn& c) { table.Queue(c, pending.data(), pending.size()); });
                impl.mPending.clear();
            }
            if (impl.mCloseAll)
            {
                table.ForEach([](ServerConn& c) { c.mDead = true; });
                impl.mCloseAll = false;
            }
        }
        table.Pass(impl, kPollMs);
    }
}

void PushServer::Impl::OnMessage(ServerConn&, const SmartPtr<ByteBuffer>& message)
{
    const std::string msg = message->ToString();
    if (msg.size() == 3 && msg[0] == 3 && msg[1] == 1 && msg[2] == 7)
        mOwner.mKeepAlives.fetch_add(1);
    else
    {
        std::lock_guard<std::mutex> hold(mLock);
        mLastMessage = msg;
        mOwner.mMessages.fetch_add(1);
    }
}

} // namespace QORAPI
