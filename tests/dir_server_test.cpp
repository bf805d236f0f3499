// The local directory server against raw clients: framing faults end only the
// faulty connection; malformed requests are answered; other clients are served.
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "dir/DirMessage.h"
#include "dir/DirReply.h"
#include "dir/GetEntityRequest.h"
#include "platform/Tick.h"
#include "service/DirServer.h"

#include <gtest/gtest.h>

#include <string>

using namespace QORAPI;

namespace {

// A minimal client over the non-blocking socket calls, every wait bounded.
class RawClient
{
public:
    bool Connect(uint16_t port)
    {
        mSocket = new AsyncSocket(SocketType::Stream);
        const WSStatus s = mSocket->Connect(InetAddress(0x7F000001u, port));
        if (s == WS_Success)
            return true;
        return s == WS_TimedOut && mSocket->WaitForConnect(2000) == WS_Success;
    }
    bool SendRaw(const std::string& bytes)
    {
        uint32_t off = 0;
        const uint32_t start = GetTickCount();
        while (off < bytes.size() && TicksSince(start) < 2000)
        {
            uint32_t sent = 0;
            const WSStatus s = mSocket->Send(bytes.data() + off, static_cast<uint32_t>(bytes.size()) - off, &sent);
            if (s != WS_Success && s != WS_TimedOut)
                return false;
            off += sent;
            if (off < bytes.size())
                mSocket->WaitForWrite(50);
        }
        return off == bytes.size();
    }
    bool SendFrame(const SmartPtr<ByteBuffer>& message)
    {
        std::string frame(4, '\0');
        const uint32_t len = ByteBuffer::LengthOf(message) + 4;
        for (int i = 0; i < 4; ++i)
            frame[i] = static_cast<char>(len >> (8 * i));
        frame.append(reinterpret_cast<const char*>(ByteBuffer::DataOf(message)), ByteBuffer::LengthOf(message));
        return SendRaw(frame);
    }
    // Reads until n bytes or the peer closes or 2 s pass; returns what came.
    std::string Read(size_t n, bool* closed = nullptr)
    {
        std::string out;
        const uint32_t start = GetTickCount();
        char buf[4096];
        while (out.size() < n && TicksSince(start) < 2000)
        {
            mSocket->WaitForRead(50);
            uint32_t got = 0;
            const WSStatus s = mSocket->Recv(buf, sizeof(buf) < n - out.size() ? sizeof(buf) : static_cast<uint32_t>(n - out.size()), &got);
            if (s == WS_Success || s == WS_TimedOut)
                out.append(buf, got);
            else
            {
                if (closed)
                    *closed = true;
                break;
            }
        }
        return out;
    }
    // One reply frame, without its length field (null when none came).
    SmartPtr<ByteBuffer> ReadFrame()
    {
        const std::string head = Read(4);
        if (head.size() != 4)
            return nullptr;
        uint32_t len = 0;
        for (int i = 0; i < 4; ++i)
            len |= static_cast<uint32_t>(static_cast<uint8_t>(head[i])) << (8 * i);
        if (len < 5)
            return nullptr;
        const std::string body = Read(len - 4);
        if (body.size() != len - 4)
            return nullptr;
        return new ByteBuffer(body.data(), static_cast<uint32_t>(body.size()));
    }
    void Close() { mSocket->Close(); }

private:
    SmartPtr<AsyncSocket> mSocket;
};

SmartPtr<ByteBuffer> ListRequest(const std::u16string& path)
{
    DirMessageWriter w(0);
    w.Begin(DirMsg_GetDir);
    GetEntityRequest(path).Pack(w, GetEntityRequest::Form_Single);
    return w.Finish();
}

} // namespace

TEST(DirServer, FaultyClientsDoNotDisturbOthers)
{
    DirServer server;
    ASSERT_EQ(server.Start(0), WS_Success);
    ASSERT_EQ(server.GetEngine().AddService(u"/g", u"s", std::string("\x10\x00\x7f\x00\x00\x01", 6)), WS_Success);

    RawClient good;
    ASSERT_TRUE(good.Connect(server.GetPort()));

    // An impossible length (less than the field itself) ends that connection.
    RawClient badLength;
    ASSERT_TRUE(badLength.Connect(server.GetPort()));
    ASSERT_TRUE(badLength.SendRaw(std::string("\x02\x00\x00\x00", 4)));
    bool closed = false;
    EXPECT_TRUE(badLength.Read(1, &closed).empty());
    EXPECT_TRUE(closed);

    // So does a length beyond the largest frame.
    RawClient huge;
    ASSERT_TRUE(huge.Connect(server.GetPort()));
    ASSERT_TRUE(huge.SendRaw(std::string("\x00\xE8\x03\x00", 4)));
    closed = false;
    huge.Read(1, &closed);
    EXPECT_TRUE(closed);

    // A truncated request in a well-formed frame is answered with a refusal
    // and the connection stays usable.
    RawClient truncated;
    ASSERT_TRUE(truncated.Connect(server.GetPort()));
    SmartPtr<ByteBuffer> full = ListRequest(u"/g");
    ASSERT_TRUE(truncated.SendFrame(new ByteBuffer(full->GetData(), full->GetLength() - 3)));
    DirEntityList list;
    SmartPtr<ByteBuffer> reply = truncated.ReadFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(UnpackEntityListReply(reply.Get(), list), WS_CommServ_InvalidMessage);
    ASSERT_TRUE(truncated.SendFrame(full));
    reply = truncated.ReadFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(UnpackEntityListReply(reply.Get(), list), WS_Success);
    EXPECT_EQ(list.size(), 1u);

    // A half-sent frame followed by a disconnect leaves nothing behind.
    RawClient halfway;
    ASSERT_TRUE(halfway.Connect(server.GetPort()));
    ASSERT_TRUE(halfway.SendRaw(std::string("\x40\x00\x00\x00\x05\x02", 6)));
    halfway.Close();

    // The first client is served throughout, request after request.
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_TRUE(good.SendFrame(full));
        reply = good.ReadFrame();
        ASSERT_TRUE(reply);
        DirEntityList entities;
        EXPECT_EQ(UnpackEntityListReply(reply.Get(), entities), WS_Success);
    }
    server.Stop();
    EXPECT_FALSE(server.IsRunning());
}

TEST(DirServer, StartStopAndPortInUse)
{
    DirServer a;
    ASSERT_EQ(a.Start(0), WS_Success);
    EXPECT_NE(a.GetPort(), 0);
    EXPECT_EQ(a.Start(0), WS_Success);   // already running: nothing changes
    DirServer b;
    EXPECT_EQ(b.Start(a.GetPort()), WS_WSAEADDRINUSE);
    EXPECT_FALSE(b.IsRunning());
    a.Stop();
    a.Stop();
    DirServer badField;
    badField.SetLengthFieldSize(3);
    EXPECT_EQ(badField.Start(0), WS_RecvMsg_InvalidLengthFieldSize);
}
