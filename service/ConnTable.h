// ConnTable: the client connections of a local TCP server that polls its
// sockets on one worker thread, with the limits that keep one client from
// holding the server: a connection without traffic for the idle limit, or
// with a frame begun and not finished within the partial-frame limit, is
// closed; the bytes held for all connections together are bounded (the
// largest holder is dropped first); a connection whose replies pile up
// stops being read, then is dropped; each connection has a turn of a few
// requests per pass; a frame longer than the server takes ends its
// connection; and at the connection cap a new client takes the place of the
// one quiet for longest, of those that never sent a whole message if any.
//
// A server calls Pass in its loop; the table accepts, reads, hands every
// whole message to the server's ConnHandler, writes the replies queued with
// Queue and applies the limits.
//
// Thread safety: the table belongs to the worker thread; the ConnCounters it
// keeps may be read from any thread.
#ifndef QORAPI_SERVICE_CONNTABLE_H
#define QORAPI_SERVICE_CONNTABLE_H

#include "QORSocket/AsyncSocket.h"
#include "common/ByteBuffer.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace QORAPI {

// What one client may make a server hold, and for how long.
struct ClientLimits
{
    uint32_t mIdleMs = 60000;                  // no traffic for this long: closed
    uint32_t mPartialFrameMs = 10000;          // a frame begun must be complete within this
    uint32_t mMaxHeldBytes = 16u << 20;        // received and unsent bytes of all connections
    uint32_t mMaxPendingOutput = 8u << 20;     // unsent replies of one connection
    uint32_t mRequestsPerTurn = 32;            // requests of one connection per pass
};

// Counters of a table, owned by the server so that they outlive the table.
struct ConnCounters
{
    std::atomic<uint32_t> mAccepted{0};   // connections accepted in all
    std::atomic<uint32_t> mOpen{0};       // connections open after the last pass
    std::atomic<uint32_t> mDropped{0};    // closed by a limit or taken over at the cap
    std::atomic<uint32_t> mHeld{0};       // bytes held after the last pass
    std::atomic<uint32_t> mPeakHeld{0};   // the most bytes held after any pass
};

// At the connection cap, whether a connection makes a better one to drop than
// the one picked so far. proven: it sent a whole message (or authenticated);
// idle: ticks since its last traffic. Connections that proved nothing go
// first, so that a client waiting quietly for pushes or replies does not lose
// its place to connections that only hold one; among equals, the one quiet
// for longest.
inline bool BetterToDrop(bool proven, uint32_t idle, bool pickProven, uint32_t pickIdle)
{
    if (proven != pickProven)
        return !proven;
    return idle > pickIdle;
}

// One client connection. Servers derive from it for state of their own.
struct ServerConn
{
    virtual ~ServerConn() {}

    SmartPtr<AsyncSocket> mSocket;
    uint64_t mId = 0;               // unique within the table
    std::string mIn;                // received, not yet taken as frames
    std::string mOut;               // queued, not yet sent
    uint32_t mLastActivity = 0;     // tick of the last byte received or sent
    uint32_t mFrameStart = 0;       // tick at which the unfinished frame in mIn began
    uint32_t mMessages = 0;         // whole messages taken from this connection
    bool mCloseAfterSend = false;   // closed once mOut is sent
    bool mDead = false;             // closed at the end of the pass

    size_t Held() const { return mIn.size() + mOut.size(); }
};

class ConnHandler
{
public:
    virtual ~ConnHandler() {}
    // A new connection's object; the table fills in the common members.
    virtual std::unique_ptr<ServerConn> NewConn() { return std::unique_ptr<ServerConn>(new ServerConn); }
    // One whole message, without its length field. Replies go through
    // ConnTable::Queue; setting mDead or mCloseAfterSend ends the connection.
    virtual void OnMessage(ServerConn& conn, const SmartPtr<ByteBuffer>& message) = 0;
};

class ConnTable
{
public:
    // The table takes the listener (closed by Close). maxFrame is the longest
    // frame taken, length field included; longer ones end the connection.
    ConnTable(const SmartPtr<AsyncSocket>& listener, const ClientLimits& limits, uint32_t maxConnections,
              uint8_t lengthFieldSize, uint32_t maxFrame, ConnCounters& counters);
    ~ConnTable();
    ConnTable(const ConnTable&) = delete;
    ConnTable& operator=(const ConnTable&) = delete;

    // One pass: waits up to waitMs for traffic (not at all while whole
    // requests wait for their turn), accepts, reads, hands out messages,
    // sends and applies the limits. extra sockets are polled along; their
    // revents are set on return.
    void Pass(ConnHandler& handler, uint32_t waitMs, std::vector<SockPollFd>* extra = nullptr);

    // Appends bytes to the connection's output; a connection whose unsent
    // output passes the limit is dropped.
    void Queue(ServerConn& conn, const void* data, size_t length);
    // Frames a message with the table's length field and queues it.
    void QueueFrame(ServerConn& conn, const ByteBuffer* message);

    ServerConn* Find(uint64_t id);
    void ForEach(const std::function<void(ServerConn&)>& fn);
    size_t GetOpenCount() const { return mConns.size(); }
    // Closes every connection and the listener.
    void Close();

private:
    void Accept(uint32_t now, ConnHandler& handler);
    void Serve(ServerConn& conn, int16_t revents, uint32_t now, ConnHandler& handler);
    void Enforce(uint32_t now);
    void Drop(ServerConn& conn);

    SmartPtr<AsyncSocket> mListener;
    const ClientLimits mLimits;
    const uint32_t mMaxConnections;
    const uint32_t mRequestsPerTurn;
    const uint8_t mField;
    const uint32_t mMaxFrame;
    ConnCounters& mCounters;
    std::vector<std::unique_ptr<ServerConn>> mConns;
    std::vector<SockPollFd> mFds;
    std::vector<char> mScratch;
    uint64_t mNextId;
    bool mMore;   // a connection has whole requests left for the next turn
};

} // namespace QORAPI

#endif
