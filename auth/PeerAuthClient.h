// PeerAuthClient: the client side of peer authentication as a plain engine,
// with no sockets: Start builds the request (50), HandleMessage turns the
// server's challenge 1 (51) into challenge 2 (52) and checks the complete
// (53). After a successful complete the engine holds the agreed session
// (none for authentication type 3). PeerAuthOp drives it over a socket.
//
// Authentication types: 1 session (the server picks a session identifier),
// 2 persistent encrypted, 3 persistent not encrypted. Secret A is drawn here,
// secret B by the server; B is the session key.
//
// Thread safety: none; an engine belongs to one run at a time.
#ifndef QORAPI_AUTH_PEERAUTHCLIENT_H
#define QORAPI_AUTH_PEERAUTHCLIENT_H

#include "QORCrypt/Blowfish.h"
#include "auth/AuthCertificateBase.h"
#include "auth/AuthPeerData.h"
#include "auth/AuthSession.h"
#include "common/ByteBuffer.h"
#include "common/WSStatus.h"

#include <cstdint>

namespace QORAPI {

class PeerAuthClient
{
public:
    enum State : int32_t
    {
        State_Idle = 0,
        State_RequestSent = 1,
        State_ChallengeAnswered = 2,
    };

    PeerAuthClient();
    ~PeerAuthClient();
    PeerAuthClient(const PeerAuthClient&) = delete;
    PeerAuthClient& operator=(const PeerAuthClient&) = delete;

    // Whether to present the Auth2Certificate (and expect the server's); set
    // before Start. Start clears it when the peer data holds no valid one.
    void SetUseSecondCertificate(bool use) { mUseSecondCert = use; }
    bool GetUseSecondCertificate() const { return mUseSecondCert; }

    // State 1; builds the request into out (a frame with a length field of
    // lengthFieldSize bytes). Any earlier session and server certificate are
    // dropped.
    void Start(SmartPtr<ByteBuffer>& out, const SmartPtr<AuthPeerData>& peerData, int32_t authType,
               uint8_t lengthFieldSize);
    // Handles one received message (length field removed). Returns 0 with a
    // reply to send (challenge 2), 0 without one (complete accepted), an
    // engine status, or the negative status of a refusing server.
    WSStatus HandleMessage(const ByteBuffer* message, SmartPtr<ByteBuffer>& reply);
    void Reset() { mState = State_Idle; }

    State GetState() const { return mState; }
    int32_t GetAuthType() const { return mAuthType; }
    // The session after a successful complete (none for type 3).
    const SmartPtr<AuthSession>& GetSession() const { return mSession; }
    // The certificate the server presented in challenge 1.
    const SmartPtr<AuthCertificateBase>& GetServerCertificate() const { return mServerCert; }

private:
    WSStatus HandleChallenge1(ReadBuffer& rb, SmartPtr<ByteBuffer>& reply);
    WSStatus HandleComplete(ReadBuffer& rb);

    SmartPtr<AuthPeerData> mPeerData;
    int32_t mAuthType;
    Blowfish mSecretA;
    Blowfish mSecretB;
    uint8_t mLengthFieldSize;
    bool mUseSecondCert;
    SmartPtr<AuthCertificateBase> mServerCert;
    SmartPtr<AuthSession> mSession;
    State mState;
};

} // namespace QORAPI

#endif
