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
#include "service/ConnTable.h"
#include "service/ServerListener.h"

#include <string>
#include <vector>

namespace QORAPI {

namespace {

const uint32_t kPollMs = 20;
const uint32_t kEncryptionRoom = 24;

struct DirConn : public ServerConn
{
    SmartPtr<ByteBuffer> mPeer;     // 6-byte wire form
    SessionGate::Conn mGate;
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

struct DirServer::Impl : public ConnHandler
{
    explicit Impl(DirServer& owner) : mOwner(owner) {}
    std::unique_ptr<ServerConn> NewConn() override { return std::unique_ptr<ServerConn>(new DirConn); }
    void OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& message) override;

    DirServer& mOwner;
    SmartPtr<AsyncSocket> mListener;
    std::unique_ptr<ConnTable> mTable;
    uint32_t mMaxReply = 0;
};

DirServer::DirServer(std::shared_ptr<DirServerEngine> engine)
    : mEngine(engine ? engine : std::make_shared<DirServerEngine>()),
      mRunning(false),
      mStopRequested(false),
      mFault(0),
      mRequests(0),
      mPort(0),
      mLengthFieldSize(4),
      mMaxConnections(512),
      mBindAddress(kServerLoopback)
{
}

DirServer::~DirServer()
{
    Stop();
}

void DirServer::ResetCounters()
{
    mRequests.store(0);
    mCounters.mAccepted.store(0);
    mCounters.mDropped.store(0);
    mCounters.mPeakHeld.store(0);
}

WSStatus DirServer::Start(uint16_t port)
{
    if (mRunning.load())
        return WS_Success;
    if (mLengthFieldSize != 1 && mLengthFieldSize != 2 && mLengthFieldSize != 4)
        return WS_RecvMsg_InvalidLengthFieldSize;
    StartSockets();
    mImpl.reset(new Impl(*this));
    const WSStatus status = OpenListener(InetAddress(mBindAddress, port), 128, mImpl->mListener);
    if (status != WS_Success)
    {
        mImpl.reset();
        StopSockets();
        return status;
    }
    mPort = mImpl->mListener->GetLocalPort();
    // The longest reply message a frame carries, less room for the session
    // encryption (a header byte, a sequence number, a length and padding:
    // at most 17 bytes more).
    mImpl->mMaxReply = MaxFrameLength(mLengthFieldSize) - mLengthFieldSize - kEncryptionRoom;
    mImpl->mTable.reset(new ConnTable(mImpl->mListener, mLimits, mMaxConnections, mLengthFieldSize,
                                      kMaxFrameLength - 1, mCounters));
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
    mImpl->mTable->Close();
    mImpl.reset();
    mRunning.store(false);
    StopSockets();
}

void DirServer::Run()
{
    while (!mStopRequested.load())
        mImpl->mTable->Pass(*mImpl, kPollMs);
}

void DirServer::Impl::OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& message)
{
    DirConn& c = static_cast<DirConn&>(conn);
    SmartPtr<ByteBuffer> request = message;   // the gate may replace it by its plain text
    DirServer& owner = mOwner;
    const uint8_t field = owner.mLengthFieldSize;
    owner.mRequests.fetch_add(1);

    const DirServerFault fault = static_cast<DirServerFault>(owner.mFault.load());
    if (fault == DirServerFault::Silent)
        return;
    if (fault == DirServerFault::Close)
    {
        c.mDead = true;
        return;
    }
    SmartPtr<ByteBuffer> gateReply;
    const SessionGate::Action action = owner.mGate.Incoming(c.mGate, request, gateReply, field);
    if (action == SessionGate::Action_Drop)
    {
        c.mDead = true;
        return;
    }
    if (action == SessionGate::Action_Reply)
    {
        mTable->Queue(c, gateReply->GetData(), gateReply->GetLength());
        return;
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
        if (!c.mPeer)
        {
            uint8_t six[6];
            c.mSocket->GetDestAddr().GetSixBytes(six);
            c.mPeer = new ByteBuffer(six, 6);
        }
        replies = owner.mEngine->HandleRequest(request.Get(), c.mPeer.Get(), mMaxReply);
        FitReplies(replies.mReplies, mMaxReply);
    }

    for (SmartPtr<ByteBuffer>& reply : replies.mReplies)
    {
        uint32_t len = ByteBuffer::LengthOf(reply);
        if (fault == DirServerFault::Truncated && len > 6)
            len -= 1;
        WriteBuffer frame(field, true);
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
        if (!owner.mGate.Outgoing(c.mGate, framed))
        {
            c.mDead = true;
            return;
        }
        mTable->Queue(c, framed->GetData(), framed->GetLength());
    }
    if (replies.mClose)
        c.mCloseAfterSend = true;
}

} // namespace QORAPI
