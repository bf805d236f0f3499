// PeerAuthServerOp: server-side peer authentication of one accepted
// connection. It runs the PeerAuthServer engine over the socket with the
// server's own credentials from its AuthContext (certificate, private key,
// the authentication servers' public-key block and clock offset) and, for
// encrypted types, installs a CryptTransform over the agreed session once the
// complete has gone out. A game host runs one per client.
//
// The run ends once the complete has been sent: with WS_Success, or with the
// engine's status after a failure complete naming it reached the client. A
// message out of state, of another service or of an unknown type ends the run
// without a reply; socket failures and time-outs end it with their own status.
//
// Asynchronous runs need a QueueSocket (accepted sockets of a QueueSocket
// listener are QueueSockets).
//
// Thread safety: as AsyncOp; the run's state is guarded by its own lock.
#ifndef QORAPI_AUTH_PEERAUTHSERVEROP_H
#define QORAPI_AUTH_PEERAUTHSERVEROP_H

#include "auth/PeerAuthServer.h"
#include "auth/ServerOp.h"
#include "common/CriticalSection.h"

namespace QORAPI {

class PeerAuthServerOp : public ServerOp
{
public:
    // Tracking param of the socket operations.
    enum { TrackSocketOp = 0 };

    PeerAuthServerOp(const SmartPtr<AuthContext>& context, const SmartPtr<AsyncSocket>& socket);
    ~PeerAuthServerOp() override;

    // Read and send Auth2Certificates (default) or AuthCertificates.
    void SetUseSecondCertificate(bool use) { mUseSecondCertificate = use; }
    // Serve the session mode (type 1) too, handing out sessionId.
    void SetSessionMode(bool serve, uint16_t sessionId = 0)
    {
        mServeSessionMode = serve;
        mSessionId = sessionId;
    }

    // Results after the run.
    int32_t GetClientAuthType() const;
    SmartPtr<AuthSession> GetSession() const;
    SmartPtr<AuthCertificateBase> GetClientCertificate() const;

protected:
    void RunHook() override;
    bool OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param) override;

private:
    void RunBlocking();
    void Succeed();
    void QueueRecv();

    mutable CriticalSection mRunCrit;   // guards the members below during a run
    PeerAuthServer mServer;
    bool mUseSecondCertificate;
    bool mServeSessionMode;
    uint16_t mSessionId;
    // Asynchronous: the status to finish with once the queued complete is sent.
    bool mFinishAfterSend;
    WSStatus mFinalStatus;
};

typedef SmartPtr<PeerAuthServerOp> PeerAuthServerOpPtr;

} // namespace QORAPI

#endif
