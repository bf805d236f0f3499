// PeerAuthServer: the server side of peer authentication as a plain engine,
// with no sockets. It checks the client's request (50) and certificate,
// answers with challenge 1 (51), checks challenge 2 (52) and answers with the
// complete (53), after which it holds the agreed session (none for type 3).
// Every failure of the request or of challenge 2, and every unreadable
// message, is answered with a failure complete that carries status -4 and
// the failing status's name. PeerAuthServerOp drives it over a socket.
//
// The persistent modes (types 2 and 3) are served. The session mode (type 1,
// mode byte 2) is refused unless enabled with SetSessionMode: servers that
// keep sessions across connections (the local directory server) enable it
// and give each run the session identifier it sends in the complete.
//
// Thread safety: none; an engine belongs to one run at a time.
#ifndef QORAPI_AUTH_PEERAUTHSERVER_H
#define QORAPI_AUTH_PEERAUTHSERVER_H

#include "QORCrypt/Blowfish.h"
#include "auth/AuthCertificateBase.h"
#include "auth/AuthPeerData.h"
#include "auth/AuthSession.h"
#include "common/ByteBuffer.h"
#include "common/WSStatus.h"

#include <cstdint>

namespace QORAPI {

class PeerAuthServer
{
public:
    enum State : int32_t
    {
        State_Idle = 0,           // not started, or finished
        State_AwaitRequest = 1,
        State_AwaitChallenge2 = 2,
    };

    PeerAuthServer();
    ~PeerAuthServer();
    PeerAuthServer(const PeerAuthServer&) = delete;
    PeerAuthServer& operator=(const PeerAuthServer&) = delete;

    // Read and send Auth2Certificates (default) or AuthCertificates.
    void SetUseSecondCertificate(bool use) { mUseSecondCert = use; }
    // Serve the session mode too, handing out sessionId in the complete.
    void SetSessionMode(bool serve, uint16_t sessionId = 0)
    {
        mServeSessionMode = serve;
        mSessionId = sessionId;
    }

    // Stores the server's credentials and the length field size of the
    // messages it builds; state 1.
    void Start(const SmartPtr<AuthPeerData>& peerData, uint8_t lengthFieldSize);
    // Handles one received message (length field removed). The reply, when
    // not null, is a complete frame to send, also when the result is a failure.
    WSStatus HandleMessage(const ByteBuffer* message, SmartPtr<ByteBuffer>& reply);

    State GetState() const { return mState; }
    int32_t GetAuthType() const { return mAuthType; }
    const SmartPtr<AuthSession>& GetSession() const { return mSession; }
    // The certificate the client presented (valid once the request passed).
    const SmartPtr<AuthCertificateBase>& GetClientCertificate() const { return mClientCert; }

    // A failure complete for status: -4, one string naming the status.
    static SmartPtr<ByteBuffer> BuildFailureComplete(WSStatus status, uint8_t lengthFieldSize);

private:
    WSStatus HandleRequest(ReadBuffer& rb, SmartPtr<ByteBuffer>& reply);
    WSStatus HandleChallenge2(ReadBuffer& rb, SmartPtr<ByteBuffer>& reply);
    WSStatus BuildSuccessComplete(SmartPtr<ByteBuffer>& reply);

    SmartPtr<AuthPeerData> mPeerData;
    int32_t mAuthType;
    Blowfish mSecretA;
    Blowfish mSecretB;
    uint8_t mLengthFieldSize;
    SmartPtr<AuthCertificateBase> mClientCert;
    SmartPtr<AuthSession> mSession;
    bool mUseSecondCert;
    bool mServeSessionMode;
    uint16_t mSessionId;
    State mState;
};

} // namespace QORAPI

#endif
