// Socket operations run blocking on the caller's thread, over loopback.
#include "QORSocket/AcceptOp.h"
#include "QORSocket/CloseOp.h"
#include "QORSocket/ConnectOp.h"
#include "QORSocket/RecvBytesFromOp.h"
#include "QORSocket/RecvBytesOp.h"
#include "QORSocket/SendBytesOp.h"
#include "QORSocket/SendBytesToOp.h"
#include "SocketTestUtil.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

struct ChunkLog : public RefCount
{
    std::vector<uint32_t> received;
};

void OnChunk(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    RecvChunkOp* chunk = static_cast<RecvChunkOp*>(op.Get());
    static_cast<ChunkLog*>(param.Get())->received.push_back(chunk->GetRecvOp()->GetReceived());
}

SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> ChunkCompletion(const SmartPtr<ChunkLog>& log)
{
    return new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnChunk, SmartPtr<RefCount>(log.Get()));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class TempDir
{
public:
    TempDir()
    {
        mPath = std::filesystem::temp_directory_path() /
                ("qorapi_sockops_" + std::to_string(GetTickCount()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(mPath);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    std::string File(const std::string& name) const { return (mPath / name).string(); }

private:
    std::filesystem::path mPath;
};

} // namespace

TEST(BlockingConnect, RefusedAndMissingSocket)
{
    SmartPtr<AsyncSocket> s = new AsyncSocket();
    SmartPtr<ConnectOp> op = new ConnectOp(InetAddress("127.0.0.1", UnusedPort()), s);
    EXPECT_FALSE(op->RunBlock(kWait));
    EXPECT_EQ(op->GetStatus(), WS_WSAECONNREFUSED);
    EXPECT_EQ(s->ConnectBlock(InetAddress("127.0.0.1", UnusedPort()), kWait), WS_WSAECONNREFUSED);

    SmartPtr<ConnectOp> none = new ConnectOp(InetAddress("127.0.0.1", 1));
    EXPECT_FALSE(none->RunBlock(kWait));
    EXPECT_EQ(none->GetStatus(), WS_SocketOp_InvalidSocket);
}

TEST(BlockingConnect, ConnectAcceptAndClose)
{
    uint16_t port = 0;
    SmartPtr<AsyncSocket> listener = MakeListener(port);
    SmartPtr<AsyncSocket> client = new AsyncSocket();
    ASSERT_EQ(client->ConnectBlock(InetAddress("127.0.0.1", port), kWait), WS_Success);
    SmartPtr<AsyncSocket> server;
    ASSERT_EQ(listener->AcceptBlock(server, kWait), WS_Success);
    ASSERT_TRUE(server);
    EXPECT_EQ(server->GetDestAddr().GetPort(), client->GetLocalPort());

    // Nobody else connects: the accept times out.
    SmartPtr<AcceptOp> accept = new AcceptOp(listener);
    const uint32_t start = GetTickCount();
    EXPECT_FALSE(accept->RunBlock(100));
    EXPECT_EQ(accept->GetStatus(), WS_TimedOut);
    EXPECT_GE(TicksSince(start), 90u);
    EXPECT_TRUE(accept->Duplicate());

    SmartPtr<CloseOp> close = new CloseOp(client);
    EXPECT_TRUE(close->RunBlock(kWait));
    EXPECT_FALSE(client->IsValid());
    EXPECT_TRUE(close->RunBlock(kWait));   // closing a closed socket still succeeds
}

TEST(BlockingSend, FullSendBufferTimesOutWithPosition)
{
    auto [client, server] = Connected();
    std::string big(64u << 20, 'x');
    SmartPtr<SendBytesOp> op = new SendBytesOp(Bytes(big), client);
    EXPECT_FALSE(op->RunBlock(200));
    EXPECT_EQ(op->GetStatus(), WS_TimedOut);
    EXPECT_GT(op->GetSentCount(), 0u);
    EXPECT_LT(op->GetSentCount(), big.size());
}

TEST(BlockingSend, ClosedPeerGivesStatusNotSignal)
{
    auto [client, server] = Connected();
    server->Close();
    std::string block(1 << 20, 'y');
    WSStatus s = WS_Success;
    for (int i = 0; i < 50 && s == WS_Success; ++i)
        s = client->SendBytesBlock(Bytes(block), 1000);
    EXPECT_TRUE(s == WS_EPIPE || s == WS_WSAECONNRESET) << WSStatusToString(s);
}

TEST(BlockingRecv, PeerClosesBeforeOrAfterTheCount)
{
    // Count 0 reads everything until the close; a count not reached fails.
    const std::string data(3000, 'a');
    for (uint32_t count : {0u, 3001u})
    {
        auto [client, server] = Connected();
        ASSERT_EQ(SendAll(*client, data), WS_Success);
        client->Close();
        SmartPtr<ByteBuffer> out;
        EXPECT_EQ(server->RecvBytesBlock(out, count, kWait), count ? WS_AsyncSocket_Shutdown : WS_Success);
        EXPECT_TRUE(count ? !out : Str(out) == data);
    }
}

TEST(BlockingRecv, OpenConnectionEndsByTimeout)
{
    auto [client, server] = Connected();
    ASSERT_EQ(SendAll(*client, "ab"), WS_Success);
    SmartPtr<RecvBytesOp> op = new RecvBytesOp(0, server);
    EXPECT_FALSE(op->RunBlock(150));
    EXPECT_EQ(op->GetStatus(), WS_TimedOut);
    EXPECT_EQ(op->GetReceived(), 2u);
    EXPECT_FALSE(op->GetBytes());

    // A closed socket fails at once.
    server->Close();
    EXPECT_FALSE(op->RunBlock(kWait));
    EXPECT_EQ(op->GetStatus(), WS_AsyncSocket_InvalidSocket);
}

TEST(BlockingRecv, ExactCountAndRerun)
{
    auto [client, server] = Connected();
    ASSERT_EQ(SendAll(*client, "0123456789"), WS_Success);
    SmartPtr<RecvBytesOp> op = new RecvBytesOp(4, server);
    ASSERT_TRUE(op->RunBlock(kWait));
    EXPECT_EQ(Str(op->GetBytes()), "0123");
    ASSERT_TRUE(op->RunBlock(kWait));
    EXPECT_EQ(Str(op->GetBytes()), "4567");
    SmartPtr<SocketOp> dup = op->Duplicate();
    ASSERT_TRUE(dup);
    EXPECT_EQ(static_cast<RecvBytesOp*>(dup.Get())->GetCount(), 4u);
}

TEST(RecvProgress, StrictlyGreaterThanChunkSize)
{
    struct Case
    {
        uint32_t bytes;
        uint32_t chunk;
        size_t notifications;
        uint32_t left;
    };
    const Case cases[] = {{250, 100, 1, 50}, {100, 100, 0, 100}, {101, 100, 1, 1}, {3, 0, 1, 0}};
    for (const Case& c : cases)
    {
        auto [client, server] = Connected();
        ASSERT_EQ(SendAll(*client, std::string(c.bytes, 'p')), WS_Success);
        server->WaitForRead(kWait);
        SmartPtr<ChunkLog> log = new ChunkLog;
        SmartPtr<RecvBytesOp> op = new RecvBytesOp(c.bytes, server);
        op->SetChunkCompletion(ChunkCompletion(log), c.chunk);
        ASSERT_TRUE(op->RunBlock(kWait)) << c.bytes;
        EXPECT_EQ(log->received.size(), c.notifications) << c.bytes << "/" << c.chunk;
        EXPECT_EQ(op->GetBytesSinceChunk(), c.left) << c.bytes << "/" << c.chunk;
    }
}

TEST(RecvToFile, WritesAppendsAndStampsTime)
{
    TempDir dir;
    const std::string path = dir.File("out.bin");
    {
        auto [client, server] = Connected();
        std::string data(5000, 'f');
        data[4999] = 'z';
        ASSERT_EQ(SendAll(*client, data), WS_Success);
        client->Close();
        SmartPtr<RecvBytesOp> op = new RecvBytesOp(0, server);
        op->SetFilePath(path);
        op->SetFileTime(1000000000u);
        ASSERT_TRUE(op->RunBlock(kWait));
        EXPECT_FALSE(op->GetBytes());
        EXPECT_TRUE(ReadFile(path) == data);
        const auto written = std::filesystem::last_write_time(path);
        const auto sys = std::chrono::time_point_cast<std::chrono::seconds>(
            written - std::filesystem::file_time_type::clock::now() + std::chrono::system_clock::now());
        EXPECT_NEAR(static_cast<double>(sys.time_since_epoch().count()), 1000000000.0, 5.0);
    }
    {
        auto [client, server] = Connected();
        ASSERT_EQ(SendAll(*client, "tail"), WS_Success);
        SmartPtr<RecvBytesOp> op = new RecvBytesOp(4, server);
        op->SetFilePath(path, true);
        ASSERT_TRUE(op->RunBlock(kWait));
        EXPECT_EQ(ReadFile(path).substr(5000), "tail");
    }
}

TEST(RecvToFile, CallersFileStaysOpenAndBadPathFails)
{
    TempDir dir;
    auto [client, server] = Connected();
    ASSERT_EQ(SendAll(*client, "12345678"), WS_Success);

    const std::string path = dir.File("mine.bin");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    SmartPtr<RecvBytesOp> op = new RecvBytesOp(4, server);
    op->SetFile(f);
    ASSERT_TRUE(op->RunBlock(kWait));
    EXPECT_GE(std::fputs("!", f), 0);   // still open
    std::fclose(f);
    EXPECT_EQ(ReadFile(path), "1234!");

    SmartPtr<RecvBytesOp> bad = new RecvBytesOp(4, server);
    bad->SetFilePath(dir.File("missing/dir/x.bin"));
    EXPECT_FALSE(bad->RunBlock(kWait));
    EXPECT_EQ(bad->GetStatus(), WS_FailedToOpenFile);
}

TEST(RecvToFile, FailedWriteIsReported)
{
    // A caller's stream open only for reading refuses every write, on every
    // platform; a device that is always full (where there is one) refuses them
    // on the op's own file.
    TempDir dir;
    const std::string path = dir.File("readonly.bin");
    std::ofstream(path, std::ios::binary).put('x');
    for (int full = 0; full < 2; ++full)
    {
        if (full && !std::filesystem::exists("/dev/full"))
            continue;
        auto [client, server] = Connected();
        ASSERT_EQ(SendAll(*client, std::string(20000, 'w')), WS_Success);
        client->Close();
        SmartPtr<RecvBytesOp> op = new RecvBytesOp(0, server);
        FILE* f = full ? nullptr : std::fopen(path.c_str(), "rb");
        if (full)
            op->SetFilePath("/dev/full");
        else
        {
            ASSERT_TRUE(f);
            op->SetFile(f);
        }
        EXPECT_FALSE(op->RunBlock(kWait)) << full;
        EXPECT_EQ(op->GetStatus(), WS_FailedToWriteToFile) << full;
        if (f)
            std::fclose(f);
    }
}

TEST(Datagrams, SendToRecvFromAndOverLong)
{
    SmartPtr<AsyncSocket> a = new AsyncSocket(SocketType::Datagram);
    SmartPtr<AsyncSocket> b = new AsyncSocket(SocketType::Datagram);
    ASSERT_EQ(b->Bind(0), WS_Success);
    const InetAddress bAddr("127.0.0.1", b->GetLocalPort());

    EXPECT_EQ(a->SendBytesToBlock(Bytes("hello"), bAddr, kWait), WS_Success);
    SmartPtr<ByteBuffer> got;
    InetAddress from;
    EXPECT_EQ(b->RecvBytesFromBlock(got, 64, from, kWait), WS_Success);
    EXPECT_EQ(Str(got), "hello");
    EXPECT_EQ(from.GetPort(), a->GetLocalPort());

    EXPECT_EQ(a->SendBytesToBlock(Bytes(std::string(300, 'L')), bAddr, kWait), WS_Success);
    SmartPtr<RecvBytesFromOp> small = new RecvBytesFromOp(100, b);
    EXPECT_FALSE(small->RunBlock(kWait));
    EXPECT_EQ(small->GetStatus(), WS_WSAEMSGSIZE);
    EXPECT_FALSE(small->GetBytes());

    // Nothing more arrives: the receive times out; it can run again.
    EXPECT_FALSE(small->RunBlock(100));
    EXPECT_EQ(small->GetStatus(), WS_TimedOut);
    EXPECT_TRUE(small->Duplicate());
}

TEST(Datagrams, ConnectedSocketUsesItsPeer)
{
    SmartPtr<AsyncSocket> a = new AsyncSocket(SocketType::Datagram);
    SmartPtr<AsyncSocket> b = new AsyncSocket(SocketType::Datagram);
    SmartPtr<AsyncSocket> other = new AsyncSocket(SocketType::Datagram);
    ASSERT_EQ(b->Bind(0), WS_Success);
    ASSERT_EQ(other->Bind(0), WS_Success);
    ASSERT_EQ(a->Connect(InetAddress("127.0.0.1", b->GetLocalPort())), WS_Success);

    // The address of the operation is ignored: the datagram goes to b.
    EXPECT_EQ(a->SendBytesToBlock(Bytes("to-b"), InetAddress("127.0.0.1", other->GetLocalPort()), kWait), WS_Success);
    SmartPtr<ByteBuffer> got;
    InetAddress from;
    EXPECT_EQ(b->RecvBytesFromBlock(got, 64, from, kWait), WS_Success);
    EXPECT_EQ(Str(got), "to-b");
    EXPECT_EQ(other->RecvBytesFromBlock(got, 64, from, 50), WS_TimedOut);

    // Receiving on the connected socket reports its peer as the sender.
    EXPECT_EQ(b->SendBytesToBlock(Bytes("back"), InetAddress("127.0.0.1", a->GetLocalPort()), kWait), WS_Success);
    EXPECT_EQ(a->RecvBytesFromBlock(got, 64, from, kWait), WS_Success);
    EXPECT_EQ(Str(got), "back");
    EXPECT_EQ(from.GetPort(), b->GetLocalPort());
}
