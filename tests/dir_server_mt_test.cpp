// The local directory server against raw clients: framing faults end only the
// faulty connection; malformed requests are answered; idle, half-sent and
// hoarding clients are closed by the limits; other clients are served.
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "dir/DirMessage.h"
#include "dir/DirReply.h"
#include "dir/GetEntityRequest.h"
#include "platform/Tick.h"
#include "service/DirServer.h"
#include "SocketTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

// A client connected to the server on loopback, every wait bounded.
struct RawClient
{
    explicit RawClient(uint16_t port)
    {
        EXPECT_EQ(socket->ConnectBlock(InetAddress(0x7F000001u, port), kWait), WS_Success);
    }
    bool SendRaw(const std::string& bytes) { return SendAll(*socket, bytes) == WS_Success; }
    // Sends message in a frame and returns the reply frame's message (null when none came).
    SmartPtr<ByteBuffer> Ask(const std::string& message)
    {
        SmartPtr<ByteBuffer> reply;
        if (!SendRaw(Frame(message, 4)) || socket->RecvMsgBlock(reply, kWait) != WS_Success)
            return nullptr;
        return reply;
    }
    // Whether the server ends the connection without sending anything.
    bool Closed()
    {
        SmartPtr<ByteBuffer> reply;
        const WSStatus s = socket->RecvMsgBlock(reply, kWait);
        return s != WS_Success && s != WS_TimedOut && !reply;
    }

    SmartPtr<AsyncSocket> socket = new AsyncSocket();
};

SmartPtr<ByteBuffer> ListRequest(const std::u16string& path)
{
    DirMessageWriter w(0);
    w.Begin(DirMsg_GetDir);
    GetEntityRequest(path).Pack(w, GetEntityRequest::Form_Single);
    return w.Finish();
}

// A good client connects, lists /g and gets its one service.
void ExpectServed(uint16_t port)
{
    RawClient good(port);
    SmartPtr<ByteBuffer> reply = good.Ask(Str(ListRequest(u"/g")));
    ASSERT_TRUE(reply);
    DirEntityList list;
    EXPECT_EQ(UnpackEntityListReply(reply.Get(), list), WS_Success);
    EXPECT_EQ(list.size(), 1u);
}

const std::string kService("\x10\x00\x7f\x00\x00\x01", 6);

} // namespace

TEST(DirServer, FaultyClientsDoNotDisturbOthers)
{
    DirServer server;
    ASSERT_EQ(server.Start(0), WS_Success);
    ASSERT_EQ(server.GetEngine().AddService(u"/g", u"s", std::string("\x10\x00\x7f\x00\x00\x01", 6)), WS_Success);

    RawClient good(server.GetPort());

    // An impossible length (less than the field itself) ends that connection;
    // so does a length beyond the largest frame.
    for (const std::string& field : {std::string("\x02\x00\x00\x00", 4), std::string("\x00\xE8\x03\x00", 4)})
    {
        RawClient bad(server.GetPort());
        ASSERT_TRUE(bad.SendRaw(field));
        EXPECT_TRUE(bad.Closed());
    }

    // A truncated request in a well-formed frame is answered with a refusal
    // and the connection stays usable.
    RawClient truncated(server.GetPort());
    const std::string full = Str(ListRequest(u"/g"));
    DirEntityList list;
    SmartPtr<ByteBuffer> reply = truncated.Ask(full.substr(0, full.size() - 3));
    ASSERT_TRUE(reply);
    EXPECT_EQ(UnpackEntityListReply(reply.Get(), list), WS_CommServ_InvalidMessage);
    reply = truncated.Ask(full);
    ASSERT_TRUE(reply);
    EXPECT_EQ(UnpackEntityListReply(reply.Get(), list), WS_Success);
    EXPECT_EQ(list.size(), 1u);

    // A half-sent frame followed by a disconnect leaves nothing behind.
    {
        RawClient halfway(server.GetPort());
        ASSERT_TRUE(halfway.SendRaw(std::string("\x40\x00\x00\x00\x05\x02", 6)));
        halfway.socket->Close();
    }

    // The first client is served throughout, request after request.
    for (int i = 0; i < 3; ++i)
    {
        reply = good.Ask(full);
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

TEST(DirServer, ListensOnLoopbackByDefault)
{
    DirServer server;
    EXPECT_EQ(server.GetBindAddress(), 0x7F000001u);
    ASSERT_EQ(server.Start(0), WS_Success);
    EXPECT_EQ(server.GetListenAddress().GetIP(), 0x7F000001u);
    EXPECT_EQ(server.GetListenAddress().GetPort(), server.GetPort());
    server.Stop();
    EXPECT_FALSE(server.GetListenAddress().IsValid());
}

// More idle and half-frame clients than the connection cap: a good client is
// served throughout, and the time limits close every one of them.
TEST(DirServerLimits, IdleAndHalfFrameClientsDoNotLockOthersOut)
{
    const int kIdle = 150;
    const int kHalf = 150;
    if (SockRaiseFileLimit(4 * (kIdle + kHalf) + 200) < static_cast<uint64_t>(4 * (kIdle + kHalf) + 200))
        GTEST_SKIP() << "open-file limit too low";
    DirServer server;
    server.SetMaxConnections(128);
    DirServer::ClientLimits limits;
    limits.mIdleMs = 400;
    limits.mPartialFrameMs = 400;
    server.SetClientLimits(limits);
    ASSERT_EQ(server.Start(0), WS_Success);
    ASSERT_EQ(server.GetEngine().AddService(u"/g", u"s", kService), WS_Success);

    const std::string request = Frame(Str(ListRequest(u"/g")), 4);
    std::vector<std::unique_ptr<RawClient>> bad;
    for (int i = 0; i < kIdle + kHalf; ++i)
    {
        bad.emplace_back(new RawClient(server.GetPort()));
        if (i >= kIdle)
            bad.back()->SendRaw(request.substr(0, request.size() / 2));
        if (i % 50 == 49)
            ExpectServed(server.GetPort());
    }
    ExpectServed(server.GetPort());
    EXPECT_GE(server.GetDroppedCount(), static_cast<uint32_t>(kIdle + kHalf - 128));
    EXPECT_LE(server.GetOpenConnectionCount(), 128u);

    // The limits close the rest; each client sees its connection end.
    EXPECT_TRUE(WaitUntil([&] { return server.GetOpenConnectionCount() == 0; }));
    for (auto& c : bad)
        EXPECT_TRUE(c->Closed());
    ExpectServed(server.GetPort());
}

// Clients that each park a large unfinished frame cannot make the server hold
// more than its bound for all connections together.
TEST(DirServerLimits, BytesHeldForAllConnectionsAreBounded)
{
    const int kClients = 40;
    const uint32_t kParked = 100000;   // of a frame announcing 200000 bytes
    DirServer server;
    DirServer::ClientLimits limits;
    limits.mMaxHeldBytes = 1u << 20;
    server.SetClientLimits(limits);
    ASSERT_EQ(server.Start(0), WS_Success);
    ASSERT_EQ(server.GetEngine().AddService(u"/g", u"s", kService), WS_Success);

    std::vector<std::unique_ptr<RawClient>> bad;
    for (int i = 0; i < kClients; ++i)
    {
        bad.emplace_back(new RawClient(server.GetPort()));
        bad.back()->SendRaw(LengthField(200000, 4) + std::string(kParked - 4, 'x'));   // may be cut off
    }
    const uint32_t mostKept = limits.mMaxHeldBytes / kParked;
    EXPECT_TRUE(WaitUntil([&] { return server.GetDroppedCount() >= kClients - mostKept; }));
    EXPECT_LE(server.GetOpenConnectionCount(), mostKept);
    ExpectServed(server.GetPort());
}
