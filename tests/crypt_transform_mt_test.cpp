// Encrypted messages over real loopback sockets: a crypt transform on both
// ends, a sender and a receiver thread on each end, thousands of messages
// each way with the sequence numbers in step. The socket's lock keeps each
// session's Encrypt and Decrypt calls from overlapping.

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "auth/AuthSession.h"
#include "auth/CryptTransform.h"
#include "common/Endian.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;

namespace {

const uint32_t kDeadlineMs = 60000;
const uint32_t kMessages = 3000;

void MakePair(AsyncSocketPtr& client, AsyncSocketPtr& server)
{
    const AsyncSocketPtr listener = new AsyncSocket(SocketType::Stream);
    ASSERT_EQ(listener->Bind(0), WS_Success);
    ASSERT_EQ(listener->Listen(4), WS_Success);
    client = new AsyncSocket(SocketType::Stream);
    WSStatus s = client->Connect(InetAddress("127.0.0.1", listener->GetLocalPort()));
    ASSERT_TRUE(s == WS_Success || s == WS_TimedOut) << WSStatusToString(s);
    const uint32_t start = GetTickCount();
    while ((s = client->WaitForConnect(100)) == WS_TimedOut && TicksSince(start) < 5000)
    {
    }
    ASSERT_EQ(s, WS_Success);
    listener->WaitForRead(5000);
    ASSERT_EQ(listener->Accept(server), WS_Success);
}

// Sends every byte, waiting (bounded) while the socket would block.
bool SendAll(AsyncSocket& socket, const ByteBuffer& bytes, uint32_t start)
{
    uint32_t done = 0;
    while (done < bytes.GetLength())
    {
        if (TicksSince(start) > kDeadlineMs)
            return false;
        uint32_t sent = 0;
        const WSStatus s = socket.Send(bytes.GetData() + done, bytes.GetLength() - done, &sent);
        if (s != WS_Success && s != WS_TimedOut)
            return false;
        done += sent;
        if (s == WS_TimedOut)
            socket.WaitForWrite(50);
    }
    return true;
}

bool RecvExactly(AsyncSocket& socket, uint8_t* out, uint32_t n, uint32_t start)
{
    uint32_t done = 0;
    while (done < n)
    {
        if (TicksSince(start) > kDeadlineMs)
            return false;
        uint32_t got = 0;
        const WSStatus s = socket.Recv(out + done, n - done, &got);
        if (s != WS_Success && s != WS_TimedOut)
            return false;
        if (s == WS_Success && got == 0)
            return false;   // closed
        done += got;
        if (s == WS_TimedOut)
            socket.WaitForRead(50);
    }
    return true;
}

// One framed message (4-byte length field) through the receive transforms.
WSStatus RecvMessage(AsyncSocket& socket, SmartPtr<ByteBuffer>& message, uint32_t start)
{
    uint8_t field[4];
    if (!RecvExactly(socket, field, 4, start))
        return WS_TimedOut;
    const uint32_t length = LoadLE32(field);
    if (length < 4 || length > 1000000)
        return WS_RecvMsg_InvalidMessageLength;
    std::vector<uint8_t> body(length - 4);
    if (!RecvExactly(socket, body.data(), length - 4, start))
        return WS_TimedOut;
    message = new ByteBuffer(body.data(), static_cast<uint32_t>(body.size()));
    return socket.ApplyRecvTransforms(message);
}

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

TEST(CryptTransformSockets, ThousandsOfMessagesEachWay)
{
    AsyncSocketPtr ends[2];
    MakePair(ends[0], ends[1]);
    ASSERT_TRUE(ends[0] && ends[1]);

    const Blowfish key(8);
    ASSERT_TRUE(key.IsKeySet());
    AuthSessionPtr sessions[2];
    for (int e = 0; e < 2; ++e)
    {
        sessions[e] = new AuthSession(AuthSession::AuthType_Session, 0x5150, key, 4);
        ends[e]->AddTransform(new CryptTransform(sessions[e]));
    }

    const uint32_t start = GetTickCount();
    std::atomic<uint32_t> sendFailures(0);
    std::atomic<uint32_t> received[2] = {{0}, {0}};
    std::atomic<int32_t> firstError[2] = {{0}, {0}};
    std::vector<std::thread> threads;
    for (uint32_t e = 0; e < 2; ++e)
    {
        threads.emplace_back([&, e] {
            for (uint32_t i = 0; i < kMessages; ++i)
            {
                SmartPtr<ByteBuffer> m = MakeMessage(e, i);
                if (ends[e]->ApplySendTransforms(m) != WS_Success || !SendAll(*ends[e], *m, start))
                {
                    ++sendFailures;
                    return;
                }
            }
        });
        threads.emplace_back([&, e] {
            const uint32_t peer = 1 - e;
            for (uint32_t i = 0; i < kMessages; ++i)
            {
                SmartPtr<ByteBuffer> m;
                const WSStatus s = RecvMessage(*ends[e], m, start);
                if (s != WS_Success || !CheckMessage(*m, peer, i))
                {
                    firstError[e] = s == WS_Success ? -1 : static_cast<int32_t>(s);
                    return;
                }
                ++received[e];
            }
        });
    }
    for (std::thread& t : threads)
        t.join();

    EXPECT_EQ(sendFailures.load(), 0u);
    for (int e = 0; e < 2; ++e)
    {
        EXPECT_EQ(firstError[e].load(), 0) << WSStatusToString(static_cast<WSStatus>(firstError[e].load()));
        EXPECT_EQ(received[e].load(), kMessages);
        EXPECT_EQ(sessions[e]->GetOutgoingSequence(), kMessages);
        EXPECT_EQ(sessions[e]->GetIncomingSequence(), kMessages);
    }
}

// A frame replayed, reordered or cut on the wire reaches the receiver as a
// status, never as data.
TEST(CryptTransformSockets, ReplayReorderAndTruncationOnTheWire)
{
    AsyncSocketPtr client;
    AsyncSocketPtr server;
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
    const uint32_t start = GetTickCount();
    SmartPtr<ByteBuffer> got;

    // In order: delivered.
    ASSERT_TRUE(SendAll(*client, *frames[0], start));
    ASSERT_EQ(RecvMessage(*server, got, start), WS_Success);
    EXPECT_TRUE(CheckMessage(*got, 0, 0));

    // Replayed.
    ASSERT_TRUE(SendAll(*client, *frames[0], start));
    EXPECT_EQ(RecvMessage(*server, got, start), WS_AuthSession_DecryptInvalidSequenceNum);
    EXPECT_EQ(got->GetData()[0], 12);   // left as it came, not handed out as plain text

    // Cut: the length field is rewritten to match the shortened frame.
    std::vector<uint8_t> cut(frames[2]->GetData(), frames[2]->GetData() + frames[2]->GetLength() - 3);
    StoreLE32(cut.data(), static_cast<uint32_t>(cut.size()));
    ASSERT_TRUE(SendAll(*client, ByteBuffer(cut.data(), static_cast<uint32_t>(cut.size())), start));
    EXPECT_EQ(RecvMessage(*server, got, start), WS_AuthSession_DecryptFailure);

    // Reordered: the fourth before the third. The replay above moved the
    // expected number to 3, so the third would be accepted next; the fourth is not.
    ASSERT_TRUE(SendAll(*client, *frames[3], start));
    EXPECT_EQ(RecvMessage(*server, got, start), WS_AuthSession_DecryptInvalidSequenceNum);
}

} // namespace
