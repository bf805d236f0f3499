// ServerOp: the base of every operation that talks to a server over a socket
// of its own. It carries the socket, the AuthContext, the authentication type,
// the length field size of its messages and three step timeouts.
//
// A step's effective timeout is the step's own in asynchronous mode, and in
// blocking mode the smaller of the step's and the operation's time left.
//
// Thread safety: as AsyncOp. The setters are for the caller before a run; a
// run is driven by one thread at a time.
#ifndef QORAPI_AUTH_SERVEROP_H
#define QORAPI_AUTH_SERVEROP_H

#include "QORSocket/AsyncSocket.h"
#include "auth/AuthContext.h"
#include "common/AsyncOpWithTracker.h"

#include <cstdint>

namespace QORAPI {

class ServerOp : public AsyncOpWithTracker
{
public:
    ServerOp();
    ~ServerOp() override;

    void SetTimeouts(uint32_t connectMs, uint32_t sendMs, uint32_t recvMs);
    uint32_t GetConnectTimeout() const { return mConnectTimeout; }
    uint32_t GetSendTimeout() const { return mSendTimeout; }
    uint32_t GetRecvTimeout() const { return mRecvTimeout; }

    void SetAuthContext(const SmartPtr<AuthContext>& context) { mAuthContext = context; }
    const SmartPtr<AuthContext>& GetAuthContext() const { return mAuthContext; }
    // 0 none, 1 session with caching, 2 and 3 persistent sessions.
    void SetAuthType(int32_t type) { mAuthType = type; }
    int32_t GetAuthType() const { return mAuthType; }
    void SetLengthFieldSize(uint8_t size) { mLengthFieldSize = size; }
    uint8_t GetLengthFieldSize() const { return mLengthFieldSize; }
    void SetSocket(const SmartPtr<AsyncSocket>& socket) { mSocket = socket; }
    const SmartPtr<AsyncSocket>& GetSocket() const { return mSocket; }

protected:
    // The effective timeout of a step whose own timeout is stepMs.
    uint32_t StepTimeout(uint32_t stepMs) const;

    SmartPtr<AsyncSocket> mSocket;
    SmartPtr<AuthContext> mAuthContext;
    int32_t mAuthType;
    uint8_t mLengthFieldSize;
    uint32_t mConnectTimeout;
    uint32_t mSendTimeout;
    uint32_t mRecvTimeout;
};

} // namespace QORAPI

#endif
