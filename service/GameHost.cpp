#include "service/GameHost.h"

#include "QORAPI.h"
#include "QORSocket/AcceptOp.h"
#include "QORSocket/QueueSocket.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "auth/Auth2Certificate.h"
#include "auth/AuthContext.h"
#include "auth/PeerAuthMsg.h"
#include "auth/PeerAuthServer.h"
#include "auth/PeerAuthServerOp.h"
#include "common/Completion.h"
#include "common/WriteBuffer.h"
#include "platform/Socket.h"
#include "platform/Tick.h"
#include "service/ServerListener.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace QORAPI {

namespace {

typedef ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>> HostCompletion;

struct Connection : public RefCount
{
    SmartPtr<GameHost::State> mState;
    SmartPtr<QueueSocket> mSocket;
    GameHostClient mInfo;
    bool mAuthenticated = false;   // guarded by the state's lock
    bool mDropped = false;         // guarded by the state's lock
    uint32_t mLastActivity = 0;    // tick of accept or the last message; guarded by the state's lock
    uint32_t mQueuedBytes = 0;     // of sends not yet done; guarded by the state's lock
};

// A send queued to a connection, for the count of its bytes.
struct QueuedSend : public RefCount
{
    SmartPtr<Connection> mConn;
    uint32_t mBytes = 0;
};

// The frame of a message as a socket hands it out (length field removed).
SmartPtr<ByteBuffer> Reframe(const ByteBuffer* message, uint8_t lengthFieldSize, uint32_t cut = 0)
{
    WriteBuffer wb(lengthFieldSize, true);
    const uint32_t length = ByteBuffer::LengthOf(message);
    wb.AppendBytes(ByteBuffer::DataOf(message), length > cut ? length - cut : 0);
    return wb.ToByteBuffer(true);
}

// Waits, in short slices, until the socket has bytes to read; false when the
// host stops, the socket closes or ms pass first.
bool WaitReadable(const std::atomic<bool>& running, AsyncSocket& socket, uint32_t ms)
{
    const uint32_t start = GetTickCount();
    while (running.load() && TicksSince(start) < ms)
    {
        SockPollFd fd = {socket.GetHandle(), SOCK_POLL_READ, 0};
        if (fd.fd == INVALID_SOCKET)
            return false;
        if (SockPoll(&fd, 1, 50) > 0)
            return true;
    }
    return false;
}

} // namespace

struct GameHost::State : public RefCount
{
    // Settings, fixed before Start.
    SmartPtr<AuthPeerData> mCredentials = new AuthPeerData;
    GameHostMode mMode = GameHostMode::Echo;
    GameHostFault mFault = GameHostFault::None;
    WSStatus mRefusalStatus = WS_CommServ_ExpiredPeerCertificate;
    bool mUseSecondCert = true;
    bool mServeSessionMode = false;
    std::atomic<uint16_t> mNextSessionId{1};
    uint8_t mLengthFieldSize = 4;
    uint32_t mAuthTimeout = 20000;
    ClientLimits mLimits;
    uint32_t mMaxConnections = 1024;
    ReportFunction mReport;
    SmartPtr<AuthContext> mContext;

    std::atomic<bool> mRunning{false};
    std::atomic<uint32_t> mMessages{0};
    std::atomic<uint32_t> mKeepAlives{0};
    std::atomic<uint32_t> mRefusals{0};
    uint16_t mPort = 0;

    mutable std::mutex mLock;
    SmartPtr<QueueSocket> mListener;                  // guarded by mLock
    std::vector<SmartPtr<Connection>> mConnections;  // guarded by mLock
    std::vector<GameHostClient> mClients;            // guarded by mLock
    std::vector<std::thread> mPlayers;               // guarded by mLock
    uint32_t mHeldBytes = 0;                         // queued sends of all connections; guarded by mLock
    std::atomic<uint32_t> mPeakHeld{0};
    std::atomic<uint32_t> mDroppedCount{0};
    std::condition_variable mSweepWake;              // with mLock: Stop ends the sweeper
    std::thread mSweeper;

    std::vector<SmartPtr<Connection>> mDoomed;       // dropped, to be closed; guarded by mLock

    // Marks the connection dropped by a limit; CloseDoomed closes it once
    // mLock is released. Called with mLock held.
    void DropLocked(Connection& conn)
    {
        if (conn.mDropped)
            return;
        conn.mDropped = true;
        mDroppedCount.fetch_add(1);
        mDoomed.push_back(SmartPtr<Connection>(&conn));
    }

    // Closes the connections DropLocked marked. Called without mLock.
    void CloseDoomed()
    {
        std::vector<SmartPtr<Connection>> doomed;
        {
            std::lock_guard<std::mutex> lock(mLock);
            doomed.swap(mDoomed);
        }
        for (const SmartPtr<Connection>& conn : doomed)
            Drop(conn);
    }

    // Closes connections that stay quiet past the idle limit, until Stop.
    void Sweep()
    {
        const uint32_t period = std::max<uint32_t>(10, std::min<uint32_t>(250, mLimits.mIdleMs / 4));
        while (mRunning.load())
        {
            {
                std::unique_lock<std::mutex> lock(mLock);
                mSweepWake.wait_for(lock, std::chrono::milliseconds(period));
                const uint32_t now = GetTickCount();
                for (const SmartPtr<Connection>& conn : mConnections)
                    if (conn->mAuthenticated && now - conn->mLastActivity >= mLimits.mIdleMs)
                        DropLocked(*conn);
            }
            CloseDoomed();
        }
    }

    void Record(const GameHostClient& info)
    {
        {
            std::lock_guard<std::mutex> lock(mLock);
            mClients.push_back(info);
        }
        if (mReport)
            mReport(info);
    }

    void Drop(const SmartPtr<Connection>& conn)
    {
        {
            std::lock_guard<std::mutex> lock(mLock);
            for (auto it = mConnections.begin(); it != mConnections.end(); ++it)
                if (it->Get() == conn.Get())
                {
                    mConnections.erase(it);
                    break;
                }
        }
        // The socket's completions hold the connection: clearing them breaks the cycle.
        conn->mSocket->CloseAndClear();
    }

    // Queues a frame to conn unless its unsent bytes, or those of all
    // connections, would pass the limits: then the largest holder is closed.
    void Send(const SmartPtr<Connection>& conn, const SmartPtr<ByteBuffer>& frame);
    // Counts bytes queued to conn, or drops whom the limits name; false when
    // conn is not to be sent to. Called with mLock held.
    bool Reserve(Connection& conn, uint32_t bytes);

    static void OnAccepted(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
    static void OnSent(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
    static void OnAuthDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
    static void OnMessage(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
    static void OnClosed(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param);
    static void PlayFault(SmartPtr<Connection> conn, bool refuse);
};

void GameHost::State::OnAccepted(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    State* state = static_cast<State*>(param.Get());
    AcceptOp* accept = static_cast<AcceptOp*>(op.Get());
    if (op->GetStatus() != WS_Success || !state->mRunning.load())
        return;
    SmartPtr<QueueSocket> socket(dynamic_cast<QueueSocket*>(accept->GetAcceptedSocket().Get()));
    if (!socket)
        return;
    socket->SetLengthFieldSize(state->mLengthFieldSize);
    socket->SetNagling(false);

    SmartPtr<Connection> conn = new Connection;
    conn->mState = state;
    conn->mSocket = socket;
    conn->mInfo.mAddress = socket->GetDestAddr();
    {
        // At the cap the connection quiet for longest makes room, of those
        // not authenticated if any.
        std::lock_guard<std::mutex> lock(state->mLock);
        const uint32_t now = GetTickCount();
        size_t live = 0;
        Connection* quiet = nullptr;
        for (const SmartPtr<Connection>& other : state->mConnections)
            if (!other->mDropped)
            {
                ++live;
                if (!quiet || BetterToDrop(other->mAuthenticated, now - other->mLastActivity, quiet->mAuthenticated,
                                           now - quiet->mLastActivity))
                    quiet = other.Get();
            }
        if (live >= state->mMaxConnections && quiet)
            state->DropLocked(*quiet);
        conn->mLastActivity = now;
    }
    state->CloseDoomed();
    bool refuse = false;
    {
        std::lock_guard<std::mutex> lock(state->mLock);
        if (!state->mRunning.load())
        {
            socket->Close();
            return;
        }
        state->mConnections.push_back(conn);
        uint32_t left = state->mRefusals.load();
        refuse = left > 0 && state->mRefusals.compare_exchange_strong(left, left - 1);
        if (refuse || state->mFault != GameHostFault::None)
        {
            state->mPlayers.emplace_back(&State::PlayFault, conn, refuse);
            return;
        }
    }
    SmartPtr<PeerAuthServerOp> auth = new PeerAuthServerOp(state->mContext, SmartPtr<AsyncSocket>(socket.Get()));
    auth->SetUseSecondCertificate(state->mUseSecondCert);
    auth->SetSessionMode(state->mServeSessionMode, state->mNextSessionId.fetch_add(1));
    auth->SetTimeouts(state->mAuthTimeout, state->mAuthTimeout, state->mAuthTimeout);
    auth->SetCompletion(new HostCompletion(&State::OnAuthDone, SmartPtr<RefCount>(conn.Get())));
    auth->RunAsync(state->mAuthTimeout);
}

void GameHost::State::OnAuthDone(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    SmartPtr<Connection> conn(static_cast<Connection*>(param.Get()));
    State* state = conn->mState.Get();
    PeerAuthServerOp* auth = static_cast<PeerAuthServerOp*>(op.Get());
    GameHostClient& info = conn->mInfo;
    info.mStatus = op->GetStatus();
    if (info.mStatus == WS_Success)
    {
        info.mAuthType = auth->GetClientAuthType();
        const SmartPtr<AuthCertificateBase> cert = auth->GetClientCertificate();
        if (cert)
            info.mUserId = cert->GetUserId();
        if (const Auth2Certificate* second = dynamic_cast<const Auth2Certificate*>(cert.Get()))
            info.mName = second->GetName();
    }
    bool serve = false;
    {
        std::lock_guard<std::mutex> lock(state->mLock);
        serve = info.mStatus == WS_Success && state->mRunning.load() && !conn->mDropped;
        conn->mAuthenticated = serve;
        conn->mLastActivity = GetTickCount();
    }
    if (serve)
    {
        QueueSocket& socket = *conn->mSocket;
        socket.SetClosedCompletion(new HostCompletion(&State::OnClosed, SmartPtr<RefCount>(conn.Get())));
        socket.SetRepeatOpCompletion(new HostCompletion(&State::OnMessage, SmartPtr<RefCount>(conn.Get())));
        socket.SetRepeatOp(new RecvMsgOp());
    }
    else
        state->Drop(conn);
    state->Record(info);
}

void GameHost::State::OnMessage(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    SmartPtr<Connection> conn(static_cast<Connection*>(param.Get()));
    State* state = conn->mState.Get();
    if (op->GetStatus() != WS_Success || !state->mRunning.load())
        return;   // a failed receive closes the socket; OnClosed tidies up
    const SmartPtr<ByteBuffer>& message = static_cast<RecvMsgOp*>(op.Get())->GetMsg();
    {
        std::lock_guard<std::mutex> lock(state->mLock);
        conn->mLastActivity = GetTickCount();
    }
    const uint8_t keepAlive[3] = {3, 1, 7};
    if (ByteBuffer::LengthOf(message.Get()) == 3 && std::memcmp(message->GetData(), keepAlive, 3) == 0)
    {
        state->mKeepAlives.fetch_add(1);
        return;
    }
    state->mMessages.fetch_add(1);
    const SmartPtr<ByteBuffer> frame = Reframe(message.Get(), state->mLengthFieldSize);
    std::vector<SmartPtr<Connection>> targets;
    {
        std::lock_guard<std::mutex> lock(state->mLock);
        if (state->mMode == GameHostMode::Echo)
            targets.push_back(conn);
        else
            for (const SmartPtr<Connection>& other : state->mConnections)
                if (other.Get() != conn.Get() && other->mAuthenticated)
                    targets.push_back(other);
    }
    for (const SmartPtr<Connection>& target : targets)
        state->Send(target, frame);
}

void GameHost::State::Send(const SmartPtr<Connection>& conn, const SmartPtr<ByteBuffer>& frame)
{
    const uint32_t bytes = ByteBuffer::LengthOf(frame);
    bool queue = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        queue = Reserve(*conn, bytes);
    }
    CloseDoomed();
    if (!queue)
        return;
    SmartPtr<QueuedSend> note = new QueuedSend;
    note->mConn = conn;
    note->mBytes = bytes;
    SmartPtr<SendMsgOp> send = new SendMsgOp(frame);
    send->SetCompletion(new HostCompletion(&State::OnSent, SmartPtr<RefCount>(note.Get())));
    conn->mSocket->QueueOp(SmartPtr<SocketOp>(send.Get()), mAuthTimeout);
}

bool GameHost::State::Reserve(Connection& target, uint32_t bytes)
{
    Connection* conn = &target;
    {
        if (conn->mDropped)
            return false;
        if (conn->mQueuedBytes + bytes > mLimits.mMaxPendingOutput)
        {
            DropLocked(*conn);   // it does not read what it is sent
            return false;
        }
        while (mHeldBytes + bytes > mLimits.mMaxHeldBytes)
        {
            Connection* largest = nullptr;
            for (const SmartPtr<Connection>& other : mConnections)
                if (!other->mDropped && other->mQueuedBytes > 0 &&
                    (!largest || other->mQueuedBytes > largest->mQueuedBytes))
                    largest = other.Get();
            if (!largest)
                break;
            // Its sends end killed, which gives their bytes back; until then
            // they count no more.
            mHeldBytes -= largest->mQueuedBytes;
            largest->mQueuedBytes = 0;
            DropLocked(*largest);
            if (largest == conn)
                return false;
        }
        conn->mQueuedBytes += bytes;
        mHeldBytes += bytes;
        if (mHeldBytes > mPeakHeld.load())
            mPeakHeld.store(mHeldBytes);
    }
    return true;
}

void GameHost::State::OnSent(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    (void)op;
    QueuedSend* note = static_cast<QueuedSend*>(param.Get());
    State* state = note->mConn->mState.Get();
    std::lock_guard<std::mutex> lock(state->mLock);
    // A connection dropped for its bytes gave them back already.
    const uint32_t bytes = std::min(note->mBytes, note->mConn->mQueuedBytes);
    note->mConn->mQueuedBytes -= bytes;
    state->mHeldBytes -= bytes;
}

void GameHost::State::OnClosed(SmartPtr<AsyncOp> op, SmartPtr<RefCount> param)
{
    (void)op;
    SmartPtr<Connection> conn(static_cast<Connection*>(param.Get()));
    conn->mState->Drop(conn);
}

// Plays one faulty handshake on a thread of its own with blocking socket
// calls, then waits for the client to hang up.
void GameHost::State::PlayFault(SmartPtr<Connection> conn, bool refuse)
{
    State& state = *conn->mState;
    AsyncSocket& socket = *conn->mSocket;
    const uint8_t lfs = state.mLengthFieldSize;
    const uint32_t wait = state.mAuthTimeout;
    GameHostClient info = conn->mInfo;
    info.mStatus = WS_InvalidMessage;

    SmartPtr<ByteBuffer> request;
    if (!WaitReadable(state.mRunning, socket, wait) || socket.RecvMsgBlock(request, wait) != WS_Success)
    {
        state.Drop(conn);
        return;
    }
    if (refuse)
    {
        WriteBuffer wb(lfs, true);
        StartPeerAuthMsg(wb, PeerAuth_Complete);
        wb.AppendShort(static_cast<uint16_t>(static_cast<int16_t>(state.mRefusalStatus)));
        wb.AppendShort(0);
        socket.SendMsgBlock(wb.ToByteBuffer(true), wait);
        info.mStatus = state.mRefusalStatus;
    }
    else
    {
        PeerAuthServer engine;
        engine.SetUseSecondCertificate(state.mUseSecondCert);
        engine.Start(state.mCredentials, lfs);
        SmartPtr<ByteBuffer> challenge1;
        const WSStatus result = engine.HandleMessage(request.Get(), challenge1);
        if (result != WS_Success)
        {
            if (challenge1)
                socket.SendMsgBlock(challenge1, wait);
            info.mStatus = result;
        }
        else
        {
            // The client's key, for messages the engine would never build.
            ElGamal clientKey(engine.GetClientCertificate()->GetPublicKey());
            SmartPtr<ByteBuffer> challenge2;
            SmartPtr<ByteBuffer> ignored;
            switch (state.mFault)
            {
            case GameHostFault::CompleteFirst:
            {
                // Accepts with an empty secret A, without any challenge: a
                // client that takes it has proved nothing about the host.
                const uint8_t emptySecret[2] = {0, 0};
                WriteBuffer wb(lfs, true);
                StartPeerAuthMsg(wb, PeerAuth_Complete);
                wb.AppendShort(0);
                wb.AppendBuffer(clientKey.encrypt(emptySecret, 2), 2);
                wb.AppendShort(0);
                socket.SendMsgBlock(wb.ToByteBuffer(true), wait);
                break;
            }
            case GameHostFault::WrongServiceType:
            {
                std::string bytes(reinterpret_cast<const char*>(challenge1->GetData()), challenge1->GetLength());
                bytes[lfs] = static_cast<char>(PeerAuth_ServiceType + 1);
                socket.SendMsgBlock(new ByteBuffer(bytes.data(), static_cast<uint32_t>(bytes.size())), wait);
                break;
            }
            case GameHostFault::Truncated:
            {
                const SmartPtr<ByteBuffer> message =
                    new ByteBuffer(challenge1->GetData() + lfs, challenge1->GetLength() - lfs);
                socket.SendMsgBlock(Reframe(message.Get(), lfs, 5), wait);
                break;
            }
            case GameHostFault::Challenge1Twice:
                socket.SendMsgBlock(challenge1, wait);
                if (WaitReadable(state.mRunning, socket, wait) &&
                    socket.RecvMsgBlock(challenge2, wait) == WS_Success)
                    socket.SendMsgBlock(challenge1, wait);
                break;
            case GameHostFault::WrongSecret:
                socket.SendMsgBlock(challenge1, wait);
                if (WaitReadable(state.mRunning, socket, wait) &&
                    socket.RecvMsgBlock(challenge2, wait) == WS_Success &&
                    engine.HandleMessage(challenge2.Get(), ignored) == WS_Success)
                {
                    Blowfish other(PeerAuth_SecretLength);
                    WriteBuffer secret;
                    AppendSecret(secret, other);
                    WriteBuffer wb(lfs, true);
                    StartPeerAuthMsg(wb, PeerAuth_Complete);
                    wb.AppendShort(0);
                    wb.AppendBuffer(clientKey.encrypt(secret.GetData(), secret.GetLength()), 2);
                    socket.SendMsgBlock(wb.ToByteBuffer(true), wait);
                }
                break;
            case GameHostFault::None:
                break;
            }
        }
    }
    state.Record(info);
    // Closing with unread bytes would reset the connection under the
    // client's feet: wait until it hangs up (or the host stops).
    SmartPtr<ByteBuffer> rest;
    while (WaitReadable(state.mRunning, socket, wait) && socket.RecvMsgBlock(rest, wait) == WS_Success)
    {
    }
    state.Drop(conn);
}

GameHost::GameHost() : mState(new State)
{
}

GameHost::~GameHost()
{
    Stop();
}

void GameHost::SetCredentials(const SmartPtr<AuthPeerData>& credentials)
{
    mState->mCredentials = credentials ? credentials : SmartPtr<AuthPeerData>(new AuthPeerData);
}

void GameHost::SetMode(GameHostMode mode) { mState->mMode = mode; }
void GameHost::SetFault(GameHostFault fault) { mState->mFault = fault; }
void GameHost::SetUseSecondCertificate(bool use) { mState->mUseSecondCert = use; }
void GameHost::SetServeSessionMode(bool serve) { mState->mServeSessionMode = serve; }
void GameHost::SetLengthFieldSize(uint8_t size) { mState->mLengthFieldSize = size; }
void GameHost::SetAuthTimeout(uint32_t ms) { mState->mAuthTimeout = ms; }
void GameHost::SetReport(const ReportFunction& report) { mState->mReport = report; }
void GameHost::SetClientLimits(const ClientLimits& limits) { mState->mLimits = limits; }
void GameHost::SetMaxConnections(uint32_t max) { mState->mMaxConnections = max > 0 ? max : 1; }

uint32_t GameHost::GetDroppedCount() const
{
    return mState->mDroppedCount.load();
}

uint32_t GameHost::GetPeakHeldBytes() const
{
    return mState->mPeakHeld.load();
}

uint32_t GameHost::GetOpenConnectionCount() const
{
    std::lock_guard<std::mutex> lock(mState->mLock);
    return static_cast<uint32_t>(mState->mConnections.size());
}

void GameHost::SetRefusals(uint32_t count, WSStatus status)
{
    mState->mRefusals.store(count);
    mState->mRefusalStatus = status;
}

WSStatus GameHost::Start(uint16_t port)
{
    State& state = *mState;
    if (state.mRunning.load())
        return WS_Success;
    if (!QORAPICore::GetInstance())
        return WS_AsyncMode_NotSupported;
    if (state.mLengthFieldSize != 1 && state.mLengthFieldSize != 2 && state.mLengthFieldSize != 4)
        return WS_RecvMsg_InvalidLengthFieldSize;
    state.mContext = new AuthContext;
    state.mContext->SetPeerData(state.mCredentials);

    SmartPtr<QueueSocket> listener = new QueueSocket(SocketType::Stream);
    WSStatus status = listener->Bind(InetAddress(kServerLoopback, port), true);
    if (status == WS_Success)
        status = listener->Listen(128);
    if (status != WS_Success)
    {
        listener->Close();
        return status;
    }
    state.mPort = listener->GetLocalPort();
    {
        std::lock_guard<std::mutex> lock(state.mLock);
        state.mListener = listener;
    }
    state.mRunning.store(true);
    state.mSweeper = std::thread([&state] { state.Sweep(); });
    listener->SetRepeatOpCompletion(new HostCompletion(&State::OnAccepted, SmartPtr<RefCount>(mState.Get())));
    listener->SetRepeatOp(new AcceptOp());
    return WS_Success;
}

void GameHost::Stop()
{
    State& state = *mState;
    if (!state.mRunning.exchange(false))
        return;
    SmartPtr<QueueSocket> listener;
    std::vector<SmartPtr<Connection>> connections;
    std::vector<std::thread> players;
    {
        std::lock_guard<std::mutex> lock(state.mLock);
        listener = state.mListener;
        state.mListener = nullptr;
        connections.swap(state.mConnections);
    }
    state.mSweepWake.notify_all();
    if (state.mSweeper.joinable())
        state.mSweeper.join();
    if (listener)
        listener->CloseAndClear();
    for (const SmartPtr<Connection>& conn : connections)
        conn->mSocket->CloseAndClear();
    // Players may still add themselves to the list until their thread is
    // collected; their sockets are closed, so each ends promptly.
    {
        std::lock_guard<std::mutex> lock(state.mLock);
        players.swap(state.mPlayers);
    }
    for (std::thread& player : players)
        player.join();
}

bool GameHost::IsRunning() const
{
    return mState->mRunning.load();
}

uint16_t GameHost::GetPort() const
{
    return mState->mPort;
}

std::vector<GameHostClient> GameHost::GetClients() const
{
    std::lock_guard<std::mutex> lock(mState->mLock);
    return mState->mClients;
}

uint32_t GameHost::GetConnectedCount() const
{
    std::lock_guard<std::mutex> lock(mState->mLock);
    uint32_t count = 0;
    for (const SmartPtr<Connection>& conn : mState->mConnections)
        if (conn->mAuthenticated)
            ++count;
    return count;
}

uint32_t GameHost::GetMessageCount() const
{
    return mState->mMessages.load();
}

uint32_t GameHost::GetKeepAliveCount() const
{
    return mState->mKeepAlives.load();
}

uint32_t GameHost::Push(const SmartPtr<ByteBuffer>& message)
{
    State& state = *mState;
    if (!state.mRunning.load())
        return 0;
    const SmartPtr<ByteBuffer> frame = Reframe(message.Get(), state.mLengthFieldSize);
    std::vector<SmartPtr<Connection>> targets;
    {
        std::lock_guard<std::mutex> lock(state.mLock);
        for (const SmartPtr<Connection>& conn : state.mConnections)
            if (conn->mAuthenticated)
                targets.push_back(conn);
    }
    for (const SmartPtr<Connection>& target : targets)
        state.Send(target, frame);
    return static_cast<uint32_t>(targets.size());
}

} // namespace QORAPI
