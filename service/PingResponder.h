// PingResponder: local UDP and TCP ping responders on loopback. One object
// owns any number of UDP responders (one socket each) and optionally one TCP
// responder, all served by a single worker thread that polls them. Tests run
// it in-process; the program qor-pingd runs it standalone.
//
// UDP: a datagram 3, 1, 5, identifier (4 bytes), flag is answered with
// 3, 1, 6 and the identifier. TCP: a framed request 3, 1, 5, tick, flag is
// answered with a frame 3, 1, 6, the tick and, when the flag asks for it and
// extended information is set, the extended fields.
//
// For tests every responder can misbehave (PingBehavior): drop requests, answer
// after a delay, answer with a wrong identifier or header, answer only from
// the n-th request on, or (TCP) close the connection.
//
// Clients that misbehave cannot lock others out: TCP connections are held
// within ClientLimits and a connection cap (see ConnTable), frames longer
// than a ping request could be end their connection, and each UDP responder
// reads a turn of datagrams at a time, skipping those that are no ping.
//
// Thread safety: Start and Stop belong to the owner's thread; the behaviour
// setters and the counters may be used from any thread while it runs.
#ifndef QORAPI_SERVICE_PINGRESPONDER_H
#define QORAPI_SERVICE_PINGRESPONDER_H

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

enum class PingFault : int32_t {
    None = 0,
    Drop,           // requests are read and never answered
    WrongId,        // the identifier (UDP) or tick (TCP) is answered plus one
    WrongHeader,    // replies carry message type 7 instead of 6
    Close,          // TCP only: the connection is closed when a request arrives
};

struct PingBehavior
{
    PingFault mFault = PingFault::None;
    uint32_t mDelayMs = 0;       // every reply leaves this much later
    uint32_t mAnswerFrom = 1;    // requests before the n-th are dropped
};

// The extended information of a TCP ping reply.
struct PingExtendedInfo
{
    bool mEnabled = false;       // answer extended requests with the fields
    bool mSecondGroup = false;   // also send text5 and text6
    std::string mText1, mText2, mText3, mText4, mText5, mText6;
    uint32_t mNumber1 = 0;
    uint32_t mNumber2 = 0;
    bool mFlag = false;
};

class PingResponder
{
public:
    PingResponder();
    ~PingResponder();
    PingResponder(const PingResponder&) = delete;
    PingResponder& operator=(const PingResponder&) = delete;

    // Before Start: count UDP responders on ephemeral ports (or on firstPort,
    // firstPort + 1, ... when it is not 0), and a TCP responder.
    void SetUdpCount(uint32_t count, uint16_t firstPort = 0);
    void SetTcp(bool enabled, uint16_t port = 0, uint8_t lengthFieldSize = 4);
    // Limits of the TCP clients and the most held at once (at the cap a new
    // client takes the place of the connection quiet for longest, of those
    // that never sent a whole message if any).
    void SetClientLimits(const ClientLimits& limits) { mLimits = limits; }
    void SetConnectionCap(uint32_t cap) { mConnectionCap = cap; }

    // Binds everything and starts the worker. Fails when a socket cannot be
    // bound; nothing is left open then.
    WSStatus Start();
    void Stop();
    bool IsRunning() const { return mRunning.load(); }

    uint32_t GetUdpCount() const;
    uint16_t GetUdpPort(uint32_t index) const;
    uint16_t GetTcpPort() const { return mTcpPort; }

    void SetUdpBehavior(uint32_t index, const PingBehavior& behavior);
    void SetAllUdpBehavior(const PingBehavior& behavior);
    void SetTcpBehavior(const PingBehavior& behavior);
    void SetExtendedInfo(const PingExtendedInfo& info);

    // Requests received (answered or not).
    uint32_t GetUdpRequests(uint32_t index) const;
    uint32_t GetTotalUdpRequests() const { return mTotalUdp.load(); }
    uint32_t GetTcpRequests() const { return mTcpRequests.load(); }
    // TCP connections open, closed by the server (a limit, a bad or too long
    // frame, the cap) and the most bytes held for them after any pass.
    uint32_t GetOpenConnectionCount() const { return mCounters.mOpen.load(); }
    uint32_t GetDroppedCount() const { return mCounters.mDropped.load(); }
    uint32_t GetPeakHeldBytes() const { return mCounters.mPeakHeld.load(); }
    void ResetCounters();

private:
    struct Impl;
    void Run();

    std::unique_ptr<Impl> mImpl;
    std::thread mThread;
    std::atomic<bool> mRunning;
    std::atomic<bool> mStopRequested;
    std::atomic<uint32_t> mTotalUdp;
    std::atomic<uint32_t> mTcpRequests;
    uint32_t mUdpCount;
    uint16_t mUdpFirstPort;
    bool mTcpEnabled;
    uint16_t mTcpPortWanted;
    uint16_t mTcpPort;
    uint8_t mLengthFieldSize;
    uint32_t mConnectionCap;
    ClientLimits mLimits;
    ConnCounters mCounters;
};

} // namespace QORAPI

#endif
