// PeerAuthOp: client-side peer authentication of one connection. It connects
// the socket to the server, runs the PeerAuthClient exchange over it and, for
// authentication types 1 and 2, installs a CryptTransform over the agreed
// session, so every later message on the connection is encrypted. Type 0 only
// connects; type 3 authenticates without a transform.
//
// The certificate comes from the AuthContext. One close to expiry is renewed
// first (blocking: within 30 s; asynchronous: within 120 s the renewal runs
// beside the exchange, within 30 s the exchange waits for it). A server that
// refuses the certificate with -4 or -19 gets one more exchange on a fresh
// connection after one renewal; a second refusal ends the run with the
// server's status (blocking) or WS_PeerAuth_GetCertFailure (asynchronous). A
// failed renewal ends it with WS_PeerAuth_GetCertFailure, the renewal's own
// status readable through GetRenewalStatus.
//
// Asynchronous runs need a QueueSocket (the request loop's BlockingSocket is
// one). The request loop reads the session after WS_Success.
//
// Thread safety: as AsyncOp; the run's state is guarded by its own lock, so
// sub-operation completions delivered by several pumping threads never overlap.
#ifndef QORAPI_AUTH_PEERAUTHOP_H
#define QORAPI_AUTH_PEERAUTHOP_H

#include "QORSocket/InetAddress.h"
#include "auth/AuthPeerData.h"
#include "auth/AuthSession.h"
#include "auth/PeerAuthClient.h"
#include "auth/ServerOp.h"
#include "common/CriticalSection.h"

namespace QORAPI {

class PeerAuthOp : public ServerOp
{
public:
    // Tracking params of sub-operations.
    enum { TrackSocketOp = 1, TrackRenewal = 2 };
    // Renewal status after the one renewal-driven restart.
    static constexpr WSStatus RestartedMarker = WS_CommServ_InvalidParameters;
    // Renew first when the certificate expires within these many seconds.
    static constexpr int32_t RenewAheadSeconds = 120;
    static constexpr int32_t RenewBeforeStartSeconds = 30;

    PeerAuthOp(const InetAddress& address, const SmartPtr<AuthContext>& context, int32_t authType,
               const SmartPtr<AsyncSocket>& socket, bool useSecondCertificate);
    ~PeerAuthOp() override;

    const InetAddress& GetAddress() const { return mAddress; }
    // The agreed session after WS_Success (none for types 0 and 3).
    SmartPtr<AuthSession> GetSession() const;
    // WS_None, WS_Pending while a renewal runs, the renewal's status, or -4
    // once the renewal-driven restart has happened.
    WSStatus GetRenewalStatus() const;
    // The certificate the server presented.
    SmartPtr<AuthCertificateBase> GetServerCertificate() const;

protected:
    void RunHook() override;
    bool OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param) override;

private:
    void RunBlocking();
    WSStatus Exchange(SmartPtr<ByteBuffer>& request, SmartPtr<ByteBuffer>& reply, WSStatus& result);
    void Succeed();
    void StartRenewal();
    void QueueAttempt();
    void Restart();
    bool IsRefusal(WSStatus status) const
    {
        return status == WS_CommServ_InvalidParameters || status == WS_CommServ_ExpiredPeerCertificate;
    }

    mutable CriticalSection mRunCrit;   // guards the members below during a run
    InetAddress mAddress;
    bool mUseSecondCertificate;
    WSStatus mRenewalStatus;
    SmartPtr<AuthPeerData> mPeerData;
    PeerAuthClient mClient;
};

typedef SmartPtr<PeerAuthOp> PeerAuthOpPtr;

} // namespace QORAPI

#endif
