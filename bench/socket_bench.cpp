// Request/reply round trips over loopback: plain blocking POSIX send/recv as
// the baseline, the library's blocking calls, asynchronous operations through
// SocketThreadEx and the pump thread, and 1000/5000/10000 concurrent connections
// served by one SocketThreadEx.
#include "QORAPI.h"
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "QORSocket/SocketThreadEx.h"
#include "common/Completion.h"
#include "platform/Tick.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;

namespace {

std::string MakeFrame(uint32_t payload)
{
    const uint32_t total = payload + 4;
    std::string f(total, 'b');
    f[0] = static_cast<char>(total & 0xFF);
    f[1] = static_cast<char>((total >> 8) & 0xFF);
    f[2] = static_cast<char>((total >> 16) & 0xFF);
    f[3] = static_cast<char>((total >> 24) & 0xFF);
    return f;
}

bool ReadExact(int fd, char* buf, size_t n)
{
    size_t got = 0;
    while (got < n)
    {
        const ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool WriteExact(int fd, const char* buf, size_t n)
{
    size_t put = 0;
    while (put < n)
    {
        const ssize_t r = send(fd, buf + put, n - put, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        put += static_cast<size_t>(r);
    }
    return true;
}

void NoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// A blocking POSIX echo server for one connection: reads frames of a known
// size and sends each back.
class EchoServer
{
public:
    explicit EchoServer(size_t frameSize) : mFrameSize(frameSize)
    {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(mListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        listen(mListen, 4);
        socklen_t len = sizeof(sa);
        getsockname(mListen, reinterpret_cast<sockaddr*>(&sa), &len);
        mPort = ntohs(sa.sin_port);
        mThread = std::thread([this]() {
            const int fd = accept(mListen, nullptr, nullptr);
            if (fd < 0)
                return;
            NoDelay(fd);
            std::vector<char> buf(mFrameSize);
            while (ReadExact(fd, buf.data(), buf.size()) && WriteExact(fd, buf.data(), buf.size()))
            {
            }
            close(fd);
        });
    }
    ~EchoServer()
    {
        shutdown(mListen, SHUT_RDWR);
        close(mListen);
        mThread.join();
    }
    uint16_t Port() const { return mPort; }

private:
    size_t mFrameSize;
    int mListen;
    uint16_t mPort;
    std::thread mThread;
};

int PosixConnect(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
    {
        close(fd);
        return -1;
    }
    NoDelay(fd);
    return fd;
}

void BM_Baseline_PosixBlocking(benchmark::State& state)
{
    const std::string frame = MakeFrame(static_cast<uint32_t>(state.range(0)));
    EchoServer server(frame.size());
    const int fd = PosixConnect(server.Port());
    std::vector<char> reply(frame.size());
    for (auto _ : state)
    {
        if (!WriteExact(fd, frame.data(), frame.size()) || !ReadExact(fd, reply.data(), reply.size()))
        {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(2 * frame.size()));
}

void BM_Library_Blocking(benchmark::State& state)
{
    const std::string frame = MakeFrame(static_cast<uint32_t>(state.range(0)));
    EchoServer server(frame.size());
    SmartPtr<AsyncSocket> s = new AsyncSocket();
    if (s->ConnectBlock(InetAddress(0x7F000001u, server.Port()), 5000) != WS_Success)
    {
        state.SkipWithError("connect failed");
        return;
    }
    s->SetNagling(false);
    SmartPtr<ByteBuffer> msg = new ByteBuffer(frame.data(), static_cast<uint32_t>(frame.size()));
    SmartPtr<ByteBuffer> reply;
    for (auto _ : state)
    {
        if (s->SendMsgBlock(msg, 5000) != WS_Success || s->RecvMsgBlock(reply, 5000) != WS_Success)
        {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(2 * frame.size()));
}

// Wakes the benchmark thread when an operation completes on the pump.
struct Waiter : public RefCount
{
    std::mutex lock;
    std::condition_variable cv;
    int done = 0;
    int failed = 0;
    int target = 0;   // wake the waiter only once this many have completed
};

void OnWaiterDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Waiter* w = static_cast<Waiter*>(param.Get());
    std::lock_guard<std::mutex> hold(w->lock);
    ++w->done;
    if (op->GetStatus() != WS_Success)
        ++w->failed;
    if (w->done >= w->target || w->failed)
        w->cv.notify_one();
}

// timeout: the operations' time limit; 0xFFFFFFFF arms no timer, which
// shows the cost of the timer thread's wake-ups apart.
void LibraryAsync(benchmark::State& state, uint32_t timeout)
{
    const std::string frame = MakeFrame(static_cast<uint32_t>(state.range(0)));
    EchoServer server(frame.size());
    QORAPICore core(true, true, true);
    SmartPtr<AsyncSocket> s = new AsyncSocket();
    if (s->ConnectBlock(InetAddress(0x7F000001u, server.Port()), 5000) != WS_Success)
    {
        state.SkipWithError("connect failed");
        return;
    }
    s->SetNagling(false);
    SmartPtr<ByteBuffer> msg = new ByteBuffer(frame.data(), static_cast<uint32_t>(frame.size()));
    SmartPtr<Waiter> w = new Waiter;
    SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> completion =
        new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnWaiterDone, SmartPtr<RefCount>(w.Get()));
    int expected = 0;
    for (auto _ : state)
    {
        SmartPtr<SendMsgOp> send = new SendMsgOp(msg, s);
        SmartPtr<RecvMsgOp> recv = new RecvMsgOp(s);
        send->SetCompletion(completion);
        recv->SetCompletion(completion);
        expected += 2;
        {
            std::lock_guard<std::mutex> hold(w->lock);
            w->target = expected;
        }
        send->RunAsync(timeout);
        recv->RunAsync(timeout);
        std::unique_lock<std::mutex> hold(w->lock);
        if (!w->cv.wait_for(hold, std::chrono::seconds(5), [&]() { return w->done >= expected; }) || w->failed)
        {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(2 * frame.size()));
}

void BM_Library_Async(benchmark::State& state)
{
    LibraryAsync(state, 5000);
}

void BM_Library_AsyncNoTimeout(benchmark::State& state)
{
    LibraryAsync(state, 0xFFFFFFFFu);
}

// ---- Many connections through one SocketThreadEx ------------------------------

struct Pair;
void OnServerRecv(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
void OnClientRecv(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
void OnSendDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);

struct Swarm : public RefCount
{
    std::atomic<int64_t> messages{0};
    std::atomic<int64_t> failed{0};
    std::atomic<bool> stop{false};
    SmartPtr<ByteBuffer> frame;
};

struct Pair : public RefCount
{
    SmartPtr<Swarm> swarm;
    SmartPtr<AsyncSocket> client, server;
    SmartPtr<RecvMsgOp> clientRecv, serverRecv;
};

typedef ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>> PairCompletion;

// Time limit of every operation of the connection swarm.
const uint32_t kOpTimeout = 10000;

void SendFrame(Pair* p, const SmartPtr<AsyncSocket>& s)
{
    SmartPtr<SendMsgOp> send = new SendMsgOp(p->swarm->frame, s);
    send->SetCompletion(new PairCompletion(&OnSendDone, SmartPtr<RefCount>(p)));
    send->RunAsync(kOpTimeout);
}

void OnSendDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Pair* p = static_cast<Pair*>(param.Get());
    if (op->GetStatus() != WS_Success && !p->swarm->stop)
        p->swarm->failed++;
}

void OnServerRecv(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Pair* p = static_cast<Pair*>(param.Get());
    if (p->swarm->stop)
        return;
    if (op->GetStatus() != WS_Success)
    {
        p->swarm->failed++;
        return;
    }
    p->swarm->messages++;
    SendFrame(p, p->server);
    p->serverRecv->RunAsync(kOpTimeout);
}

void OnClientRecv(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Pair* p = static_cast<Pair*>(param.Get());
    if (p->swarm->stop)
        return;
    if (op->GetStatus() != WS_Success)
    {
        p->swarm->failed++;
        return;
    }
    p->swarm->messages++;
    p->clientRecv->RunAsync(kOpTimeout);
    SendFrame(p, p->client);
}

void BM_Library_ManyConnections(benchmark::State& state)
{
    const int pairsWanted = static_cast<int>(state.range(0));
    if (SockRaiseFileLimit(static_cast<uint64_t>(2 * pairsWanted + 200)) < static_cast<uint64_t>(2 * pairsWanted + 200))
    {
        state.SkipWithError("open-file limit too low");
        return;
    }
    const std::string frameText = MakeFrame(64);
    for (auto _ : state)
    {
        std::vector<SmartPtr<Pair>> pairs;
        SmartPtr<Swarm> swarm = new Swarm;
        swarm->frame = new ByteBuffer(frameText.data(), static_cast<uint32_t>(frameText.size()));
        {
            QORAPICore core(true, true, true);
            SmartPtr<AsyncSocket> listener = new AsyncSocket();
            listener->Bind(0);
            listener->Listen(4096);
            const InetAddress to(0x7F000001u, listener->GetLocalPort());
            for (int i = 0; i < pairsWanted; ++i)
            {
                SmartPtr<Pair> p = new Pair;
                p->swarm = swarm;
                p->client = new AsyncSocket();
                if (p->client->ConnectBlock(to, 5000) != WS_Success ||
                    listener->AcceptBlock(p->server, 5000) != WS_Success)
                {
                    state.SkipWithError("connect failed");
                    return;
                }
                p->client->SetNagling(false);
                p->server->SetNagling(false);
                p->clientRecv = new RecvMsgOp(p->client);
                p->serverRecv = new RecvMsgOp(p->server);
                p->clientRecv->SetCompletion(new PairCompletion(&OnClientRecv, SmartPtr<RefCount>(p.Get())));
                p->serverRecv->SetCompletion(new PairCompletion(&OnServerRecv, SmartPtr<RefCount>(p.Get())));
                pairs.push_back(p);
            }
            const int64_t before = swarm->messages.load();
            const uint32_t start = GetTickCount();
            for (auto& p : pairs)
            {
                p->serverRecv->RunAsync(kOpTimeout);
                p->clientRecv->RunAsync(kOpTimeout);
                SendFrame(p.Get(), p->client);
            }
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const int64_t count = swarm->messages.load() - before;
            const uint32_t elapsed = TicksSince(start);
            swarm->stop = true;
            core.Shutdown();
            state.counters["msgs_per_sec"] = static_cast<double>(count) * 1000.0 / (elapsed ? elapsed : 1);
            state.counters["failed_ops"] = static_cast<double>(swarm->failed.load());
            state.counters["connections"] = pairsWanted;
        }
        for (auto& p : pairs)
        {
            // Break the op -> completion -> pair cycles.
            p->clientRecv->SetCompletion(nullptr);
            p->serverRecv->SetCompletion(nullptr);
        }
    }
}

} // namespace

BENCHMARK(BM_Baseline_PosixBlocking)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_Blocking)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_Async)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_AsyncNoTimeout)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_ManyConnections)->Arg(1000)->Arg(5000)->Arg(9900)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
