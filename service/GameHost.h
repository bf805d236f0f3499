// GameHost: a local game host on loopback. It accepts connections, proves
// each client with PeerAuthServerOp (the host's own certificate and key from
// the credentials it is given), then echoes every message a client sends back
// to it, or relays it to every other authenticated client; the socket's
// CryptTransform decrypts on the way in and encrypts on the way out. Push
// sends a message of the host's own to every authenticated client (the
// ServerConnection clients of a game); keep-alive frames (3, 1, 7) are
// counted and neither echoed nor relayed. It keeps
// a record of who connected and with what outcome, and can report each one.
//
// The host runs on the library core of the process (which must exist and be
// threaded, or be pumped by the caller); tests run it in-process, the program
// qor-host standalone. For tests of the client side it can misbehave during
// the handshake (GameHostFault) or refuse the first requests with a status.
//
// Clients that misbehave cannot lock others out: a handshake ends within the
// authentication limit, an authenticated connection without a message for
// the idle limit is closed (a frame left unfinished counts as no message),
// frames longer than the frame maximum end their connection, one that does
// not read what it is sent is closed once its unsent bytes pass the limit,
// the unsent bytes of all connections are bounded (the largest holder goes
// first), and at the connection cap a new client takes the place of the
// one quiet for longest, of those not authenticated if any.
//
// Thread safety: Start, Stop and the setters are called by the owner's thread
// (setters before Start); the records and counters may be read from any
// thread. Completions hold the host's shared state, not the host, so
// operations that end after Stop find it stopped and do nothing.
#ifndef QORAPI_SERVICE_GAMEHOST_H
#define QORAPI_SERVICE_GAMEHOST_H

#include "QORSocket/InetAddress.h"
#include "auth/AuthPeerData.h"
#include "common/ByteBuffer.h"
#include "common/RefCount.h"
#include "common/WSStatus.h"
#include "service/ConnTable.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace QORAPI {

enum class GameHostMode : int32_t {
    Echo = 0,    // every message goes back to its sender
    Relay = 1,   // every message goes to every other authenticated client
};

// Handshake faults, each played instead of the normal server side.
enum class GameHostFault : int32_t {
    None = 0,
    CompleteFirst,     // the request is answered by an accepting complete (out of order)
    Challenge1Twice,   // challenge 2 is answered by challenge 1 again
    WrongServiceType,  // challenge 1 carries another service type
    Truncated,         // challenge 1 loses its last bytes
    WrongSecret,       // the complete carries a secret A the client never drew
};

// One connection's outcome, as the host records and reports it.
struct GameHostClient
{
    InetAddress mAddress;
    WSStatus mStatus = WS_None;   // of the authentication
    int32_t mAuthType = 0;        // 1 to 3 once authenticated
    uint32_t mUserId = 0;
    std::u16string mName;         // from an Auth2Certificate
};

class GameHost
{
public:
    typedef std::function<void(const GameHostClient&)> ReportFunction;

    GameHost();
    ~GameHost();
    GameHost(const GameHost&) = delete;
    GameHost& operator=(const GameHost&) = delete;

    // The host's certificate, private key, the authentication servers'
    // public-key block and the clock offset by which it judges expiry.
    void SetCredentials(const SmartPtr<AuthPeerData>& credentials);
    void SetMode(GameHostMode mode);
    void SetFault(GameHostFault fault);
    // The next count requests are refused with a failure complete of status.
    void SetRefusals(uint32_t count, WSStatus status = WS_CommServ_ExpiredPeerCertificate);
    // Present and expect AuthCertificates instead of Auth2Certificates.
    void SetUseSecondCertificate(bool use);
    // Serve the session mode (type 1) too, one session identifier per client.
    void SetServeSessionMode(bool serve);
    // Length field size of the frames (1, 2 or 4; default 4).
    void SetLengthFieldSize(uint8_t size);
    // Limit of one handshake (default 20000 ms).
    void SetAuthTimeout(uint32_t ms);
    // mIdleMs, mMaxPendingOutput and mMaxHeldBytes of the limits apply.
    void SetClientLimits(const ClientLimits& limits);
    // Most connections held at once (default 1024).
    void SetMaxConnections(uint32_t max);
    // Called on the completing thread for every connection's outcome.
    void SetReport(const ReportFunction& report);

    // Listens on port (0: an ephemeral one) for clients on 127.0.0.1.
    // WS_AsyncMode_NotSupported without a library core; else the status of
    // the socket layer.
    WSStatus Start(uint16_t port = 0);
    // Closes the listener and every connection; joins the fault players.
    void Stop();
    bool IsRunning() const;
    uint16_t GetPort() const;

    std::vector<GameHostClient> GetClients() const;
    // Clients authenticated and still connected.
    uint32_t GetConnectedCount() const;
    // Messages received from authenticated clients, keep-alives apart.
    uint32_t GetMessageCount() const;
    uint32_t GetKeepAliveCount() const;
    // Connections open (in the handshake or after), closed by a limit or
    // taken over at the cap, and the most unsent bytes held at once.
    uint32_t GetOpenConnectionCount() const;
    uint32_t GetDroppedCount() const;
    uint32_t GetPeakHeldBytes() const;
    // Queues message (without length field) to every authenticated client;
    // returns how many it went to.
    uint32_t Push(const SmartPtr<ByteBuffer>& message);

    struct State;

private:
    SmartPtr<State> mState;
};

} // namespace QORAPI

#endif
