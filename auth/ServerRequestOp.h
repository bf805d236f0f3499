// ServerRequestOp: the fail-over request loop. It connects to one server of a
// ServerContext after another, optionally authenticates or reuses a cached
// encrypted session, sends one or more requests, reads replies until the
// exchange is done, and on any trouble moves on to the next server. Concrete
// requests supply BuildRequest, HandleReply and ResetForServer.
//
// Each server is tried at most once per run (a server whose cached session
// expired is tried once more with fresh authentication). When every server
// failed, the run reports the common status if all failures were alike, else
// WS_ServerReq_FailedAllServers. Failing and timed-out servers are moved to
// the end of the shared context.
//
// Thread safety: as AsyncOp. Setters are for the caller before a run. The
// loop's state is guarded by its own lock, so sub-operation completions
// delivered by several pumping threads never overlap.
#ifndef QORAPI_AUTH_SERVERREQUESTOP_H
#define QORAPI_AUTH_SERVERREQUESTOP_H

#include "QORSocket/InetAddress.h"
#include "auth/AuthSession.h"
#include "auth/ServerContext.h"
#include "auth/ServerOp.h"
#include "common/ByteBuffer.h"
#include "common/CriticalSection.h"

#include <cstdint>

namespace QORAPI {

class ServerRequestOp : public ServerOp
{
public:
    // Tracking params of sub-operations.
    enum { TrackSocketOp = 1, TrackPeerAuth = 2 };

    explicit ServerRequestOp(const SmartPtr<ServerContext>& context);
    explicit ServerRequestOp(const InetAddress& address);
    ~ServerRequestOp() override;

    void SetUseSecondCertificate(bool use) { mUseSecondCert = use; }
    bool GetUseSecondCertificate() const { return mUseSecondCert; }

    // Results after the end of a run.
    WSStatus GetCertStatus() const { return mCertStatus; }
    WSStatus GetLastError() const { return mLastError; }
    const SmartPtr<ServerContext>& GetServerContext() const { return mServerContext; }
    // The server of the current or last attempt.
    InetAddress GetCurrentAddress() const;

protected:
    void RunHook() override;
    void CleanupHook() override;
    bool OnTrackedOpDone(const SmartPtr<AsyncOp>& op, int32_t param) override;

    // Builds the next request into mRequest; returns WS_ServerReq_Send (send it
    // and build another) or WS_ServerReq_Recv (send it, then receive). Any
    // other status ends the run with it (WS_ServerReq_TryNextServer moves on).
    // A request longer than the length field carries ends the run with
    // WS_SendMsg_FrameTooLong, nothing sent.
    virtual WSStatus BuildRequest();
    // Handles mReply; returns WS_ServerReq_Recv (receive another),
    // WS_ServerReq_Send (build and send the next request),
    // WS_ServerReq_TryNextServer, WS_ServerReq_ExitCommunicationLoop, or the
    // status that ends the run. A read past the end of the reply fails over
    // with WS_ServerReq_UnpackFailure.
    virtual WSStatus HandleReply();
    // Called before each server is tried.
    virtual void ResetForServer();

    // Records status and returns WS_ServerReq_TryNextServer (for handlers that
    // find a reply unusable, e.g. WS_ServerReq_InvalidReplyHeader).
    WSStatus FailOver(WSStatus status);

    SmartPtr<ByteBuffer> mRequest;   // the request to send
    SmartPtr<ByteBuffer> mReply;     // the last reply, length prefix removed

private:
    void Init();
    void RecordError(WSStatus status);
    void EndWith(WSStatus status);
    bool TryNextServer();
    bool Authenticate();
    bool Connect();
    // BuildRequest, then the frame length check of MsgFrame.h.
    WSStatus BuildCheckedRequest();
    WSStatus SendStepBlock();
    WSStatus RecvStepBlock();
    void SendStepAsync();
    void QueueRecv();
    bool CheckSessionExpired();
    WSStatus SafeHandleReply();
    void RunBlocking();

    CriticalSection mLoopCrit;            // guards the loop state below
    InetAddressList mAddresses;
    size_t mCursor;
    SmartPtr<AuthSession> mSession;
    bool mUsedCachedSession;
    bool mSessionExpired;
    InetAddress mCurrentAddress;
    bool mUseSecondCert;
    WSStatus mCertStatus;
    bool mSameError;
    WSStatus mLastError;
    SmartPtr<ServerContext> mServerContext;
    InetAddress mSingleAddress;
};

typedef SmartPtr<ServerRequestOp> ServerRequestOpPtr;

} // namespace QORAPI

#endif
