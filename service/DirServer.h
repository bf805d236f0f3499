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
// Thread safety: Start, Stop and the setters are called by the owner's thread;
// the counters may be read from any thread. The engine has its own lock.
#ifndef QORAPI_SERVICE_DIRSERVER_H
#define QORAPI_SERVICE_DIRSERVER_H

#include "common/WSStatus.h"
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

    // Listens on port (0: an ephemeral port) of every local address; loopback
    // only is enough for tests as clients connect to 127.0.0.1.
    WSStatus Start(uint16_t port = 0);
    // Closes every connection and the listener, and joins the worker.
    void Stop();
    bool IsRunning() const { return mRunning.load(); }
    uint16_t GetPort() const { return mPort; }

    DirServerEngine& GetEngine() { return *mEngine; }
    std::shared_ptr<DirServerEngine> GetEngineShared() { return mEngine; }

    void SetFault(DirServerFault fault) { mFault.store(static_cast<int32_t>(fault)); }
    // Length field size of the frames (1, 2 or 4; default 4). Set before Start.
    void SetLengthFieldSize(uint8_t size) { mLengthFieldSize = size; }
    // Most connections served at once; further ones are closed at accept.
    void SetMaxConnections(uint32_t max) { mMaxConnections = max; }

    // Peer authentication and encrypted sessions: the server's credentials
    // and the kept sessions (see SessionGate). Unauthenticated requests are
    // served all the same.
    void SetCredentials(const SmartPtr<AuthPeerData>& credentials) { mGate.SetCredentials(credentials); }
    SessionGate& GetSessionGate() { return mGate; }

    uint32_t GetRequestCount() const { return mRequests.load(); }
    uint32_t GetConnectionCount() const { return mConnections.load(); }
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
    std::atomic<uint32_t> mConnections;
    uint16_t mPort;
    uint8_t mLengthFieldSize;
    uint32_t mMaxConnections;
};

} // namespace QORAPI

#endif
