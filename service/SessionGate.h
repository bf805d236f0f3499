// SessionGate: peer authentication and encrypted sessions for a local server
// that reads frames itself (the directory server). Every message a
// connection sends passes the gate first:
//   - peer-authentication messages (service 203) are answered by a
//     PeerAuthServer engine with the server's credentials; the session mode
//     (type 1) is served, each session with an identifier of its own, and
//     such sessions are kept by identifier for later connections;
//   - encrypted messages are decrypted with the connection's session, or,
//     on a new connection, with the kept session their identifier names; a
//     session unknown or unused for longer than the maximum age gets the
//     session-expired notice instead;
//   - anything else passes unchanged (authentication is offered, not forced).
// Replies to a connection with an encrypting session are encrypted.
//
// Thread safety: every method takes the gate's lock; a connection's state
// belongs to the thread serving that connection.
#ifndef QORAPI_SERVICE_SESSIONGATE_H
#define QORAPI_SERVICE_SESSIONGATE_H

#include "auth/AuthPeerData.h"
#include "auth/AuthSession.h"
#include "auth/PeerAuthServer.h"
#include "common/ByteBuffer.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace QORAPI {

class SessionGate
{
public:
    // One connection's authentication state.
    struct Conn
    {
        std::unique_ptr<PeerAuthServer> mHandshake;
        SmartPtr<AuthSession> mSession;
    };

    enum Action
    {
        Action_Pass,    // the message (now plain) goes to the server's engine
        Action_Reply,   // send the reply frame, nothing else
        Action_Drop,    // the connection cannot go on
    };

    SessionGate();
    ~SessionGate();

    // The server's certificate, private key and the authentication servers'
    // block; without them peer authentication is refused (failure complete).
    void SetCredentials(const SmartPtr<AuthPeerData>& credentials);
    // Kept sessions unused this long (seconds, default 300) are expired.
    void SetSessionMaxAge(uint32_t seconds);
    // Forgets every kept session (as a server restart would).
    void ForgetSessions();

    Action Incoming(Conn& conn, SmartPtr<ByteBuffer>& message, SmartPtr<ByteBuffer>& replyFrame,
                    uint8_t lengthFieldSize);
    // Encrypts a reply frame for the connection; false when that fails.
    bool Outgoing(Conn& conn, SmartPtr<ByteBuffer>& frame);

    uint32_t GetHandshakeCount() const;         // completed handshakes
    uint32_t GetSessionExpiredCount() const;    // notices sent
    size_t GetKeptSessionCount() const;

private:
    mutable std::mutex mLock;   // guards everything below
    SmartPtr<AuthPeerData> mCredentials;
    uint32_t mMaxAge;
    uint16_t mNextSessionId;
    std::map<uint16_t, SmartPtr<AuthSession>> mSessions;
    uint32_t mHandshakes;
    uint32_t mExpiredNotices;
};

} // namespace QORAPI

#endif
