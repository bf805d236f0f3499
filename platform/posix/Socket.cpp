#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace QORAPI {

static_assert(sizeof(SockPollFd) == sizeof(pollfd), "SockPollFd must match pollfd");
static_assert(offsetof(SockPollFd, fd) == offsetof(pollfd, fd), "SockPollFd must match pollfd");
static_assert(offsetof(SockPollFd, events) == offsetof(pollfd, events), "SockPollFd must match pollfd");
static_assert(offsetof(SockPollFd, revents) == offsetof(pollfd, revents), "SockPollFd must match pollfd");
static_assert(sizeof(SockAddrIn) == sizeof(sockaddr_in), "SockAddrIn must match sockaddr_in");

const int16_t SOCK_POLL_READ = POLLIN;
const int16_t SOCK_POLL_WRITE = POLLOUT;
const int16_t SOCK_POLL_EXCEPT = POLLPRI | POLLERR | POLLHUP;
const int16_t SOCK_POLL_FAILED = POLLERR | POLLHUP | POLLNVAL;

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
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return err;   // EPIPE stays 32
    }
}

namespace {

int32_t LastError()
{
    return SockMapErrno(errno);
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
    return setsockopt(h, level, name, &value, sizeof(value)) == 0 ? 0 : LastError();
}

} // namespace

int32_t SockCreate(int32_t kind, SOCKET& out)
{
    out = INVALID_SOCKET;
    int h;
    if (kind == SOCK_KIND_STREAM)
        h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    else if (kind == SOCK_KIND_DATAGRAM)
        h = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    else
        return SockMapErrno(ESOCKTNOSUPPORT);
    if (h < 0)
        return LastError();
    out = h;
    return 0;
}

int32_t SockClose(SOCKET h)
{
    return close(h) == 0 ? 0 : LastError();
}

void SockShutdownSend(SOCKET h)
{
    shutdown(h, SHUT_WR);
}

int32_t SockSetLinger(SOCKET h, bool on, uint16_t seconds)
{
    linger l;
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return setsockopt(h, SOL_SOCKET, SO_LINGER, &l, sizeof(l)) == 0 ? 0 : LastError();
}

int32_t SockSetBroadcast(SOCKET h, bool on)
{
    return SetIntOption(h, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
}

int32_t SockSetReuseAddr(SOCKET h, bool on)
{
    return SetIntOption(h, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

int32_t SockSetNoDelay(SOCKET h, bool on)
{
    return SetIntOption(h, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

int32_t SockSetNonBlocking(SOCKET h)
{
    const int flags = fcntl(h, F_GETFL, 0);
    if (flags < 0 || fcntl(h, F_SETFL, flags | O_NONBLOCK) < 0)
        return LastError();
    return 0;
}

int32_t SockBind(SOCKET h, uint16_t port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(h, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : LastError();
}

int32_t SockBindTo(SOCKET h, const SockAddrIn& addr)
{
    sockaddr_in sa;
    ToNative(addr, sa);
    return bind(h, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : LastError();
}

int32_t SockListen(SOCKET h, int32_t backlog)
{
    return listen(h, backlog) == 0 ? 0 : LastError();
}

int32_t SockConnect(SOCKET h, const SockAddrIn& addr)
{
    sockaddr_in sa;
    ToNative(addr, sa);
    return connect(h, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : LastError();
}

int32_t SockDissolvePeer(SOCKET h)
{
    sockaddr sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_family = AF_UNSPEC;
    return connect(h, &sa, sizeof(sa)) == 0 ? 0 : LastError();
}

int32_t SockAccept(SOCKET h, SOCKET& out, SockAddrIn& peer)
{
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    const int n = accept4(h, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (n < 0)
    {
        out = INVALID_SOCKET;
        return LastError();
    }
    out = n;
    FromNative(sa, peer);
    return 0;
}

int32_t SockSend(SOCKET h, const void* data, uint32_t length, uint32_t& sent)
{
    const ssize_t n = send(h, data, length, MSG_NOSIGNAL);
    if (n < 0)
        return LastError();
    sent = static_cast<uint32_t>(n);
    return 0;
}

int32_t SockSendTo(SOCKET h, const void* data, uint32_t length, const SockAddrIn& to, uint32_t& sent)
{
    sockaddr_in sa;
    ToNative(to, sa);
    const ssize_t n = sendto(h, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    if (n < 0)
        return LastError();
    sent = static_cast<uint32_t>(n);
    return 0;
}

int32_t SockRecv(SOCKET h, void* buf, uint32_t length, bool datagram, uint32_t& received)
{
    const ssize_t n = recv(h, buf, length, datagram ? MSG_TRUNC : 0);
    if (n < 0)
        return LastError();
    if (datagram && static_cast<uint64_t>(n) > length)
        return SOCK_ERR_MSGSIZE;
    received = static_cast<uint32_t>(n);
    return 0;
}

int32_t SockRecvFrom(SOCKET h, void* buf, uint32_t length, SockAddrIn& from, uint32_t& received)
{
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    const ssize_t n = recvfrom(h, buf, length, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0)
        return LastError();
    FromNative(sa, from);
    if (static_cast<uint64_t>(n) > length)
        return SOCK_ERR_MSGSIZE;
    received = static_cast<uint32_t>(n);
    return 0;
}

int32_t SockGetLocalAddr(SOCKET h, SockAddrIn& out)
{
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    if (getsockname(h, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return LastError();
    FromNative(sa, out);
    return 0;
}

int32_t SockGetPendingError(SOCKET h, int32_t& pending)
{
    int value = 0;
    socklen_t len = sizeof(value);
    if (getsockopt(h, SOL_SOCKET, SO_ERROR, &value, &len) != 0)
        return LastError();
    pending = SockMapErrno(value);
    return 0;
}

int32_t SockPoll(SockPollFd* fds, uint32_t count, uint32_t ms)
{
    const int timeout = ms == 0xFFFFFFFFu ? -1 : (ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms));
    const int n = poll(reinterpret_cast<pollfd*>(fds), static_cast<nfds_t>(count), timeout);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    return n;
}

bool SockParseDotted(const char* text, uint8_t addr[4])
{
    const in_addr_t a = inet_addr(text);
    std::memcpy(addr, &a, 4);
    return a != INADDR_NONE;
}

bool SockResolveHost(const char* host, uint8_t addr[4])
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr)
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
    freeaddrinfo(res);
    return found;
}

std::string SockFormatAddr(const uint8_t addr[4])
{
    in_addr a;
    std::memcpy(&a.s_addr, addr, 4);
    char text[INET_ADDRSTRLEN] = {0};
    if (!inet_ntop(AF_INET, &a, text, sizeof(text)))
        return std::string();
    return text;
}

bool SockGetHostName(std::string& name)
{
    char buf[1024];
    if (gethostname(buf, sizeof(buf)) != 0)
        return false;
    buf[sizeof(buf) - 1] = 0;
    name = buf;
    return true;
}

bool SockGetFileLimit(uint64_t& soft)
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return false;
    soft = rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(rl.rlim_cur);
    return true;
}

bool SockSetFileLimit(uint64_t soft)
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return false;
    rl.rlim_cur = soft == UINT64_MAX ? RLIM_INFINITY : static_cast<rlim_t>(soft);
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

uint64_t SockRaiseFileLimit(uint64_t want)
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 0;
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= want)
        return rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : rl.rlim_cur;
    rlim_t target = want;
    if (rl.rlim_max != RLIM_INFINITY && target > rl.rlim_max)
        target = rl.rlim_max;
    rlimit next = rl;
    next.rlim_cur = target;
    if (setrlimit(RLIMIT_NOFILE, &next) != 0)
        return rl.rlim_cur;
    return target;
}

} // namespace QORAPI
