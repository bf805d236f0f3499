// AsyncSocket: one non-blocking IPv4 stream or datagram socket, with the
// settings the message layer needs (length-field size, message transforms,
// peer address). A call that would block returns WS_TimedOut: try again when
// the socket is ready. StartSockets/StopSockets count the process's users of
// the socket layer.
//
// Thread safety: every public call takes the socket's recursive lock, so one
// socket may be used from user threads, the socket thread and the pump at
// once. The waits release the lock while they sleep.
#ifndef QORAPI_QORSOCKET_ASYNCSOCKET_H
#define QORAPI_QORSOCKET_ASYNCSOCKET_H

#include "QORSocket/InetAddress.h"
#include "QORSocket/MsgTransform.h"
#include "common/ByteBuffer.h"
#include "common/RefCount.h"
#include "common/WSStatus.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace QORAPI {

class AsyncOp;

enum class SocketType : int32_t
{
    Stream = 0,
    Datagram = 1
};

// Process-wide start-up count of the socket layer (not locked: the core
// calls these while it starts and stops).
WSStatus StartSockets();
WSStatus StopSockets();

// Maps a Windows Sockets error number: would-block and in-progress become
// WS_TimedOut, the rest stay as they are.
WSStatus SocketErrorToStatus(int32_t err);

class AsyncSocket : public RefCount
{
public:
    explicit AsyncSocket(SocketType type = SocketType::Stream);
    ~AsyncSocket() override;

    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    virtual void OnOpen() {}
    virtual void KillOps() {}
    virtual void ClearCompletions() {}
    // A fresh, unopened socket of the same class and type (Accept uses it).
    virtual SmartPtr<AsyncSocket> Duplicate();

    WSStatus Open();
    WSStatus Bind(uint16_t port, bool reuseAddress = false);
    // As Bind (port), to the address and port of local (for instance
    // 127.0.0.1 to take connections from this host only).
    WSStatus Bind(const InetAddress& local, bool reuseAddress = false);
    WSStatus Listen(int32_t backlog = 5);
    WSStatus Connect(const InetAddress& address);
    WSStatus Accept(SmartPtr<AsyncSocket>& out);
    WSStatus Send(const void* data, uint32_t length, uint32_t* sent = nullptr);
    WSStatus Recv(void* buffer, uint32_t length, uint32_t* received = nullptr);
    WSStatus SendTo(const void* data, uint32_t length, const InetAddress& address);
    WSStatus RecvFrom(void* buffer, uint32_t length, InetAddress* from = nullptr, uint32_t* received = nullptr);

    // Wait up to ms for readiness; 0 returns at once. The outcome is not
    // reported: the caller simply tries its call next.
    void WaitForRead(uint32_t ms);
    void WaitForWrite(uint32_t ms);
    // WS_Success once connected, WS_TimedOut while in progress, else the
    // connect's error (WS_AsyncSocket_ConnectFailed when none can be read).
    WSStatus WaitForConnect(uint32_t ms);

    WSStatus Disconnect();
    void Close();           // KillOps, then close the handle
    // Closes for a fresh connect by the operation running on the socket
    // (requester): as Close, except that a socket whose KillOps would end
    // that operation itself spares it.
    virtual void CloseForReconnect(const AsyncOp* requester);
    void CloseAndClear();   // KillOps, ClearCompletions, then close the handle

    bool IsValid() const;
    bool IsConnected() const;
    // Whether bytes went out since bytes last came in: a receive that starts
    // now probably waits for the peer's reply, so a blocking one polls before
    // its first read instead of after an empty one.
    bool IsAwaitingReply() const { return mSentSinceRecv.load(std::memory_order_relaxed); }
    InetAddress GetDestAddr() const;
    SocketType GetType() const;
    void SetType(SocketType type);
    WSStatus SetNagling(bool enable);
    uint16_t GetLocalPort() const;
    // The bound address and port; invalid when not open.
    InetAddress GetLocalAddress() const;
    uint8_t GetLengthFieldSize() const;
    void SetLengthFieldSize(uint8_t size);
    SOCKET GetHandle() const;

    // The socket owns its transforms.
    void AddTransform(std::unique_ptr<MsgTransform> transform);
    void AddTransform(MsgTransform* transform) { AddTransform(std::unique_ptr<MsgTransform>(transform)); }
    void ClearTransforms();
    size_t GetTransformCount() const;
    WSStatus ApplySendTransforms(SmartPtr<ByteBuffer>& message);
    WSStatus ApplyRecvTransforms(SmartPtr<ByteBuffer>& message);

    // Blocking forms: each runs the matching operation with RunBlock and the
    // timeout (ms, 0xFFFFFFFF for none) and hands out its result on success.
    WSStatus ConnectBlock(const InetAddress& address, uint32_t timeout);
    WSStatus AcceptBlock(SmartPtr<AsyncSocket>& out, uint32_t timeout);
    WSStatus SendBytesBlock(const SmartPtr<ByteBuffer>& bytes, uint32_t timeout);
    WSStatus RecvBytesBlock(SmartPtr<ByteBuffer>& out, uint32_t count, uint32_t timeout);
    WSStatus SendBytesToBlock(const SmartPtr<ByteBuffer>& bytes, const InetAddress& address, uint32_t timeout);
    WSStatus RecvBytesFromBlock(SmartPtr<ByteBuffer>& out, uint16_t maxLength, InetAddress& from, uint32_t timeout);
    WSStatus SendMsgBlock(const SmartPtr<ByteBuffer>& message, uint32_t timeout);
    WSStatus RecvMsgBlock(SmartPtr<ByteBuffer>& out, uint32_t timeout);
    WSStatus RecvCRMsgBlock(SmartPtr<ByteBuffer>& out, uint32_t timeout);

protected:
    std::recursive_mutex& GetLock() const { return mCrit; }

private:
    void CloseHandle();
    WSStatus Wait(bool read, bool write, uint32_t ms, int16_t* revents);

    mutable std::recursive_mutex mCrit;
    SOCKET mHandle;                 // guarded by mCrit
    SocketType mType;
    InetAddress mDestAddr;
    uint8_t mLengthFieldSize;
    bool mConnected;
    std::vector<std::unique_ptr<MsgTransform>> mTransforms;
    std::atomic<bool> mSentSinceRecv{false};   // a hint only: read without the lock
};

typedef SmartPtr<AsyncSocket> AsyncSocketPtr;

} // namespace QORAPI

#endif
