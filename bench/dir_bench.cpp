// Directory round trips against the local directory server on loopback:
// GetDirOp blocking, and with 100 asynchronous operations in flight, beside a
// plain blocking POSIX send/recv ping-pong of similar message sizes. Rates are
// in items (round trips) per second.
#include "QORAPI.h"
#include "auth/ServerContext.h"
#include "dir/DirMessage.h"
#include "dir/GetDirOp.h"
#include "service/DirServer.h"

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
#include <thread>
#include <vector>

using namespace QORAPI;

namespace {

DirServer* gServer = nullptr;
SmartPtr<ServerContext> gContext;
uint32_t gReplySize = 0;

// Counts completions of the asynchronous batch.
struct Batch : RefCount
{
    std::mutex mMutex;
    std::condition_variable mCond;
    int mDone = 0;
    int mFailed = 0;
};

void OnDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Batch* batch = static_cast<Batch*>(param.Get());
    std::lock_guard<std::mutex> lock(batch->mMutex);
    ++batch->mDone;
    if (op->GetStatus() != WS_Success)
        ++batch->mFailed;
    batch->mCond.notify_all();
}

void BM_GetDirBlocking(benchmark::State& state)
{
    for (auto _ : state)
    {
        SmartPtr<GetDirOp> op = new GetDirOp(gContext);
        op->SetPath(u"/games");
        if (!op->RunBlock(5000))
        {
            state.SkipWithError(WSStatusToString(op->GetStatus()));
            break;
        }
        benchmark::DoNotOptimize(op->GetEntities().size());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GetDirAsync100InFlight(benchmark::State& state)
{
    const int kInFlight = 100;
    for (auto _ : state)
    {
        SmartPtr<Batch> batch = new Batch;
        std::vector<SmartPtr<GetDirOp>> ops;
        for (int i = 0; i < kInFlight; ++i)
        {
            SmartPtr<GetDirOp> op = new GetDirOp(gContext);
            op->SetPath(u"/games");
            op->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnDone, SmartPtr<RefCount>(batch.Get())));
            ops.push_back(op);
        }
        for (auto& op : ops)
            op->RunAsync(10000);
        std::unique_lock<std::mutex> lock(batch->mMutex);
        if (!batch->mCond.wait_for(lock, std::chrono::seconds(30), [&] { return batch->mDone == kInFlight; }) ||
            batch->mFailed)
        {
            state.SkipWithError("asynchronous batch failed or timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kInFlight);
}

// Baseline: one connection, blocking send of a request-sized frame, blocking
// receive of a reply-sized frame, echoed by a plain POSIX server thread.
void BM_PosixPingPong(benchmark::State& state)
{
    const size_t requestSize = 24;
    const size_t replySize = gReplySize;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(listener, 1);
    std::thread server([&] {
        int c = accept(listener, nullptr, nullptr);
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::vector<char> in(requestSize), out(replySize, 'r');
        for (;;)
        {
            size_t got = 0;
            while (got < requestSize)
            {
                ssize_t n = recv(c, in.data() + got, requestSize - got, 0);
                if (n <= 0)
                {
                    close(c);
                    return;
                }
                got += static_cast<size_t>(n);
            }
            send(c, out.data(), out.size(), MSG_NOSIGNAL);
        }
    });
    int client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::vector<char> request(requestSize, 'q'), reply(replySize);
    for (auto _ : state)
    {
        send(client, request.data(), request.size(), MSG_NOSIGNAL);
        size_t got = 0;
        while (got < replySize)
        {
            ssize_t n = recv(client, reply.data() + got, replySize - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    }
    close(client);
    server.join();
    close(listener);
    state.SetItemsProcessed(state.iterations());
}

// Baseline with the request loop's connection pattern: a new connection per
// round trip (connect, send, receive, close).
void BM_PosixConnectPingPong(benchmark::State& state)
{
    const size_t requestSize = 24;
    const size_t replySize = gReplySize;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(listener, 64);
    std::atomic<bool> stop(false);
    std::thread server([&] {
        std::vector<char> in(requestSize), out(replySize, 'r');
        while (!stop.load())
        {
            int c = accept(listener, nullptr, nullptr);
            if (c < 0)
                continue;
            size_t got = 0;
            while (got < requestSize)
            {
                ssize_t n = recv(c, in.data() + got, requestSize - got, 0);
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
            }
            if (got == requestSize)
                send(c, out.data(), out.size(), MSG_NOSIGNAL);
            close(c);
        }
    });
    std::vector<char> request(requestSize, 'q'), reply(replySize);
    for (auto _ : state)
    {
        int client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        send(client, request.data(), request.size(), MSG_NOSIGNAL);
        size_t got = 0;
        while (got < replySize)
        {
            ssize_t n = recv(client, reply.data() + got, replySize - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        close(client);
    }
    stop.store(true);
    int wake = socket(AF_INET, SOCK_STREAM, 0);
    connect(wake, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    close(wake);
    server.join();
    close(listener);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PosixPingPong)->UseRealTime();
BENCHMARK(BM_PosixConnectPingPong)->UseRealTime();
BENCHMARK(BM_GetDirBlocking)->UseRealTime();
BENCHMARK(BM_GetDirAsync100InFlight)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QORAPICore core(true, true, true);
    DirServer server;
    if (server.Start(0) != WS_Success)
        return 1;
    for (uint8_t i = 0; i < 3; ++i)
        server.GetEngine().AddService(u"/games", u"Lobby", std::string("\x0f\xa0\x7f\x00\x00", 5) + char(i + 1),
                                      u"Lobby", 0, {{"map", "forest"}});
    gServer = &server;
    gContext = new ServerContext;
    gContext->AddAddress(InetAddress(0x7F000001u, server.GetPort()));
    {
        // The framed size of the listing's reply, for the baseline.
        DirMessageWriter w(0);
        w.Begin(DirMsg_GetDir);
        GetEntityRequest(u"/games").Pack(w, GetEntityRequest::Form_Single);
        SmartPtr<ByteBuffer> request = w.Finish();
        for (const SmartPtr<ByteBuffer>& reply : server.GetEngine().HandleRequest(request.Get()).mReplies)
            gReplySize += 4 + reply->GetLength();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gContext = nullptr;
    server.Stop();
    return 0;
}
