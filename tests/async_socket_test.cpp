// AsyncSocket and InetAddress over real loopback sockets.
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "platform/Tick.h"
#include "SocketTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

TEST(InetAddress, TextForms)
{
    InetAddress a;
    EXPECT_FALSE(a.IsValid());
    EXPECT_FALSE(a.SetFromText("10.0.0.1"));
    EXPECT_FALSE(a.IsValid());
    EXPECT_TRUE(a.SetFromText("10.0.0.1:"));
    EXPECT_EQ(a.GetPort(), 0);
    EXPECT_TRUE(a.Set("10.0.0.1:80", 99));
    EXPECT_EQ(a.GetPort(), 80);
    EXPECT_EQ(a.GetText(false), "10.0.0.1:80");
    EXPECT_EQ(a.GetIP(), 0x0A000001u);
    EXPECT_TRUE(a.SetFromText("10.0.0.1:70000"));   // cut to 16 bits
    EXPECT_EQ(a.GetPort(), 70000 & 0xFFFF);
    EXPECT_TRUE(InetAddress("localhost", 5).IsValid());
    EXPECT_FALSE(InetAddress("no-such-host.invalid", 5).IsValid());
}

TEST(InetAddress, KeepsHostNameOnlyWhenAsked)
{
    InetAddress a;
    a.SetKeepHostName(true);
    ASSERT_TRUE(a.Set("localhost", 7));
    EXPECT_EQ(a.GetHost(true), "localhost");
    EXPECT_EQ(a.GetHost(false), "127.0.0.1");
    InetAddress b("127.0.0.1", 7);
    EXPECT_EQ(b.GetHost(true), "127.0.0.1");
    EXPECT_TRUE(a == b);   // names take no part
}

TEST(InetAddress, SixBytesAndOrdering)
{
    const uint8_t wire[6] = {0x1F, 0x90, 192, 168, 1, 2};
    InetAddress a;
    a.SetSixBytes(wire);
    EXPECT_TRUE(a.IsValid());
    EXPECT_EQ(a.GetPort(), 8080);
    EXPECT_EQ(a.GetText(), "192.168.1.2:8080");
    uint8_t back[6];
    a.GetSixBytes(back);
    EXPECT_EQ(0, memcmp(back, wire, 6));

    // Port compares first, in network byte order.
    InetAddress low(0xFF000000u, 0x0001);
    InetAddress high(0x00000001u, 0x0100);
    EXPECT_TRUE(low < high);
    EXPECT_FALSE(high < low);
    EXPECT_TRUE(InetAddress(0x01020304u, 9) != InetAddress(0x01020305u, 9));
}

TEST(AsyncSocket, ClosedSocketCalls)
{
    SmartPtr<AsyncSocket> s = new AsyncSocket(SocketType::Stream);
    char buf[4];
    EXPECT_FALSE(s->IsValid());
    EXPECT_EQ(s->GetLocalPort(), 0);
    EXPECT_EQ(s->Send("a", 1), WS_AsyncSocket_InvalidSocket);
    EXPECT_EQ(s->Recv(buf, 4), WS_AsyncSocket_InvalidSocket);
    EXPECT_EQ(s->Listen(), WS_AsyncSocket_InvalidSocket);
    EXPECT_EQ(s->WaitForConnect(0), WS_AsyncSocket_InvalidSocket);
    EXPECT_EQ(s->SendTo("a", 1, InetAddress("127.0.0.1", 9)), WS_AsyncSocket_StreamNotAllowed);
    EXPECT_EQ(s->RecvFrom(buf, 4), WS_AsyncSocket_StreamNotAllowed);
    s->WaitForRead(0);
    s->Close();
    EXPECT_FALSE(s->IsConnected());

    SmartPtr<AsyncSocket> d = new AsyncSocket(SocketType::Datagram);
    EXPECT_EQ(d->Open(), WS_Success);
    EXPECT_EQ(d->Listen(), WS_AsyncSocket_DatagramNotAllowed);
}

TEST(AsyncSocket, StreamSendRecvAndShutdown)
{
    auto [client, server] = Connected();
    ASSERT_TRUE(server);
    EXPECT_TRUE(server->IsConnected());
    EXPECT_EQ(server->GetDestAddr().GetHost(), "127.0.0.1");
    EXPECT_EQ(server->GetDestAddr().GetPort(), client->GetLocalPort());
    EXPECT_EQ(client->SetNagling(false), WS_Success);

    // Nothing there yet: would block.
    char buf[16];
    uint32_t got = 99;
    EXPECT_EQ(server->Recv(buf, sizeof(buf), &got), WS_TimedOut);

    // A send leaves the sender waiting for a reply until bytes come in.
    EXPECT_FALSE(client->IsAwaitingReply());
    EXPECT_EQ(client->Send("hello", 5), WS_Success);
    EXPECT_TRUE(client->IsAwaitingReply());
    server->WaitForRead(kWait);
    // Fewer bytes than asked on a stream: WS_TimedOut with the count stored.
    EXPECT_EQ(server->Recv(buf, sizeof(buf), &got), WS_TimedOut);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_FALSE(server->IsAwaitingReply());
    EXPECT_EQ(server->Send("hi", 2), WS_Success);
    client->WaitForRead(kWait);
    EXPECT_EQ(client->Recv(buf, sizeof(buf), &got), WS_TimedOut);
    EXPECT_EQ(got, 2u);
    EXPECT_FALSE(client->IsAwaitingReply());

    std::string payload(100000, 'q');
    ASSERT_EQ(SendAll(*client, payload), WS_Success);
    EXPECT_TRUE(RecvUpTo(*server, 100000) == payload);

    client->Close();
    EXPECT_FALSE(client->IsValid());
    server->WaitForRead(kWait);
    EXPECT_EQ(server->Recv(buf, sizeof(buf), &got), WS_AsyncSocket_Shutdown);
}

TEST(AsyncSocket, FullSendBufferGivesTimedOut)
{
    auto [client, server] = Connected();
    std::vector<uint8_t> block(1 << 16, 0xAB);
    WSStatus s = WS_Success;
    uint64_t total = 0;
    for (int i = 0; i < 10000 && s == WS_Success; ++i)
    {
        uint32_t sent = 0;
        s = client->Send(block.data(), static_cast<uint32_t>(block.size()), &sent);
        total += sent;
    }
    EXPECT_EQ(s, WS_TimedOut);
    EXPECT_GT(total, 0u);
}

TEST(AsyncSocket, RefusedConnect)
{
    SmartPtr<AsyncSocket> s = new AsyncSocket(SocketType::Stream);
    WSStatus st = s->Connect(InetAddress("127.0.0.1", UnusedPort()));
    const uint32_t start = GetTickCount();
    while (st == WS_TimedOut && TicksSince(start) < kWait)
        st = s->WaitForConnect(100);
    EXPECT_EQ(st, WS_WSAECONNREFUSED);
    EXPECT_TRUE(s->IsConnected());   // set before the outcome is known
}

TEST(AsyncSocket, AcceptWithoutPendingAndOnClosed)
{
    uint16_t port;
    SmartPtr<AsyncSocket> listener = MakeListener(port);
    SmartPtr<AsyncSocket> out;
    EXPECT_EQ(listener->Accept(out), WS_TimedOut);
    EXPECT_FALSE(out);
    listener->Close();
    EXPECT_EQ(listener->Accept(out), WS_WSAENOTSOCK);
    EXPECT_FALSE(out);
    // The blocking operation makes one attempt and reports the same.
    EXPECT_EQ(listener->AcceptBlock(out, 1000), WS_WSAENOTSOCK);
    EXPECT_FALSE(out);
}

TEST(AsyncSocket, Datagrams)
{
    SmartPtr<AsyncSocket> a = new AsyncSocket(SocketType::Datagram);
    SmartPtr<AsyncSocket> b = new AsyncSocket(SocketType::Datagram);
    ASSERT_EQ(b->Bind(0), WS_Success);
    const InetAddress bAddr("127.0.0.1", b->GetLocalPort());

    // SendTo on a closed datagram socket opens it.
    EXPECT_EQ(a->SendTo("ping", 4, bAddr), WS_Success);
    EXPECT_TRUE(a->IsValid());
    b->WaitForRead(kWait);
    char buf[64];
    InetAddress from;
    uint32_t got = 0;
    ASSERT_EQ(b->RecvFrom(buf, sizeof(buf), &from, &got), WS_Success);
    EXPECT_EQ(std::string(buf, got), "ping");
    EXPECT_EQ(from.GetPort(), a->GetLocalPort());

    // Over-long datagram: WS_WSAEMSGSIZE, as Windows reports it.
    std::string big(100, 'z');
    EXPECT_EQ(a->SendTo(big.data(), 100, bAddr), WS_Success);
    b->WaitForRead(kWait);
    EXPECT_EQ(b->RecvFrom(buf, 10, &from, &got), WS_WSAEMSGSIZE);

    // Connected datagram socket: Recv, with the truncation rule too.
    ASSERT_EQ(a->Connect(bAddr), WS_Success);
    EXPECT_TRUE(a->IsConnected());
    EXPECT_EQ(b->SendTo("0123456789", 10, InetAddress("127.0.0.1", a->GetLocalPort())), WS_Success);
    a->WaitForRead(kWait);
    EXPECT_EQ(a->Recv(buf, 4, &got), WS_WSAEMSGSIZE);
    EXPECT_EQ(b->SendTo("abc", 3, InetAddress("127.0.0.1", a->GetLocalPort())), WS_Success);
    a->WaitForRead(kWait);
    EXPECT_EQ(a->Recv(buf, sizeof(buf), &got), WS_Success);   // short datagram is success
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(a->Disconnect(), WS_Success);
    EXPECT_TRUE(a->IsValid());
}

TEST(AsyncSocket, TransformOrder)
{
    std::string log;
    SmartPtr<AsyncSocket> s = new AsyncSocket(SocketType::Stream);
    s->AddTransform(new TagTransform('A', &log));
    s->AddTransform(std::unique_ptr<MsgTransform>(new TagTransform('B', &log)));
    SmartPtr<ByteBuffer> m = new ByteBuffer("m", 1);
    EXPECT_EQ(s->ApplySendTransforms(m), WS_Success);
    EXPECT_EQ(m->ToString(), "mAB");
    EXPECT_EQ(s->ApplyRecvTransforms(m), WS_Success);
    EXPECT_EQ(log, "ABba");
    // The first failure stops the chain.
    log.clear();
    m = new ByteBuffer("X", 1);
    EXPECT_EQ(s->ApplyRecvTransforms(m), WS_InvalidMessage);
    EXPECT_EQ(log, "b");
    s->ClearTransforms();
    EXPECT_EQ(s->GetTransformCount(), 0u);
}

TEST(AsyncSocket, SetTypeAndDuplicate)
{
    SmartPtr<AsyncSocket> s = new AsyncSocket(SocketType::Stream);
    ASSERT_EQ(s->Open(), WS_Success);
    s->SetType(SocketType::Stream);
    EXPECT_TRUE(s->IsValid());
    s->SetType(SocketType::Datagram);
    EXPECT_FALSE(s->IsValid());
    SmartPtr<AsyncSocket> d = s->Duplicate();
    EXPECT_EQ(d->GetType(), SocketType::Datagram);
    EXPECT_FALSE(d->IsValid());
    EXPECT_EQ(StartSockets(), WS_Success);
    EXPECT_EQ(StopSockets(), WS_Success);
}
