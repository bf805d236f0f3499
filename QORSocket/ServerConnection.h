// ServerConnection: a lasting TCP connection to one server, for services that
// push messages to the client. It connects (and, with an authentication type
// other than 0, authenticates through PeerAuthOp, which installs the message
// encryption) in one step, then keeps a RecvMsgOp running over and over and
// hands every message to MsgReceived, and sends a keep-alive frame (3, 1, 7)
// every keepAliveInterval seconds. Messages to the server are sent by queueing
// SendMsgOps (QueueOp); operations queued while an attempt runs wait for its
// end, so nothing of the application's goes out before the connection is up
// and, when authenticated, encrypted. A failure of any queued or repeating operation closes
// the connection and reaches the closed completion (SetClosedCompletion) as a
// CloseOp carrying the failure status.
//
// A new connect kills an attempt still running: that attempt reports WS_Killed
// to the connect completion. It also drops the transforms of the last
// connection. An attempt refused for its certificate renews it and retries on
// a fresh connection (CloseForReconnect) within the same run. A failed attempt
// closes the socket again, so nothing can be sent on a connection that did not
// come up. After CloseAndClear no completion of the connection is called any
// more.
//
// Thread safety: every call takes the socket's lock; completions, hooks and
// MsgReceived run without it, on the pump (asynchronous mode) or, for the
// connect completion of ConnectBlock, on the caller's thread.
#ifndef QORAPI_QORSOCKET_SERVERCONNECTION_H
#define QORAPI_QORSOCKET_SERVERCONNECTION_H

#include "QORSocket/BlockingSocket.h"
#include "auth/AuthContext.h"
#include "common/AsyncOp.h"

#include <cstdint>
#include <deque>

namespace QORAPI {

class ServerConnection : public BlockingSocket
{
public:
    ServerConnection();
    ~ServerConnection() override;

    void KillOps() override;
    void ClearCompletions() override;
    // The running attempt closes for its retry on a fresh connection: the
    // close spares it. A killed attempt leaves the connection alone; any
    // other operation closes it as Close does.
    void CloseForReconnect(const AsyncOp* requester) override;

    // authType 0 connects without authentication.
    void SetAuth(const SmartPtr<AuthContext>& authContext, int32_t authType);
    // Seconds between keep-alive frames; 0 switches them off. A running timer
    // keeps its old period until it next fires.
    void SetKeepAliveInterval(uint32_t seconds);
    uint32_t GetKeepAliveInterval() const;
    // Called with the connecting operation (the PeerAuthOp, or the ConnectOp
    // when authType is 0) when an attempt ends.
    void SetConnectCompletion(const CompletionPtr& completion);
    // Called with a CloseOp carrying the failure when a connection that came
    // up is lost. A failing attempt reports to the connect completion only.
    void SetClosedCompletion(const CompletionPtr& completion) override;

    // Closes, then connects in the background; returns the attempt's status
    // after its start (normally WS_Pending).
    WSStatus ConnectAsync(const InetAddress& address, uint32_t timeout = InfiniteMs);
    // Closes, then connects on the caller's thread; returns the attempt's status.
    // It hides AsyncSocket::ConnectBlock on purpose and must not override it:
    // the attempt itself (PeerAuthOp) connects through that plain connect.
    WSStatus ConnectBlock(const InetAddress& address, uint32_t timeout);

    // Queues op as QueueSocket::QueueOp does. While a connection attempt runs,
    // op waits for its end: it is queued once the connection is up, and ends
    // with WS_Killed when the attempt fails or the connection is closed first.
    // It hides QueueSocket::QueueOp on purpose: the attempt queues its own
    // steps through that one.
    void QueueOp(const SmartPtr<SocketOp>& op, uint32_t timeout = InfiniteMs);

    // The running connection attempt, or none.
    SmartPtr<AsyncOp> GetConnectOp() const;
    bool IsKeepAliveRunning() const;

    // The keep-alive frame for a length field of the given size.
    static SmartPtr<ByteBuffer> MakeKeepAliveFrame(uint8_t lengthFieldSize);

protected:
    virtual void OnConnectDone(const SmartPtr<AsyncOp>& op);
    // Every message the server sends; does nothing here.
    virtual void MsgReceived(const SmartPtr<ByteBuffer>& message);

private:
    class KilledAttemptCompletion;

    SmartPtr<AsyncOp> MakeConnectOp(const InetAddress& address);
    void CloseForConnect();
    // Queues the operations held back during the attempt, in order; called
    // under the lock.
    void ReleaseHeldOps();
    void KillHeldOps();
    void StartKeepAliveTimer();
    void OnKeepAliveTimer(const SmartPtr<AsyncOp>& op);
    void OnMessage(const SmartPtr<AsyncOp>& op);
    void OnKilledAttempt(const SmartPtr<AsyncOp>& op, const CompletionPtr& completion, uint32_t clearEpoch);
    static void ConnectDoneCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> connection);
    static void KeepAliveCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> connection);
    static void MessageCallback(SmartPtr<AsyncOp> op, SmartPtr<RefCount> connection);

    // All guarded by the socket's lock.
    SmartPtr<AuthContext> mAuthContext;
    int32_t mAuthType;
    SmartPtr<AsyncOp> mConnectOp;
    CompletionPtr mConnectCompletion;
    CompletionPtr mClosedCompletion;   // handed to the socket once connected
    SmartPtr<AsyncOp> mKeepAliveTimer;
    uint32_t mKeepAliveInterval;
    // Operations queued while the attempt runs.
    std::deque<SmartPtr<SocketOp>> mHeldOps;
    // Bumped by every KillOps: an attempt that ends after a close or a new
    // connect starts neither the receive nor the timer.
    uint32_t mGeneration;
    // Bumped by every ClearCompletions: a killed attempt then reports to nobody.
    uint32_t mClearEpoch;
};

typedef SmartPtr<ServerConnection> ServerConnectionPtr;

} // namespace QORAPI

#endif
