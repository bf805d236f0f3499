// PushServer: a local TCP server on loopback that keeps the connections of its clients
// (ServerConnection clients, as a rule) and pushes messages to them. It reads
// the framed messages the clients send, counts keep-alive frames (3, 1, 7)
// apart from the others, and can push framed messages, raw bytes (a bad frame,
// for tests) or close every connection.
//
// One worker thread polls the listener and every connection; pushes are
// queued under a lock and written by the worker.
//
// Clients that misbehave cannot lock others out: ClientLimits and the
// connection cap bound what one client holds and for how long (see ConnTable).
//
// Thread safety: Start and Stop belong to the owner's thread; Push, CloseAll
// and the counters may be used from any thread.
#ifndef QORAPI_SERVICE_PUSHSERVER_H
#define QORAPI_SERVICE_PUSHSERVER_H

#include "common/ByteBuffer.h"
#include "common/WSStatus.h"
#include "service/ConnTable.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace QORAPI {

class PushServer
{
public:
    PushServer();
    ~PushServer();
    PushServer(const PushServer&) = delete;
    PushServer& operator=(const PushServer&) = delete;

    // Length field size of the frames (1, 2 or 4; default 4). Set before Start.
    void SetLengthFieldSize(uint8_t size) { mLengthFieldSize = size; }
    // Limits of the clients and the most held at once (at the cap a new client
    // takes the place of the connection quiet for longest, of those that never
    // sent a whole message if any). Set before Start.
    void SetClientLimits(const ClientLimits& limits) { mLimits = limits; }
    void SetConnectionCap(uint32_t cap) { mConnectionCap = cap; }
    WSStatus Start(uint16_t port = 0);
    void Stop();
    uint16_t GetPort() const { return mPort; }

    // Frames message (count times) and sends it to every client connected now.
    void Push(const std::string& message, uint32_t count = 1);
    // Sends the bytes as they are to every client connected now.
    void PushRaw(const std::string& bytes);
    // Closes every client connection.
    void CloseAll();

    uint32_t GetClientCount() const { return mCounters.mOpen.load(); }
    // Connections closed by a limit, for a bad frame, or taken over at the cap.
    uint32_t GetDroppedCount() const { return mCounters.mDropped.load(); }
    uint32_t GetPeakHeldBytes() const { return mCounters.mPeakHeld.load(); }
    uint32_t GetKeepAliveCount() const { return mKeepAlives.load(); }
    // Messages other than keep-alives, and the last of them.
    uint32_t GetMessageCount() const { return mMessages.load(); }
    std::string GetLastMessage() const;

private:
    struct Impl;
    void Run();

    std::unique_ptr<Impl> mImpl;
    std::thread mThread;
    std::atomic<bool> mRunning;
    std::atomic<bool> mStopRequested;
    std::atomic<uint32_t> mKeepAlives;
    std::atomic<uint32_t> mMessages;
    uint16_t mPort;
    uint8_t mLengthFieldSize;
    uint32_t mConnectionCap;
    ClientLimits mLimits;
    ConnCounters mCounters;
};

} // namespace QORAPI

#endif
