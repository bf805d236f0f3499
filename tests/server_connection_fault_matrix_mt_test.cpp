// Fault matrix of server connections: for a plain connection (type 0) and
// authenticated ones (types 1 and 2), connected both ways, the server's
// challenge 1, complete and its first message after the connect are cut after
// each byte offset, shortened inside a whole frame, garbled, altered or
// withheld. A broken handshake reaches the connect completion only, with the
// status of the fault; a broken message closes the connection and reaches the
// closed completion with its status, or, where nothing checks the bytes,
// reaches MsgReceived as it came. No descriptor stays open and no connect
// waits past its time limit.
#include "AuthTestUtil.h"
#include "DirTestUtil.h"
#include "FaultPeer.h"
#include "PeerAuthTestUtil.h"

#include "QORSocket/SendMsgOp.h"
#include "QORSocket/ServerConnection.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

typedef std::set<WSStatus> Statuses;

const Statuses kClosed = {WS_AsyncSocket_Shutdown, WS_WSAECONNRESET};
const std::string kMessage = "ping-me, please";

class RecordingConnection : public ServerConnection
{
public:
    std::vector<std::string> Messages()
    {
        std::lock_guard<std::mutex> hold(mLock);
        return mMessages;
    }

protected:
    void MsgReceived(const SmartPtr<ByteBuffer>& message) override
    {
        std::lock_guard<std::mutex> hold(mLock);
        mMessages.push_back(message ? message->ToString() : std::string());
    }

private:
    std::mutex mLock;
    std::vector<std::string> mMessages;
};

// What a broken message does to a connection that came up.
struct Outcome
{
    Statuses mClosed;          // the closed completion's status, when it closes
    std::string mDelivered;    // else the message MsgReceived gets, when one
    bool mNothing = false;     // else nothing happens at all
};

Outcome ClosedWith(const Statuses& statuses)
{
    Outcome o;
    o.mClosed = statuses;
    return o;
}

Outcome Delivered(const std::string& message)
{
    Outcome o;
    o.mDelivered = message;
    return o;
}

class ServerConnectionFaultMatrix : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mCore = AuthTest::StartCore(mDir.Path());
        mClientData = PeerAuthTest::Credentials(1001, u"alice");
        // The peer echoes every message.
        mPeer.reset(new FaultyPeer(PeerAuthTest::Credentials(2002, u"host"),
                                   [](const std::string& request) { return std::vector<std::string>{request}; }));
        ASSERT_NE(mPeer->Port(), 0);
    }
    void TearDown() override
    {
        mPeer.reset();
        mCore.reset();
    }

    SmartPtr<RecordingConnection> Make(int32_t type)
    {
        SmartPtr<RecordingConnection> conn = new RecordingConnection();
        SmartPtr<AuthContext> context = new AuthContext;
        context->SetPeerData(mClientData);
        conn->SetAuth(context, type);
        mConnected = new DirTest::Waiter;
        mClosed = new DirTest::Waiter;
        conn->SetConnectCompletion(mConnected->MakeCompletion());
        conn->SetClosedCompletion(mClosed->MakeCompletion());
        return conn;
    }

    // Connects either way; returns the attempt's status as the connect completion got it.
    WSStatus Connect(RecordingConnection& conn, bool async, uint32_t timeout)
    {
        const uint32_t start = GetTickCount();
        WSStatus s = WS_None;
        if (async)
        {
            conn.ConnectAsync(DirTest::Local(mPeer->Port()), timeout);
            EXPECT_TRUE(mConnected->WaitFor(1, static_cast<int>(timeout) + 5000));
            s = mConnected->Last();
        }
        else
        {
            s = conn.ConnectBlock(DirTest::Local(mPeer->Port()), timeout);
            EXPECT_EQ(mConnected->Count(), 1);
            EXPECT_EQ(mConnected->Last(), s);
        }
        EXPECT_LE(TicksSince(start), timeout + 2000);
        return s;
    }

    void Finish(const SmartPtr<RecordingConnection>& conn, int before)
    {
        conn->CloseAndClear();
        EXPECT_TRUE(mPeer->Server().WaitUntilIdle(5000));
        for (int i = 0; i < 500 && OpenDescriptors() != before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(OpenDescriptors(), before);
    }

    // A broken handshake: the attempt fails with one of expected, the
    // connection stays closed and the closed completion is not called.
    void HandshakeCase(const std::string& what, int32_t type, const Statuses& expected, bool async,
                       uint32_t timeout = 5000 * kSlowFactor)
    {
        SCOPED_TRACE(what + " type " + std::to_string(type) + (async ? " async" : " blocking"));
        ASSERT_TRUE(mPeer->Server().WaitUntilIdle(5000));
        const int before = OpenDescriptors();
        SmartPtr<RecordingConnection> conn = Make(type);
        const WSStatus s = Connect(*conn, async, timeout);
        EXPECT_TRUE(expected.count(s)) << WSStatusToString(s);
        EXPECT_FALSE(conn->IsValid());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(mClosed->Count(), 0);
        EXPECT_EQ(mConnected->Count(), 1);
        Finish(conn, before);
    }

    // A broken message after a good connect.
    void MessageCase(const std::string& what, int32_t type, const Outcome& outcome, bool async)
    {
        SCOPED_TRACE(what + " type " + std::to_string(type) + (async ? " async" : " blocking"));
        ASSERT_TRUE(mPeer->Server().WaitUntilIdle(5000));
        const int before = OpenDescriptors();
        SmartPtr<RecordingConnection> conn = Make(type);
        ASSERT_EQ(Connect(*conn, async, 5000 * kSlowFactor), WS_Success);
        conn->QueueOp(SmartPtr<SocketOp>(new SendMsgOp(PeerAuthTest::Buf(Framed(kMessage)))), 5000);
        if (!outcome.mClosed.empty())
        {
            EXPECT_TRUE(mClosed->WaitFor(1, 5000));
            EXPECT_TRUE(outcome.mClosed.count(mClosed->Last())) << WSStatusToString(mClosed->Last());
            EXPECT_FALSE(conn->IsValid());
            EXPECT_TRUE(conn->Messages().empty());
        }
        else if (!outcome.mNothing)
        {
            for (int i = 0; i < 2500 && conn->Messages().empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            EXPECT_EQ(conn->Messages(), std::vector<std::string>{outcome.mDelivered});
        }
        else
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            EXPECT_TRUE(conn->Messages().empty());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(mClosed->Count(), outcome.mClosed.empty() ? 0 : 1);
        EXPECT_EQ(conn->IsValid(), outcome.mClosed.empty());
        EXPECT_EQ(mConnected->Count(), 1);
        Finish(conn, before);
    }

    // The good frames of a clean connect and one echoed message.
    std::vector<std::string> Record(int32_t type)
    {
        mPeer->Set(ReplyFault::None);
        mPeer->ForgetFrames();
        MessageCase("clean", type, Delivered(kMessage), true);
        return mPeer->Frames();
    }

    AuthTest::TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    SmartPtr<AuthPeerData> mClientData;
    std::unique_ptr<FaultyPeer> mPeer;
    SmartPtr<DirTest::Waiter> mConnected;
    SmartPtr<DirTest::Waiter> mClosed;
};

} // namespace

TEST_F(ServerConnectionFaultMatrix, BrokenHandshakeReachesTheConnectCompletionOnly)
{
    for (int32_t type : {2, 1})
    {
        const std::vector<std::string> frames = Record(type);
        ASSERT_EQ(frames.size(), 3u);
        for (uint32_t step = 0; step < 2; ++step)
        {
            const std::string at = step ? "complete" : "challenge 1";
            int i = 0;
            for (size_t k : CutOffsets(frames[step].size(), 8, 6))
            {
                mPeer->Set(ReplyFault::Cut, step, k);
                HandshakeCase(at + " close after " + std::to_string(k), type, kClosed, ++i % 2 == 0);
            }
            for (size_t k : CutOffsets(frames[step].size() - 4, 6, 4))
            {
                mPeer->Set(ReplyFault::Short, step, k);
                HandshakeCase(at + " message of " + std::to_string(k) + " bytes", type,
                              {k == 0 ? WS_RecvMsg_InvalidMessageLength : WS_PeerAuthClient_MsgUnpackFailure},
                              ++i % 2 == 0);
            }
            for (bool async : {false, true})
            {
                mPeer->Set(ReplyFault::Garbage, step);
                HandshakeCase(at + " garbage", type, {WS_PeerAuthClient_InvalidServiceType}, async);
                mPeer->Set(ReplyFault::GarbageStream, step);
                HandshakeCase(at + " garbage stream", type, {WS_RecvMsg_InvalidMessageLength}, async);
                mPeer->Set(ReplyFault::FlipByte, step, 8);
                HandshakeCase(at + " wrong message type", type, {WS_PeerAuthClient_InvalidMessage}, async);
                mPeer->Set(ReplyFault::Silent, step);
                HandshakeCase(at + " silent", type, {WS_TimedOut}, async, 300);
            }
        }
    }
}

TEST_F(ServerConnectionFaultMatrix, BrokenMessageClosesTheConnectionOrArrivesAsItCame)
{
    for (int32_t type : {0, 2, 1})
    {
        const std::vector<std::string> frames = Record(type);
        const uint32_t step = type == 0 ? 0 : 2;
        ASSERT_EQ(frames.size(), step + 1);
        const std::string& frame = frames[step];
        // Encrypted: header byte, the session identifier (type 1), the cipher text.
        const size_t cipherAt = type == 1 ? 3 : 1;
        int i = 0;
        for (size_t k : CutOffsets(frame.size(), 8, 6))
        {
            mPeer->Set(ReplyFault::Cut, step, k);
            MessageCase("close after " + std::to_string(k), type, ClosedWith(kClosed), ++i % 2 == 0);
        }
        for (size_t k : CutOffsets(frame.size() - 4, 8, 6))
        {
            mPeer->Set(ReplyFault::Short, step, k);
            Outcome o;
            if (k == 0)
                o = ClosedWith({WS_RecvMsg_InvalidMessageLength});
            else if (type == 0)
                o = Delivered(kMessage.substr(0, k));
            else
                o = ClosedWith({k < cipherAt ? WS_AuthSession_DecryptUnpackFailure : WS_AuthSession_DecryptFailure});
            MessageCase("message of " + std::to_string(k) + " bytes", type, o, ++i % 2 == 0);
        }
        for (bool async : {false, true})
        {
            // Bytes not in the encrypted form are handed on as they came.
            mPeer->Set(ReplyFault::Garbage, step);
            MessageCase("garbage", type, Delivered(std::string("\x91\x22\x07\xF3\x00\x10garbage-garbage", 21)), async);
            mPeer->Set(ReplyFault::GarbageStream, step);
            MessageCase("garbage stream", type, ClosedWith({WS_RecvMsg_InvalidMessageLength}), async);
            if (type != 0)
            {
                mPeer->Set(ReplyFault::FlipByte, step, 4 + cipherAt);
                MessageCase("cipher text altered", type, ClosedWith({WS_AuthSession_DecryptFailure}), async);
            }
            if (type == 1)
            {
                mPeer->Set(ReplyFault::FlipByte, step, 5);
                MessageCase("session identifier altered", type, ClosedWith({WS_AuthSession_DecryptSessionIdMismatch}),
                            async);
            }
            mPeer->Set(ReplyFault::Silent, step);
            Outcome quiet;
            quiet.mNothing = true;
            MessageCase("silent", type, quiet, async);
        }
    }
}
