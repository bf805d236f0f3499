// Request/reply round trips over loopback: plain blocking POSIX send/recv as
// the baseline, the library's blocking calls, asynchronous operations through
// SocketThreadEx and the pump thread, and 1000/5000/10000 concurrent connections
// served by one SocketThreadEx (their peers in a child process).
//
// A loopback round trip costs mostly the wake-ups of the two threads, and
// those depend on where the scheduler places them: the separate baseline and
// library runs can differ by a factor of four for that alone. The comparisons
// to read are the ones that take both kinds in turn against one echo thread
// (BlockingVsRaw, AsyncVsRaw, AsyncTimedVsUntimed).
#include "QORAPI.h"
#include "QORSocket/AsyncSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "QORSocket/SocketThreadEx.h"
#include "common/Completion.h"
#include "platform/Tick.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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

// A blocking POSIX echo server on one thread: reads frames of a known size and
// sends each back, on one connection or, polling, on several.
class EchoServer
{
public:
    explicit EchoServer(size_t frameSize, int connections = 1) : mFrameSize(frameSize)
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
        mThread = std::thread([this, connections]() { Serve(connections); });
    }
    ~EchoServer()
    {
        shutdown(mListen, SHUT_RDWR);
        close(mListen);
        mThread.join();
    }
    uint16_t Port() const { return mPort; }

private:
    void Serve(int connections)
    {
        std::vector<pollfd> fds;
        for (int k = 0; k < connections; ++k)
        {
            const int fd = accept(mListen, nullptr, nullptr);
            if (fd < 0)
                break;
            NoDelay(fd);
            fds.push_back({fd, POLLIN, 0});
        }
        std::vector<char> buf(mFrameSize);
        bool open = static_cast<int>(fds.size()) == connections;
        while (open)
        {
            if (connections > 1 && poll(fds.data(), fds.size(), -1) <= 0)
                break;
            for (pollfd& p : fds)
            {
                if (connections > 1 && p.revents == 0)
                    continue;
                if (!ReadExact(p.fd, buf.data(), buf.size()) || !WriteExact(p.fd, buf.data(), buf.size()))
                    open = false;
            }
        }
        for (const pollfd& p : fds)
            close(p.fd);
    }

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

// A library socket connected to the echo server on loopback, without
// Nagling; none (and the benchmark skipped) when the connect fails.
SmartPtr<AsyncSocket> LibraryConnect(benchmark::State& state, uint16_t port)
{
    SmartPtr<AsyncSocket> s = new AsyncSocket();
    if (s->ConnectBlock(InetAddress(0x7F000001u, port), 5000) != WS_Success)
    {
        state.SkipWithError("connect failed");
        return SmartPtr<AsyncSocket>();
    }
    s->SetNagling(false);
    return s;
}

void BM_Library_Blocking(benchmark::State& state)
{
    const std::string frame = MakeFrame(static_cast<uint32_t>(state.range(0)));
    EchoServer server(frame.size());
    const SmartPtr<AsyncSocket> s = LibraryConnect(state, server.Port());
    if (!s)
        return;
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

// Round trips of two kinds taken in turn, each kind first every other
// iteration, so that both see the same machine; the time of every single
// round trip is added to its kind's list. False (and the benchmark skipped)
// when one fails.
template <class TripA, class TripB>
bool InTurn(benchmark::State& state, TripA tripA, TripB tripB, std::vector<int64_t>& timesA,
            std::vector<int64_t>& timesB)
{
    typedef std::chrono::steady_clock Clock;
    for (auto _ : state)
    {
        const bool aFirst = (state.iterations() & 1) == 0;
        for (int half = 0; half < 2; ++half)
        {
            const bool isA = (half == 0) == aFirst;
            const Clock::time_point start = Clock::now();
            const bool ok = isA ? tripA() : tripB();
            const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
            if (!ok)
            {
                state.SkipWithError("round trip failed");
                return false;
            }
            (isA ? timesA : timesB).push_back(ns);
        }
    }
    return !timesA.empty() && !timesB.empty();
}

double Mean(const std::vector<int64_t>& v)
{
    double sum = 0;
    for (const int64_t x : v)
        sum += static_cast<double>(x);
    return sum / static_cast<double>(v.size());
}

double Median(std::vector<int64_t>& v)
{
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return static_cast<double>(v[v.size() / 2]);
}

// Raw round trips and the library's (libTrip) taken in turn, on two
// connections to one echo thread (fd the raw one), so that both also see the
// same thread placement: a round trip here is mostly the wake-ups of the
// threads, some tens of microseconds when they share a core and several times
// that when they do not. The medians of the single round trips are the
// figures to compare; the means follow the slow outliers.
template <class Trip>
void InTurnWithRaw(benchmark::State& state, int fd, const std::string& frame, Trip libTrip)
{
    std::vector<char> reply(frame.size());
    std::vector<int64_t> raw, lib;
    const auto rawTrip = [&]() {
        return WriteExact(fd, frame.data(), frame.size()) && ReadExact(fd, reply.data(), reply.size());
    };
    if (!InTurn(state, rawTrip, libTrip, raw, lib))
        return;
    const double rawMean = Mean(raw), libMean = Mean(lib);
    const double rawMedian = Median(raw), libMedian = Median(lib);
    state.counters["raw_median_ns"] = rawMedian;
    state.counters["lib_median_ns"] = libMedian;
    state.counters["lib_per_raw_median"] = libMedian / rawMedian;
    state.counters["lib_per_raw_mean"] = libMean / rawMean;
}

// A raw descriptor and a library socket, both connected to server; the socket
// is none (and the benchmark skipped) when either connect fails.
SmartPtr<AsyncSocket> ConnectPair(benchmark::State& state, const EchoServer& server, int& fd)
{
    fd = PosixConnect(server.Port());
    if (fd < 0)
    {
        state.SkipWithError("connect failed");
        return SmartPtr<AsyncSocket>();
    }
    const SmartPtr<AsyncSocket> s = LibraryConnect(state, server.Port());
    if (!s)
    {
        close(fd);
        fd = -1;
    }
    return s;
}

void BM_Library_BlockingVsRaw(benchmark::State& state)
{
    const std::string frame = MakeFrame(static_cast<uint32_t>(state.range(0)));
    EchoServer server(frame.size(), 2);
    int fd = -1;
    const SmartPtr<AsyncSocket> s = ConnectPair(state, server, fd);
    if (!s)
        return;
    SmartPtr<ByteBuffer> msg = new ByteBuffer(frame.data(), static_cast<uint32_t>(frame.size()));
    SmartPtr<ByteBuffer> reply;
    InTurnWithRaw(state, fd, frame, [&]() {
        return s->SendMsgBlock(msg, 5000) == WS_Success && s->RecvMsgBlock(reply, 5000) == WS_Success;
    });
    close(fd);
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

// One asynchronous round trip (a SendMsgOp and a RecvMsgOp run at once) on a
// connected socket, waited for on the benchmark thread.
class AsyncRoundTrip
{
public:
    // pumpHere: the core whose queue this thread pumps while it waits, as a
    // game loop without a pump thread does; none: the pump thread delivers.
    explicit AsyncRoundTrip(const SmartPtr<AsyncSocket>& s, const SmartPtr<ByteBuffer>& msg,
                            QORAPICore* pumpHere = nullptr)
        : mSocket(s), mMsg(msg), mPumpHere(pumpHere), mWaiter(new Waiter),
          mCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnWaiterDone,
                                                                                SmartPtr<RefCount>(mWaiter.Get())))
    {
    }

    // timeout: the operations' time limit; 0xFFFFFFFF arms no timer.
    bool Run(uint32_t timeout)
    {
        SmartPtr<SendMsgOp> send = new SendMsgOp(mMsg, mSocket);
        SmartPtr<RecvMsgOp> recv = new RecvMsgOp(mSocket);
        send->SetCompletion(mCompletion);
        recv->SetCompletion(mCompletion);
        mExpected += 2;
        {
            std::lock_guard<std::mutex> hold(mWaiter->lock);
            mWaiter->target = mExpected;
        }
        send->RunAsync(timeout);
        recv->RunAsync(timeout);
        if (mPumpHere)
        {
            // The completions run on this thread: the counts need no lock.
            for (int pass = 0; pass < 100 && mWaiter->done < mExpected && !mWaiter->failed; ++pass)
                mPumpHere->GetQueue().Pump(50, 0);
            return mWaiter->done >= mExpected && !mWaiter->failed;
        }
        std::unique_lock<std::mutex> hold(mWaiter->lock);
        return mWaiter->cv.wait_for(hold, std::chrono::seconds(5), [&]() { return mWaiter->done >= mExpected; }) &&
               !mWaiter->failed;
    }

private:
    SmartPtr<AsyncSocket> mSocket;
    SmartPtr<ByteBuffer> mMsg;
    QORAPICore* mPumpHere;
    SmartPtr<Waiter> mWaiter;
    SmartPtr<CompletionBase<SmartPtr<AsyncOp>>> mCompletion;
    int mExpected = 0;
};

// An echo server of frames of the benchmark's size, a started core and a
// connection to the server for asynchronous round trips; no connection (and
// the benchmark skipped) when the connect fails.
struct AsyncEcho
{
    explicit AsyncEcho(benchmark::State& state)
        : mFrame(MakeFrame(static_cast<uint32_t>(state.range(0)))), mServer(mFrame.size()), mCore(true, true, true),
          mSocket(LibraryConnect(state, mServer.Port()))
    {
    }
    SmartPtr<ByteBuffer> Message() const
    {
        return new ByteBuffer(mFrame.data(), static_cast<uint32_t>(mFrame.size()));
    }

    const std::string mFrame;
    EchoServer mServer;
    QORAPICore mCore;
    const SmartPtr<AsyncSocket> mSocket;
};

// timeout: the operations' time limit; 0xFFFFFFFF arms no timer, which
// shows the cost of the timer thread's wake-ups apart.
void LibraryAsync(benchmark::State& state, uint32_t timeout)
{
    const AsyncEcho echo(state);
    if (!echo.mSocket)
        return;
    AsyncRoundTrip trip(echo.mSocket, echo.Message());
    for (auto _ : state)
    {
        if (!trip.Run(timeout))
        {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(2 * echo.mFrame.size()));
}

void BM_Library_Async(benchmark::State& state)
{
    LibraryAsync(state, 5000);
}

void BM_Library_AsyncNoTimeout(benchmark::State& state)
{
    LibraryAsync(state, 0xFFFFFFFFu);
}

// Timed and untimed round trips taken in turn on one connection, so that both
// see the same machine: the counters give each one's mean and their ratio.
void BM_Library_AsyncTimedVsUntimed(benchmark::State& state)
{
    const AsyncEcho echo(state);
    if (!echo.mSocket)
        return;
    AsyncRoundTrip trip(echo.mSocket, echo.Message());
    std::vector<int64_t> timed, untimed;
    if (!InTurn(state, [&]() { return trip.Run(5000); }, [&]() { return trip.Run(0xFFFFFFFFu); }, timed, untimed))
        return;
    const double timedNs = Mean(timed);
    const double untimedNs = Mean(untimed);
    state.counters["timed_ns"] = timedNs;
    state.counters["untimed_ns"] = untimedNs;
    state.counters["timed_per_untimed"] = untimedNs > 0 ? timedNs / untimedNs : 0;
}

// Timed asynchronous round trips and raw blocking ones, taken in turn. The
// second argument is 1 when the benchmark thread pumps the completions itself,
// 0 when the core's pump thread does and wakes it. Even in turn, where the
// raw pair runs follows the other threads: while the benchmark thread sleeps
// between wake-ups it mostly shares a core with the echo thread (a raw round
// trip of about 20 us here), while it pumps, and so spins, it does not (70 us
// and more).
void BM_Library_AsyncVsRaw(benchmark::State& state)
{
    const std::string frame = MakeFrame(static_cast<uint32_t>(state.range(0)));
    const bool pumpHere = state.range(1) != 0;
    EchoServer server(frame.size(), 2);
    QORAPICore core(!pumpHere, true, true);
    int fd = -1;
    const SmartPtr<AsyncSocket> s = ConnectPair(state, server, fd);
    if (!s)
        return;
    AsyncRoundTrip trip(s, new ByteBuffer(frame.data(), static_cast<uint32_t>(frame.size())),
                        pumpHere ? &core : nullptr);
    InTurnWithRaw(state, fd, frame, [&]() { return trip.Run(5000); });
    close(fd);
}

// ---- Many connections through one SocketThreadEx ------------------------------
//
// The peer ends live in a child process (an epoll echo loop), so the library's
// process holds one descriptor per connection and 10,000 connections fit the
// usual hard limit of 20,000 open files.

// Echoes every byte read on every accepted connection back to its sender, until
// stopFd (the read end of a pipe whose write end the parent holds) reports the
// end of its data. Runs in the forked child: no allocation, no library calls.
[[noreturn]] void EchoChild(int listenFd, int stopFd)
{
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev;
    std::memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.fd = listenFd;
    epoll_ctl(ep, EPOLL_CTL_ADD, listenFd, &ev);
    ev.data.fd = stopFd;
    epoll_ctl(ep, EPOLL_CTL_ADD, stopFd, &ev);
    static epoll_event events[512];
    static char buf[65536];
    for (;;)
    {
        const int n = epoll_wait(ep, events, 512, 1000);
        for (int i = 0; i < n; ++i)
        {
            const int fd = events[i].data.fd;
            if (fd == stopFd)
                _exit(0);
            if (fd == listenFd)
            {
                int c;
                while ((c = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0)
                {
                    NoDelay(c);
                    ev.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
                }
                continue;
            }
            const ssize_t r = read(fd, buf, sizeof(buf));
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            {
                close(fd);
                continue;
            }
            ssize_t put = 0;
            for (int tries = 0; r > 0 && put < r && tries < 1000; ++tries)
            {
                const ssize_t w = send(fd, buf + put, static_cast<size_t>(r - put), MSG_NOSIGNAL);
                if (w > 0)
                    put += w;
                else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    break;
                else
                {
                    pollfd pf = {fd, POLLOUT, 0};
                    poll(&pf, 1, 100);
                }
            }
        }
    }
}

// The child echo process and its listening port; the destructor stops it.
class EchoProcess
{
public:
    EchoProcess() : mPid(-1), mStop(-1), mPort(0)
    {
        const int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int pipeFds[2];
        if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
            listen(listenFd, 4096) != 0 || pipe2(pipeFds, O_CLOEXEC) != 0)
        {
            if (listenFd >= 0)
                close(listenFd);
            return;
        }
        socklen_t len = sizeof(sa);
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
        const pid_t pid = fork();
        if (pid == 0)
        {
            close(pipeFds[1]);
            EchoChild(listenFd, pipeFds[0]);
        }
        close(listenFd);
        close(pipeFds[0]);
        if (pid < 0)
        {
            close(pipeFds[1]);
            return;
        }
        mPid = pid;
        mStop = pipeFds[1];
        mPort = ntohs(sa.sin_port);
    }
    ~EchoProcess()
    {
        if (mPid <= 0)
            return;
        close(mStop);
        int status = 0;
        for (int i = 0; i < 500 && waitpid(mPid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(mPid, &status, WNOHANG) == 0)
        {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
        }
    }
    bool Running() const { return mPid > 0; }
    uint16_t Port() const { return mPort; }

private:
    pid_t mPid;
    int mStop;
    uint16_t mPort;
};

struct Conn;
void OnConnRecv(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
void OnSendDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);

struct Swarm : public RefCount
{
    std::atomic<int64_t> messages{0};
    std::atomic<int64_t> failed{0};
    std::atomic<bool> stop{false};
    SmartPtr<ByteBuffer> frame;
};

struct Conn : public RefCount
{
    SmartPtr<Swarm> swarm;
    SmartPtr<AsyncSocket> socket;
    SmartPtr<RecvMsgOp> recv;
};

typedef ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>> ConnCompletion;

// Time limit of every operation of the connection swarm.
const uint32_t kOpTimeout = 10000;

void SendFrame(Conn* c)
{
    SmartPtr<SendMsgOp> send = new SendMsgOp(c->swarm->frame, c->socket);
    send->SetCompletion(new ConnCompletion(&OnSendDone, SmartPtr<RefCount>(c)));
    send->RunAsync(kOpTimeout);
}

void OnSendDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Conn* c = static_cast<Conn*>(param.Get());
    if (op->GetStatus() != WS_Success && !c->swarm->stop)
        c->swarm->failed++;
}

void OnConnRecv(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    Conn* c = static_cast<Conn*>(param.Get());
    if (c->swarm->stop)
        return;
    if (op->GetStatus() != WS_Success)
    {
        c->swarm->failed++;
        return;
    }
    c->swarm->messages++;
    c->recv->RunAsync(kOpTimeout);
    SendFrame(c);
}

// User plus system time of the whole process, in microseconds.
int64_t ProcessCpuMicros()
{
    rusage ru;
    if (getrusage(RUSAGE_SELF, &ru) != 0)
        return 0;
    return (static_cast<int64_t>(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * 1000000 + ru.ru_utime.tv_usec +
           ru.ru_stime.tv_usec;
}

// N connections, each with one 68-byte frame in flight: a receive waits on
// every socket, each reply starts the next send. Counts the replies over a
// window of a few seconds and this process's CPU time per reply.
void BM_Library_ManyConnections(benchmark::State& state)
{
    const int wanted = static_cast<int>(state.range(0));
    const uint64_t files = static_cast<uint64_t>(wanted) + 200;
    if (SockRaiseFileLimit(files) < files)
    {
        state.SkipWithError("open-file limit too low");
        return;
    }
    const std::string frameText = MakeFrame(64);
    for (auto _ : state)
    {
        EchoProcess echo;
        if (!echo.Running())
        {
            state.SkipWithError("echo process failed");
            return;
        }
        std::vector<SmartPtr<Conn>> conns;
        SmartPtr<Swarm> swarm = new Swarm;
        swarm->frame = new ByteBuffer(frameText.data(), static_cast<uint32_t>(frameText.size()));
        {
            QORAPICore core(true, true, true);
            const InetAddress to(0x7F000001u, echo.Port());
            for (int i = 0; i < wanted; ++i)
            {
                SmartPtr<Conn> c = new Conn;
                c->swarm = swarm;
                c->socket = new AsyncSocket();
                if (c->socket->ConnectBlock(to, 5000) != WS_Success)
                {
                    state.SkipWithError("connect failed");
                    return;
                }
                c->socket->SetNagling(false);
                c->recv = new RecvMsgOp(c->socket);
                c->recv->SetCompletion(new ConnCompletion(&OnConnRecv, SmartPtr<RefCount>(c.Get())));
                conns.push_back(c);
            }
            for (auto& c : conns)
            {
                c->recv->RunAsync(kOpTimeout);
                SendFrame(c.Get());
            }
            // Let every connection get going before the window opens.
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const int64_t before = swarm->messages.load();
            const int64_t cpuBefore = ProcessCpuMicros();
            const uint32_t start = GetTickCount();
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const int64_t count = swarm->messages.load() - before;
            const int64_t cpu = ProcessCpuMicros() - cpuBefore;
            const uint32_t elapsed = TicksSince(start);
            swarm->stop = true;
            core.Shutdown();
            state.counters["msgs_per_sec"] = static_cast<double>(count) * 1000.0 / (elapsed ? elapsed : 1);
            state.counters["cpu_ns_per_msg"] = count ? static_cast<double>(cpu) * 1000.0 / static_cast<double>(count) : 0.0;
            state.counters["failed_ops"] = static_cast<double>(swarm->failed.load());
            state.counters["connections"] = wanted;
        }
        for (auto& c : conns)
            c->recv->SetCompletion(nullptr);   // breaks the op -> completion -> connection cycle
    }
}

} // namespace

BENCHMARK(BM_Baseline_PosixBlocking)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_Blocking)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_BlockingVsRaw)->Arg(64)->UseRealTime();
BENCHMARK(BM_Library_Async)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_AsyncNoTimeout)->Arg(64)->Arg(65536);
BENCHMARK(BM_Library_AsyncTimedVsUntimed)->Arg(64)->UseRealTime();
BENCHMARK(BM_Library_AsyncVsRaw)->Args({64, 0})->Args({64, 1})->UseRealTime();
BENCHMARK(BM_Library_ManyConnections)->Arg(1000)->Arg(5000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
