// DirServer: the local directory server, a TCP server on loopback over a
// DirServerEngine. Tests run it in-process (Start, GetPort, Stop); the program
// qor-dirserver runs it standalone.
//
// One worker thread polls the listening socket and every connection, reads
// length-prefixed frames, hands each request to the engine and writes the
// replies back. A frame with an impossible length ends that connection only;
// other clients are served on. For fail-over tests the server can be told to
// misbehave (answer garbage, a wrong header, a truncated reply, or nothing).
//
// Clients that misbehave cannot lock others out (ClientLimits): a connection
// without traffic for the idle limit, or with a frame begun and not finished
// within the partial-frame limit, is closed; the bytes held for all
// connections together are bounded (the largest holder is dropped first);
// one that lets its replies pile up stops being read, then is dropped; each
// connection has a turn of a few requests per pass; and at the connection
// cap a new client takes the place of the one quiet for longest (of those
// that never sent a whole request, if any). A reply
// longer than the frames' length field carries is sent as a refusal
// (WS_CommServ_MessageExceedsMax) in the same reply type instead.
//
// Thread safety: Start, Stop and the setters are called by the owner's thread;
// the counters may be read from any thread. The engine has its own lock.
#ifndef QORAPI_SERVICE_DIRSERVER_H
#define QORAPI_SERVICE_DIRSERVER_H

#include "QORSocket/InetAddress.h"
#include "common/WSStatus.h"
#include "service/ConnTable.h"
#include "service/DirServerEngine.h"
#include "service/SessionGate.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace QORAPI {

enum class DirServerFault : int32_t {
    None = 0,
    Garbage,        // every request gets a frame of random-looking bytes
    WrongHeader,    // replies carry message type 99
    Truncated,      // replies lose their last bytes
    Silent,         // requests are read and never answered
    Close,          // the connection is closed when a request arrives
    SessionExpired, // every request gets the session-expired notice
};

class DirServer
{
public:
    // Uses the given engine (shared with the caller) or a new one.
    explicit DirServer(std::shared_ptr<DirServerEngine> engine = nullptr);
    ~DirServer();
    DirServer(const DirServer&) = delete;
    DirServer& operator=(const DirServer&) = delete;

    // Idle and partial-frame time limits, byte bounds and turns (see ConnTable).
    typedef QORAPI::ClientLimits ClientLimits;

    // Listens on port (0: an ephemeral port) of the bind address.
    WSStatus Start(uint16_t port = 0);
    // Closes every connection and the listener, and joins the worker.
    void Stop();
    bool IsRunning() const { return mRunning.load(); }
    uint16_t GetPort() const { return mPort; }
    // The address and port listened on; invalid when not running.
    InetAddress GetListenAddress() const;

    DirServerEngine& GetEngine() { return *mEngine; }
    std::shared_ptr<DirServerEngine> GetEngineShared() { return mEngine; }

    void SetFault(DirServerFault fault) { mFault.store(static_cast<int32_t>(fault)); }
    // Length field size of the frames (1, 2 or 4; default 4). Set before Start.
    void SetLengthFieldSize(uint8_t size) { mLengthFieldSize = size; }
    // Most connections served at once; at the cap a new client takes the
    // place of the connection quiet for longest, of those that never sent a
    // whole request if any. Set before Start.
    void SetMaxConnections(uint32_t max) { mMaxConnections = max; }
    void SetClientLimits(const ClientLimits& limits) { mLimits = limits; }
    const ClientLimits& GetClientLimits() const { return mLimits; }
    // The IPv4 address to listen on, in host byte order: 127.0.0.1 (this host
    // only) unless set; 0 for every interface. Set before Start.
    void SetBindAddress(uint32_t ipHostOrder) { mBindAddress = ipHostOrder; }
    uint32_t GetBindAddress() const { return mBindAddress; }

    // Peer authentication and encrypted sessions: the server's credentials
    // and the kept sessions (see SessionGate). Unauthenticated requests are
    // served all the same.
    void SetCredentials(const SmartPtr<AuthPeerData>& credentials) { mGate.SetCredentials(credentials); }
    SessionGate& GetSessionGate() { return mGate; }

    uint32_t GetRequestCount() const { return mRequests.load(); }
    uint32_t GetConnectionCount() const { return mCounters.mAccepted.load(); }   // accepted in all
    uint32_t GetOpenConnectionCount() const { return mCounters.mOpen.load(); }
    // Connections closed by a limit of ClientLimits, for a bad or too long
    // frame, or taken over at the cap.
    uint32_t GetDroppedCount() const { return mCounters.mDropped.load(); }
    // Bytes held for all connections (received and unsent), now and at most.
    uint32_t GetHeldBytes() const { return mCounters.mHeld.load(); }
    uint32_t GetPeakHeldBytes() const { return mCounters.mPeakHeld.load(); }
    void ResetCounters();

private:
    struct Impl;
    void Run();

    std::shared_ptr<DirServerEngine> mEngine;
    SessionGate mGate;
    std::unique_ptr<Impl> mImpl;        // owned by the worker while it runs
    std::thread mThread;
    std::atomic<bool> mRunning;
    std::atomic<bool> mStopRequested;
    std::atomic<int32_t> mFault;
    std::atomic<uint32_t> mRequests;
    ConnCounters mCounters;
    uint16_t mPort;
    uint8_t mLengthFieldSize;
    uint32_t mMaxConnections;
    ClientLimits mLimits;
    uint32_t mBindAddress;
};

} // namespace QORAPI

#endif
