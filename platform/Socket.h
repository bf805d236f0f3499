// The operating system's socket calls, reduced to what the socket classes need.
// Every failure is reported as the Windows Sockets error number of the same
// meaning (0 for success), so the layers above see one set of numbers.
//
// Thread safety: every function may be called from any thread; a handle is
// owned by its caller, which keeps it from being closed while it is in use.
#ifndef QORAPI_PLATFORM_SOCKET_H
#define QORAPI_PLATFORM_SOCKET_H

#include <cstdint>
#include <string>

namespace QORAPI {

typedef int SOCKET;
const SOCKET INVALID_SOCKET = -1;

// An IPv4 socket address in the layout of sockaddr_in: family, then the port
// and the address in network byte order, then eight zero bytes.
struct SockAddrIn
{
    uint16_t family;
    uint8_t port[2];
    uint8_t addr[4];
    uint8_t zero[8];
};

const uint16_t SOCK_AF_INET = 2;

// Socket kinds as the library numbers them (stream = 0, datagram = 1).
const int32_t SOCK_KIND_STREAM = 0;
const int32_t SOCK_KIND_DATAGRAM = 1;

// Windows Sockets numbers the socket classes test for.
const int32_t SOCK_ERR_WOULDBLOCK = 10035;
const int32_t SOCK_ERR_INPROGRESS = 10036;
const int32_t SOCK_ERR_MSGSIZE = 10040;

// The Windows Sockets number for an errno value; values without a counterpart
// are returned unchanged.
int32_t SockMapErrno(int err);

// Creates a close-on-exec, non-blocking socket of the given kind.
int32_t SockCreate(int32_t kind, SOCKET& out);
int32_t SockClose(SOCKET h);
void SockShutdownSend(SOCKET h);

int32_t SockSetLinger(SOCKET h, bool on, uint16_t seconds);
int32_t SockSetBroadcast(SOCKET h, bool on);
int32_t SockSetReuseAddr(SOCKET h, bool on);
int32_t SockSetNoDelay(SOCKET h, bool on);
int32_t SockSetNonBlocking(SOCKET h);

int32_t SockBind(SOCKET h, uint16_t port);   // INADDR_ANY
int32_t SockBindTo(SOCKET h, const SockAddrIn& addr);
int32_t SockListen(SOCKET h, int32_t backlog);
int32_t SockConnect(SOCKET h, const SockAddrIn& addr);
int32_t SockDissolvePeer(SOCKET h);           // connect with AF_UNSPEC
// The accepted handle is close-on-exec and non-blocking.
int32_t SockAccept(SOCKET h, SOCKET& out, SockAddrIn& peer);

// Never raises SIGPIPE. sent/received are set only on success.
int32_t SockSend(SOCKET h, const void* data, uint32_t length, uint32_t& sent);
int32_t SockSendTo(SOCKET h, const void* data, uint32_t length, const SockAddrIn& to, uint32_t& sent);
// A datagram longer than length fails with SOCK_ERR_MSGSIZE (its head is in buf).
int32_t SockRecv(SOCKET h, void* buf, uint32_t length, bool datagram, uint32_t& received);
int32_t SockRecvFrom(SOCKET h, void* buf, uint32_t length, SockAddrIn& from, uint32_t& received);

int32_t SockGetLocalAddr(SOCKET h, SockAddrIn& out);
// The pending error of the socket (SO_ERROR), mapped; 0 when there is none.
int32_t SockGetPendingError(SOCKET h, int32_t& pending);

// Readiness polling over an array of entries laid out as struct pollfd (on
// Windows they are translated for WSAPoll).
struct SockPollFd
{
    int fd;
    int16_t events;
    int16_t revents;
};
extern const int16_t SOCK_POLL_READ;     // POLLIN
extern const int16_t SOCK_POLL_WRITE;    // POLLOUT
extern const int16_t SOCK_POLL_EXCEPT;   // POLLPRI | POLLERR | POLLHUP
extern const int16_t SOCK_POLL_FAILED;   // POLLERR | POLLHUP | POLLNVAL: always reported

// Waits up to ms milliseconds (0xFFFFFFFF: no limit). Returns the number of
// entries with events, 0 on time-out, -1 on failure. An interrupted wait
// counts as a time-out.
int32_t SockPoll(SockPollFd* fds, uint32_t count, uint32_t ms);

// inet_addr: false for a bad text and for 255.255.255.255 (INADDR_NONE).
bool SockParseDotted(const char* text, uint8_t addr[4]);
// Resolves an IPv4 address of a host name (the first one found).
bool SockResolveHost(const char* host, uint8_t addr[4]);
std::string SockFormatAddr(const uint8_t addr[4]);
bool SockGetHostName(std::string& name);

// Raises the soft limit on open files towards want (never past the hard
// limit); returns the soft limit in force afterwards.
uint64_t SockRaiseFileLimit(uint64_t want);

// The soft limit on open files, which also bounds the entries of one SockPoll:
// a poll over more entries than the limit fails. On POSIX it is the process's
// RLIMIT_NOFILE; Windows has no such limit, so its socket layer keeps one of its
// own (no limit until one is set) that SockPoll alone honours.
bool SockGetFileLimit(uint64_t& soft);
// Sets the soft limit (never past a hard limit); false when it cannot be set.
bool SockSetFileLimit(uint64_t soft);

} // namespace QORAPI

#endif
