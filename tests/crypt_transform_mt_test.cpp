// Encrypted messages over real loopback sockets: a crypt transform on both
// ends, thousands of messages each way through asynchronous socket operations
// with the sequence numbers in step, and frames replayed, reordered or cut on
// the wire. The socket's lock keeps each session's Encrypt and Decrypt calls
// from overlapping while the pump and socket threads drive both directions.

#include "QORAPI.h"
#include "SocketTestUtil.h"
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/AuthSession.h"
#include "auth/CryptTransform.h"
#include "common/Endian.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;
using QORAPI::TestUtil::kWait;
using QORAPI::TestUtil::MakePair;

namespace {

const uint32_t kDeadlineMs = 60000;
const uint32_t kMessages = 3000;

SmartPtr<ByteBuffer> MakeMessage(uint32_t from, uint32_t index)
{
    WriteBuffer out(4, true);
    out.AppendByte(5);
    out.AppendLong(from);
    out.AppendLong(index);
    const uint32_t fill = (index * 37) % 700;
    for (uint32_t i = 0; i < fill; ++i)
        out.AppendByte(static_cast<uint8_t>(index + i));
    return out.ToByteBuffer(true);
}

bool CheckMessage(const ByteBuffer& m, uint32_t from, uint32_t index)
{
    const SmartPtr<ByteBuffer> expected = MakeMessage(from, index);
    return m.GetLength() + 4 == expected->GetLength() &&
           std::equal(m.GetData(), m.GetData() + m.GetLength(), expected->GetData() + 4);
}

// A frame replayed, reordered or cut on the wire reaches the receiver as a
// status, never as data.
TEST(CryptTransformSockets, ReplayReorderAndTruncationOnTheWire)
{
    AsyncSocketPtr client, server;
    MakePair(client, server);
    ASSERT_TRUE(client && server);
    const Blowfish key(8);
    const AuthSessionPtr sender = new AuthSession(1, 7, key, 4);
    const AuthSessionPtr receiver = new AuthSession(1, 7, key, 4);
    server->AddTransform(new CryptTransform(receiver));

    std::vector<SmartPtr<ByteBuffer>> frames;
    for (uint32_t i = 0; i < 4; ++i)
    {
        SmartPtr<ByteBuffer> m = MakeMessage(0, i);
        ASSERT_EQ(sender->Encrypt(m), WS_Success);
        frames.push_back(m);
    }
    SmartPtr<ByteBuffer> got;

    // In order: delivered.
    ASSERT_EQ(client->SendBytesBlock(frames[0], kWait), WS_Success);
    ASSERT_EQ(server->RecvMsgBlock(got, kWait), WS_Success);
    EXPECT_TRUE(CheckMessage(*got, 0, 0));

    // Replayed.
    got = nullptr;
    ASSERT_EQ(client->SendBytesBlock(frames[0], kWait), WS_Success);
    EXPECT_EQ(server->RecvMsgBlock(got, kWait), WS_AuthSession_DecryptInvalidSequenceNum);
    EXPECT_FALSE(got);

    // Cut: the length field is rewritten to match the shortened frame.
    std::vector<uint8_t> cut(frames[2]->GetData(), frames[2]->GetData() + frames[2]->GetLength() - 3);
    StoreLE32(cut.data(), static_cast<uint32_t>(cut.size()));
    ASSERT_EQ(client->SendBytesBlock(new ByteBuffer(cut.data(), static_cast<uint32_t>(cut.size())), kWait), WS_Success);
    EXPECT_EQ(server->RecvMsgBlock(got, kWait), WS_AuthSession_DecryptFailure);
    EXPECT_FALSE(got);

    // Reordered: after the replay the receiver expects number 3 (the third
    // frame); the fourth arrives first and is refused.
    ASSERT_EQ(client->SendBytesBlock(frames[3], kWait), WS_Success);
    EXPECT_EQ(server->RecvMsgBlock(got, kWait), WS_AuthSession_DecryptInvalidSequenceNum);
    EXPECT_FALSE(got);
}

// ---- Asynchronous operations ---------------------------------------------

// One direction of a connection: a chain of SendMsgOps on one end and a chain
// of RecvMsgOps on the other, each started from the completion of the one
// before, so the messages leave and arrive in order.
class Stream : public RefCount
{
public:
    Stream(const AsyncSocketPtr& from, const AsyncSocketPtr& to, uint32_t tag) : mFrom(from), mTo(to), mTag(tag) {}

    void Start()
    {
        StartSend();
        StartRecv();
    }

    bool Finished() const { return mFailed.load() || (mSent.load() == kMessages && mReceived.load() == kMessages); }

    AsyncSocketPtr mFrom;
    AsyncSocketPtr mTo;
    uint32_t mTag;
    std::atomic<uint32_t> mSent{0};
    std::atomic<uint32_t> mReceived{0};
    std::atomic<bool> mFailed{false};
    std::atomic<int32_t> mFailure{WS_Success};

private:
    static void OnSent(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
    {
        Stream* self = static_cast<Stream*>(param.Get());
        if (op->GetStatus() != WS_Success)
            return self->Fail(op->GetStatus());
        if (++self->mSent < kMessages)
            self->StartSend();
    }

    static void OnReceived(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
    {
        Stream* self = static_cast<Stream*>(param.Get());
        if (op->GetStatus() != WS_Success)
            return self->Fail(op->GetStatus());
        const SmartPtr<ByteBuffer> m = StaticPtrCast<RecvMsgOp>(op)->GetMsg();
        if (!m || !CheckMessage(*m, self->mTag, self->mReceived.load()))
            return self->Fail(static_cast<WSStatus>(-1));
        if (++self->mReceived < kMessages)
            self->StartRecv();
    }

    void StartSend()
    {
        SmartPtr<SendMsgOp> op = new SendMsgOp(MakeMessage(mTag, mSent.load()), mFrom);
        op->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnSent, SmartPtr<RefCount>(this)));
        op->RunAsync(kDeadlineMs);
    }

    void StartRecv()
    {
        SmartPtr<RecvMsgOp> op = new RecvMsgOp(mTo);
        op->SetCompletion(
            new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnReceived, SmartPtr<RefCount>(this)));
        op->RunAsync(kDeadlineMs);
    }

    void Fail(WSStatus status)
    {
        mFailure = status;
        mFailed = true;
    }
};

struct AsyncMode
{
    bool threaded;
    bool useEx;
    const char* name;
};

class CryptTransformAsync : public testing::TestWithParam<AsyncMode>
{
};

TEST_P(CryptTransformAsync, ThousandsOfMessagesEachWay)
{
    const AsyncMode mode = GetParam();
    std::unique_ptr<QORAPICore> core(new QORAPICore(mode.threaded, mode.threaded, mode.useEx));

    AsyncSocketPtr client, server;
    MakePair(client, server);
    ASSERT_TRUE(client && server);
    const Blowfish key(8);
    const AuthSessionPtr clientSession = new AuthSession(AuthSession::AuthType_Session, 0x0A0B, key, 4);
    const AuthSessionPtr serverSession = new AuthSession(AuthSession::AuthType_Session, 0x0A0B, key, 4);
    client->AddTransform(new CryptTransform(clientSession));
    server->AddTransform(new CryptTransform(serverSession));

    const SmartPtr<Stream> up = new Stream(client, server, 0);
    const SmartPtr<Stream> down = new Stream(server, client, 1);
    up->Start();
    down->Start();
    const uint32_t start = GetTickCount();
    while (!(up->Finished() && down->Finished()) && TicksSince(start) < kDeadlineMs)
    {
        if (mode.threaded)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        else
            core->Pump(20, 0);
    }

    for (const SmartPtr<Stream>& s : {up, down})
    {
        EXPECT_FALSE(s->mFailed.load()) << WSStatusToString(static_cast<WSStatus>(s->mFailure.load()));
        EXPECT_EQ(s->mSent.load(), kMessages);
        EXPECT_EQ(s->mReceived.load(), kMessages);
    }
    for (const AuthSessionPtr& session : {clientSession, serverSession})
    {
        EXPECT_EQ(session->GetOutgoingSequence(), kMessages);
        EXPECT_EQ(session->GetIncomingSequence(), kMessages);
    }

    client->Close();
    server->Close();
    core.reset();
}

const AsyncMode kAsyncModes[] = {
    {true, true, "ThreadedEx"},
    {true, false, "ThreadedSimple"},
    {false, true, "PumpedEx"},
};

INSTANTIATE_TEST_SUITE_P(RunModes, CryptTransformAsync, testing::ValuesIn(kAsyncModes),
                         [](const testing::TestParamInfo<AsyncMode>& info) { return std::string(info.param.name); });

} // namespace
