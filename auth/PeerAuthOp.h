// PeerAuthOp: client-side peer authentication of one connection, the step the
// request loop runs before an authenticated request when no cached session
// can be used. On success it has connected the socket, installed the message
// encryption and holds the agreed session.
//
// Peer authentication itself is not part of this build yet: every run ends
// with WS_AuthRequired, so an authenticated request fails over each of its
// servers and reports WS_AuthRequired, cleanly and without waiting.
//
// Thread safety: as AsyncOp.
#ifndef QORAPI_AUTH_PEERAUTHOP_H
#define QORAPI_AUTH_PEERAUTHOP_H

#include "QORSocket/InetAddress.h"
#include "auth/AuthSession.h"
#include "auth/ServerOp.h"

namespace QORAPI {

class PeerAuthOp : public ServerOp
{
public:
    PeerAuthOp(const InetAddress& address, const SmartPtr<AuthContext>& context, int32_t authType,
               const SmartPtr<AsyncSocket>& socket, bool useSecondCertificate);
    ~PeerAuthOp() override;

    const InetAddress& GetAddress() const { return mAddress; }
    // The agreed session after WS_Success.
    const SmartPtr<AuthSession>& GetSession() const { return mSession; }
    // Status of the certificate renewal behind WS_PeerAuth_GetCertFailure.
    WSStatus GetRenewalStatus() const { return mRenewalStatus; }

protected:
    void RunHook() override;

    InetAddress mAddress;
    bool mUseSecondCertificate;
    WSStatus mRenewalStatus;
    SmartPtr<AuthSession> mSession;
};

typedef SmartPtr<PeerAuthOp> PeerAuthOpPtr;

} // namespace QORAPI

#endif
