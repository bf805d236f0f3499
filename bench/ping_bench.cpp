// Pings and pushed messages over loopback.
//
// MultiPing: one MultiPingOp over 1000 local UDP responders (blocking and
// asynchronous), against a plain POSIX loop that sends the same 1000 ping
// datagrams in batches of 20 and waits for each batch's replies.
// Push: a ServerConnection receiving pushed 64-byte messages, against raw
// recv on a plain socket reading the same stream of frames from the same
// server: frame by frame (two recv calls per message, as the library's frame
// reader does), and in 64 KiB reads.
#include "QORAPI.h"
#include "QORSocket/MultiPingOp.h"
#include "QORSocket/ServerConnection.h"
#include "platform/Tick.h"
#include "service/PingResponder.h"
#include "service/PushServer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;

namespace {

const uint32_t kServers = 1000;
const uint32_t kBatch = 20;
const uint32_t kPushCount = 20000;
const uint32_t kPushSize = 64;

PingResponder& Responders()
{
    static PingResponder* responder = [] {
        PingResponder* r = new PingResponder();
        r->SetUdpCount(kServers);
        if (r->Start() != WS_Success)
            std::abort();
        return r;
    }();
    return *responder;
}

void FillOp(MultiPingOp& op)
{
    PingResponder& r = Responders();
    for (uint32_t i = 0; i < kServers; ++i)
        op.AddServer(InetAddress("127.0.0.1", r.GetUdpPort(i)));
}

uint32_t Answered(const MultiPingOp& op)
{
    uint32_t n = 0;
    for (const MultiPingStructPtr& s : op.GetResults())
        if (s->mPingTime != 0xFFFFFFFFu)
            ++n;
    return n;
}

void BM_MultiPing_Block(benchmark::State& state)
{
    Responders();
    uint32_t answered = 0;
    for (auto _ : state)
    {
        SmartPtr<MultiPingOp> op = new MultiPingOp();
        FillOp(*op);
        op->RunBlock(60000);
        answered = Answered(*op);
        if (op->GetStatus() != WS_Success || answered != kServers)
        {
            state.SkipWithError("not every server answered");
            break;
        }
    }
    state.counters["answered"] = answered;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kServers);
}

struct DoneCount : public RefCount
{
    std::atomic<int> count{0};
};

void OnDone(SmartPtr<AsyncOp>, SmartPtr<RefCount> param)
{
    static_cast<DoneCount*>(param.Get())->count.fetch_add(1);
}

void BM_MultiPing_Async(benchmark::State& state)
{
    Responders();
    QORAPICore core(true, true, true);
    uint32_t answered = 0;
    for (auto _ : state)
    {
        SmartPtr<MultiPingOp> op = new MultiPingOp();
        FillOp(*op);
        SmartPtr<DoneCount> done = new DoneCount();
        op->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnDone, done));
        op->RunAsync(60000);
        const uint32_t start = GetTickCount();
        while (done->count.load() == 0 && TicksSince(start) < 60000)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        answered = Answered(*op);
        if (op->GetStatus() != WS_Success || answered != kServers)
        {
            state.SkipWithError("not every server answered");
            break;
        }
    }
    state.counters["answered"] = answered;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kServers);
}

// The same pings with plain POSIX calls: batches of 20, each waited for
// until all replies are in (3 s at most).
void BM_MultiPing_PlainLoop(benchmark::State& state)
{
    PingResponder& r = Responders();
    std::vector<sockaddr_in> addrs(kServers);
    for (uint32_t i = 0; i < kServers; ++i)
    {
        std::memset(&addrs[i], 0, sizeof(sockaddr_in));
        addrs[i].sin_family = AF_INET;
        addrs[i].sin_port = htons(r.GetUdpPort(i));
        addrs[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    uint32_t answered = 0;
    uint32_t nextId = 1;
    for (auto _ : state)
    {
        answered = 0;
        for (uint32_t first = 0; first < kServers; first += kBatch)
        {
            const uint32_t n = std::min(kBatch, kServers - first);
            std::vector<uint32_t> ids(n);
            for (uint32_t k = 0; k < n; ++k)
            {
                ids[k] = (nextId++) & 0x7FFF;
                const uint8_t ping[8] = {3, 1, 5, static_cast<uint8_t>(ids[k]), static_cast<uint8_t>(ids[k] >> 8), 0,
                                         0, 0};
                sendto(fd, ping, sizeof(ping), 0, reinterpret_cast<const sockaddr*>(&addrs[first + k]),
                       sizeof(sockaddr_in));
            }
            uint32_t got = 0;
            const uint32_t start = GetTickCount();
            while (got < n && TicksSince(start) < 3000)
            {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0)
                    continue;
                uint8_t reply[64];
                sockaddr_in from;
                socklen_t len = sizeof(from);
                const ssize_t r2 =
                    recvfrom(fd, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (r2 < 7 || reply[0] != 3 || reply[1] != 1 || reply[2] != 6)
                    continue;
                const uint32_t id = reply[3] | (reply[4] << 8) | (reply[5] << 16) | (static_cast<uint32_t>(reply[6]) << 24);
                const uint32_t port = ntohs(from.sin_port);
                for (uint32_t k = 0; k < n; ++k)
                    if (ntohs(addrs[first + k].sin_port) == port && ids[k] == id)
                    {
                        ++got;
                        break;
                    }
            }
            answered += got;
        }
        if (answered != kServers)
        {
            state.SkipWithError("not every server answered");
            break;
        }
    }
    close(fd);
    state.counters["answered"] = answered;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kServers);
}

class CountingConnection : public ServerConnection
{
public:
    std::atomic<uint32_t> mCount{0};

protected:
    void MsgReceived(const SmartPtr<ByteBuffer>& message) override
    {
        if (ByteBuffer::LengthOf(message.Get()) == kPushSize)
            mCount.fetch_add(1, std::memory_order_relaxed);
    }
};

void WaitClients(PushServer& server, uint32_t n)
{
    const uint32_t start = GetTickCount();
    while (server.GetClientCount() != n && TicksSince(start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void BM_Push_ServerConnection(benchmark::State& state)
{
    QORAPICore core(true, true, true);
    PushServer server;
    if (server.Start() != WS_Success)
    {
        state.SkipWithError("server");
        return;
    }
    SmartPtr<CountingConnection> conn = new CountingConnection();
    conn->SetKeepAliveInterval(0);
    if (conn->ConnectBlock(InetAddress("127.0.0.1", server.GetPort()), 5000) != WS_Success)
    {
        state.SkipWithError("connect");
        return;
    }
    WaitClients(server, 1);
    const std::string payload(kPushSize, 'p');
    uint32_t expected = 0;
    for (auto _ : state)
    {
        expected += kPushCount;
        server.Push(payload, kPushCount);
        const uint32_t start = GetTickCount();
        while (conn->mCount.load(std::memory_order_relaxed) < expected && TicksSince(start) < 30000)
            std::this_thread::yield();
        if (conn->mCount.load() < expected)
        {
            state.SkipWithError("messages lost");
            break;
        }
    }
    conn->CloseAndClear();
    server.Stop();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPushCount);
}

// Raw recv of the same frames: large reads, frames counted as they complete.
void BM_Push_RawRecv(benchmark::State& state)
{
    PushServer server;
    if (server.Start() != WS_Success)
    {
        state.SkipWithError("server");
        return;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.GetPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        state.SkipWithError("connect");
        return;
    }
    WaitClients(server, 1);
    const std::string payload(kPushSize, 'p');
    const size_t frame = kPushSize + 4;
    std::vector<char> buf(65536);
    size_t carry = 0;
    for (auto _ : state)
    {
        server.Push(payload, kPushCount);
        uint32_t count = 0;
        while (count < kPushCount)
        {
            const ssize_t r = recv(fd, buf.data(), buf.size(), 0);
            if (r <= 0)
                break;
            carry += static_cast<size_t>(r);
            count += static_cast<uint32_t>(carry / frame);
            carry %= frame;
        }
        if (count < kPushCount)
        {
            state.SkipWithError("messages lost");
            break;
        }
    }
    close(fd);
    server.Stop();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPushCount);
}

// Raw recv frame by frame: the length field, then the message, as a frame
// reader without read-ahead does it (two recv calls per message).
void BM_Push_RawRecvPerFrame(benchmark::State& state)
{
    PushServer server;
    if (server.Start() != WS_Success)
    {
        state.SkipWithError("server");
        return;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.GetPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        state.SkipWithError("connect");
        return;
    }
    WaitClients(server, 1);
    const std::string payload(kPushSize, 'p');
    auto readExact = [fd](char* buf, size_t n) {
        size_t got = 0;
        while (got < n)
        {
            const ssize_t r = recv(fd, buf + got, n - got, 0);
            if (r <= 0)
                return false;
            got += static_cast<size_t>(r);
        }
        return true;
    };
    for (auto _ : state)
    {
        server.Push(payload, kPushCount);
        uint32_t count = 0;
        char field[4];
        char body[kPushSize];
        while (count < kPushCount && readExact(field, 4))
        {
            const uint32_t length = static_cast<uint8_t>(field[0]) | (static_cast<uint8_t>(field[1]) << 8);
            if (length != kPushSize + 4 || !readExact(body, kPushSize))
                break;
            ++count;
        }
        if (count < kPushCount)
        {
            state.SkipWithError("messages lost");
            break;
        }
    }
    close(fd);
    server.Stop();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPushCount);
}

} // namespace

BENCHMARK(BM_MultiPing_PlainLoop)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_MultiPing_Block)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_MultiPing_Async)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Push_RawRecvPerFrame)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Push_RawRecv)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Push_ServerConnection)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

BENCHMARK_MAIN();
