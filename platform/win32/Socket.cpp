// Windows Sockets behind the socket layer. Readiness is polled with WSAPoll:
// it takes an array of any length, as the socket thread's growable arrays
// need, and reports each entry on its own (an invalid handle fails only its
// entry), which keeps the semantics of the POSIX layer.
#include "platform/Socket.h"
#include "platform/win32/OpenSockets.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mstcpip.h>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace QORAPI {

static_assert(sizeof(SockAddrIn) == sizeof(sockaddr_in), "SockAddrIn must match sockaddr_in");

// Our own bit values (those of POSIX poll); translated for WSAPoll.
const int16_t SOCK_POLL_READ = 0x001;
const int16_t SOCK_POLL_WRITE = 0x004;
const int16_t SOCK_POLL_EXCEPT = 0x002 | 0x008 | 0x010;
const int16_t SOCK_POLL_FAILED = 0x008 | 0x010 | 0x020;

namespace {

// The soft limit on open files that Windows lacks: it bounds one poll's entries.
std::atomic<uint64_t>& PollLimit()
{
    static std::atomic<uint64_t> limit{UINT64_MAX};
    return limit;
}

// Sockets made by SockCreate and SockAccept and not yet closed.
std::atomic<int32_t>& OpenSockets()
{
    static std::atomic<int32_t> count{0};
    return count;
}

const ::SOCKET INVALID_SOCKET_NATIVE = ~static_cast<::SOCKET>(0);
const int16_t kPollErr = 0x008;
const int16_t kPollHup = 0x010;
const int16_t kPollNval = 0x020;

// Windows Sockets are started on first use and stay up for the process.
void EnsureStarted()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

int32_t LastError()
{
    return static_cast<int32_t>(::WSAGetLastError());
}

::SOCKET Native(SOCKET h)
{
    return h == INVALID_SOCKET ? INVALID_SOCKET_NATIVE : static_cast<::SOCKET>(static_cast<uint32_t>(h));
}

void ToNative(const SockAddrIn& in, sockaddr_in& out)
{
    std::memset(&out, 0, sizeof(out));
    out.sin_family = AF_INET;
    std::memcpy(&out.sin_port, in.port, 2);
    std::memcpy(&out.sin_addr.s_addr, in.addr, 4);
}

void FromNative(const sockaddr_in& in, SockAddrIn& out)
{
    std::memset(&out, 0, sizeof(out));
    out.family = SOCK_AF_INET;
    std::memcpy(out.port, &in.sin_port, 2);
    std::memcpy(out.addr, &in.sin_addr.s_addr, 4);
}

int32_t SetIntOption(SOCKET h, int level, int name, int value)
{
    return ::setsockopt(Native(h), level, name, reinterpret_cast<const char*>(&value), sizeof(value)) == 0 ? 0
                                                                                                           : LastError();
}

// Socket handles are kernel handles, whose values fit in 32 bits.
SOCKET FromNativeHandle(::SOCKET s)
{
    return s == INVALID_SOCKET_NATIVE ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<uint32_t>(s));
}

} // namespace

// errno values of the C run-time reach here only from file calls; the
// Windows Sockets numbers come from WSAGetLastError directly.
int32_t SockMapErrno(int err)
{
    switch (err)
    {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case ECONNREFUSED: return 10061;
    case ECONNRESET: return 10054;
    case ETIMEDOUT: return 10060;
    case EMSGSIZE: return 10040;
    case EADDRINUSE: return 10048;
    default: return err;
    }
}

int32_t SockCreate(int32_t kind, SOCKET& out)
{
    EnsureStarted();
    out = INVALID_SOCKET;
    ::SOCKET s;
    if (kind == SOCK_KIND_STREAM)
        s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    else if (kind == SOCK_KIND_DATAGRAM)
        s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    else
        return WSAESOCKTNOSUPPORT;
    if (s == INVALID_SOCKET_NATIVE)
        return LastError();
    out = FromNativeHandle(s);
    const int32_t err = SockSetNonBlocking(out);
    if (err != 0)
    {
        ::closesocket(s);
        out = INVALID_SOCKET;
        return err;
    }
    if (kind == SOCK_KIND_DATAGRAM)
    {
        // A datagram answered by "port unreachable" must not fail the next receive.
        BOOL reset = FALSE;
        DWORD bytes = 0;
        ::WSAIoctl(s, SIO_UDP_CONNRESET, &reset, sizeof(reset), nullptr, 0, &bytes, nullptr, nullptr);
    }
    ++OpenSockets();
    return 0;
}

int32_t SockClose(SOCKET h)
{
    if (::closesocket(Native(h)) != 0)
        return LastError();
    --OpenSockets();
    return 0;
}

void SockShutdownSend(SOCKET h)
{
    ::shutdown(Native(h), SD_SEND);
}

int32_t SockSetLinger(SOCKET h, bool on, uint16_t seconds)
{
    linger l;
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return ::setsockopt(Native(h), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l)) == 0
               ? 0
               : LastError();
}

int32_t SockSetBroadcast(SOCKET h, bool on)
{
    return SetIntOption(h, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
}

// On Windows SO_REUSEADDR would let another socket take over a bound port;
// rebinding a port whose old connections linger is allowed without it.
int32_t SockSetReuseAddr(SOCKET, bool)
{
    return 0;
}

int32_t SockSetNoDelay(SOCKET h, bool on)
{
    return SetIntOption(h, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

int32_t SockSetNonBlocking(SOCKET h)
{
    u_long on = 1;
    return ::ioctlsocket(Native(h), FIONBIO, &on) == 0 ? 0 : LastError();
}

int32_t SockBind(SOCKET h, uint16_t port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(Native(h), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : LastError();
}

int32_t SockBindTo(SOCKET h, const SockAddrIn& addr)
{
    sockaddr_in sa;
    ToNative(addr, sa);
    return ::bind(Native(h), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : LastError();
}

int32_t SockListen(SOCKET h, int32_t backlog)
{
    return ::listen(Native(h), backlog) == 0 ? 0 : LastError();
}

int32_t SockConnect(SOCKET h, const SockAddrIn& addr)
{
    sockaddr_in sa;
    ToNative(addr, sa);
    return ::connect(Native(h), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : LastError();
}

// A datagram socket loses its default peer on a connect to the any-address.
int32_t SockDissolvePeer(SOCKET h)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    return ::connect(Native(h), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : LastError();
}

int32_t SockAccept(SOCKET h, SOCKET& out, SockAddrIn& peer)
{
    sockaddr_in sa;
    int len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    const ::SOCKET s = ::accept(Native(h), reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET_NATIVE)
    {
        out = INVALID_SOCKET;
        return LastError();
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    out = FromNativeHandle(s);
    const int32_t err = SockSetNonBlocking(out);
    if (err != 0)
    {
        ::closesocket(s);
        out = INVALID_SOCKET;
        return err;
    }
    FromNative(sa, peer);
    ++OpenSockets();
    return 0;
}

int32_t SockSend(SOCKET h, const void* data, uint32_t length, uint32_t& sent)
{
    const int chunk = length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(length);
    const int n = ::send(Native(h), static_cast<const char*>(data), chunk, 0);
    if (n == SOCKET_ERROR)
        return LastError();
    sent = static_cast<uint32_t>(n);
    return 0;
}

int32_t SockSendTo(SOCKET h, const void* data, uint32_t length, const SockAddrIn& to, uint32_t& sent)
{
    sockaddr_in sa;
    ToNative(to, sa);
    const int chunk = length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(length);
    const int n = ::sendto(Native(h), static_cast<const char*>(data), chunk, 0, reinterpret_cast<sockaddr*>(&sa),
                           sizeof(sa));
    if (n == SOCKET_ERROR)
        return LastError();
    sent = static_cast<uint32_t>(n);
    return 0;
}

// Windows reports an over-long datagram as WSAEMSGSIZE with its head in buf.
int32_t SockRecv(SOCKET h, void* buf, uint32_t length, bool, uint32_t& received)
{
    const int chunk = length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(length);
    const int n = ::recv(Native(h), static_cast<char*>(buf), chunk, 0);
    if (n == SOCKET_ERROR)
        return LastError();
    received = static_cast<uint32_t>(n);
    return 0;
}

int32_t SockRecvFrom(SOCKET h, void* buf, uint32_t length, SockAddrIn& from, uint32_t& received)
{
    sockaddr_in sa;
    int len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    const int chunk = length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(length);
    const int n = ::recvfrom(Native(h), static_cast<char*>(buf), chunk, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR)
    {
        const int32_t err = LastError();
        if (err == WSAEMSGSIZE)
            FromNative(sa, from);
        return err;
    }
    FromNative(sa, from);
    received = static_cast<uint32_t>(n);
    return 0;
}

int32_t SockGetLocalAddr(SOCKET h, SockAddrIn& out)
{
    sockaddr_in sa;
    int len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    if (::getsockname(Native(h), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return LastError();
    FromNative(sa, out);
    return 0;
}

int32_t SockGetPendingError(SOCKET h, int32_t& pending)
{
    int value = 0;
    int len = sizeof(value);
    if (::getsockopt(Native(h), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len) != 0)
        return LastError();
    pending = value;
    return 0;
}

int32_t SockPoll(SockPollFd* fds, uint32_t count, uint32_t ms)
{
    // As poll(2) refuses more entries than the process may open files.
    if (count > PollLimit().load())
    {
        ::WSASetLastError(WSAEINVAL);
        return -1;
    }
    // Entries with a negative handle are ignored, as poll does.
    std::vector<WSAPOLLFD> native;
    std::vector<uint32_t> index;
    native.reserve(count);
    index.reserve(count);
    for (uint32_t i = 0; i < count; ++i)
    {
        fds[i].revents = 0;
        if (fds[i].fd < 0)
            continue;
        WSAPOLLFD p;
        p.fd = Native(fds[i].fd);
        p.events = 0;
        if (fds[i].events & SOCK_POLL_READ)
            p.events |= POLLRDNORM;
        if (fds[i].events & SOCK_POLL_WRITE)
            p.events |= POLLWRNORM;
        p.revents = 0;
        native.push_back(p);
        index.push_back(i);
    }
    const INT timeout = ms == 0xFFFFFFFFu ? -1 : (ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<INT>(ms));
    if (native.empty())
    {
        ::Sleep(ms == 0xFFFFFFFFu ? INFINITE : ms);
        return 0;
    }
    const int n = ::WSAPoll(native.data(), static_cast<ULONG>(native.size()), timeout);
    if (n < 0)
        return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
    int32_t ready = 0;
    for (size_t k = 0; k < native.size(); ++k)
    {
        const SHORT r = native[k].revents;
        int16_t out = 0;
        if (r & (POLLRDNORM | POLLRDBAND))
            out |= SOCK_POLL_READ;
        if (r & POLLWRNORM)
            out |= SOCK_POLL_WRITE;
        if (r & POLLERR)
            out |= kPollErr;
        if (r & POLLHUP)
            out |= kPollHup | (fds[index[k]].events & SOCK_POLL_READ);
        if (r & POLLNVAL)
            out |= kPollNval;
        fds[index[k]].revents = out;
        if (out)
            ++ready;
    }
    return ready;
}

bool SockParseDotted(const char* text, uint8_t addr[4])
{
    const unsigned long a = ::inet_addr(text);
    const uint32_t a32 = static_cast<uint32_t>(a);
    std::memcpy(addr, &a32, 4);
    return a != INADDR_NONE;
}

bool SockResolveHost(const char* host, uint8_t addr[4])
{
    EnsureStarted();
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr)
        return false;
    bool found = false;
    for (addrinfo* p = res; p; p = p->ai_next)
    {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in))
        {
            const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
            std::memcpy(addr, &sa->sin_addr.s_addr, 4);
            found = true;
            break;
        }
    }
    ::freeaddrinfo(res);
    return found;
}

std::string SockFormatAddr(const uint8_t addr[4])
{
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", addr[0], addr[1], addr[2], addr[3]);
    return text;
}

bool SockGetHostName(std::string& name)
{
    EnsureStarted();
    char buf[1024];
    if (::gethostname(buf, sizeof(buf)) != 0)
        return false;
    buf[sizeof(buf) - 1] = 0;
    name = buf;
    return true;
}

// Windows sets no per-process limit on sockets.
uint64_t SockRaiseFileLimit(uint64_t want)
{
    uint64_t limit = PollLimit().load();
    while (limit < want && !PollLimit().compare_exchange_weak(limit, want))
    {
    }
    return PollLimit().load();
}

bool SockGetFileLimit(uint64_t& soft)
{
    soft = PollLimit().load();
    return true;
}

bool SockSetFileLimit(uint64_t soft)
{
    PollLimit().store(soft);
    return true;
}

int32_t SockCountOpen()
{
    return OpenSockets().load();
}

} // namespace QORAPI
