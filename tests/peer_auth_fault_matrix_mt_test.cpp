// Fault matrix of peer authentication, client side: the server's challenge 1
// and complete, and the first encrypted reply after them, are cut after each
// byte offset, shortened inside a whole frame, replaced by garbage, given a
// wrong header, or withheld. PeerAuthOp ends with the status of the fault; a
// server request that authenticates (types 1 and 2) records it and fails over
// to a good server. No descriptor stays open and no run waits past its limit.
#include "AuthTestUtil.h"
#include "DirOpCatalog.h"
#include "DirTestUtil.h"
#include "FaultPeer.h"
#include "PeerAuthTestUtil.h"

#include "QORSocket/BlockingSocket.h"
#include "auth/PeerAuthOp.h"
#include "auth/PeerAuthServer.h"
#include "platform/Tick.h"
#include "service/DirServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

typedef std::set<WSStatus> Statuses;

const Statuses kClosed = {WS_AsyncSocket_Shutdown, WS_WSAECONNRESET};
// A request gives up a silent server after kRecvMs; a run with a silent
// server and a good one behind it has kFailOverMs.
const uint32_t kRecvMs = 1000 * kSlowFactor;
const uint32_t kFailOverMs = kRecvMs + 5000 * kSlowFactor;
const uint32_t kCaseMs = 5000 * kSlowFactor;
// Every offset of the first bytes of a reply is cut (fewer where every
// exchange is slow), then a spread over the rest.
const size_t kEvery = kSlowFactor > 1 ? 8 : 12;

class PeerAuthFaultMatrix : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mCore = AuthTest::StartCore(mDir.Path());
        mClientData = PeerAuthTest::Credentials(1001, u"alice");
        const SmartPtr<AuthPeerData> hostData = PeerAuthTest::Credentials(2002, u"host");
        mEngine = std::make_shared<DirServerEngine>();
        DirCatalog::SeedCatalogTree(*mEngine);
        mFaulty.reset(new FaultyPeer(hostData, [this](const std::string& request) {
            const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
            std::vector<std::string> replies;
            for (const SmartPtr<ByteBuffer>& r : mEngine->HandleRequest(req.Get(), nullptr).mReplies)
                replies.push_back(r->ToString());
            return replies;
        }));
        ASSERT_NE(mFaulty->Port(), 0);
        mGood.reset(new DirServer(mEngine));
        mGood->SetCredentials(hostData);
        ASSERT_EQ(mGood->Start(0), WS_Success);
    }
    void TearDown() override
    {
        mGood->Stop();
        mFaulty.reset();
        mCore.reset();
    }

    SmartPtr<AuthContext> Context()
    {
        // A fresh context per run: no cached session skips the exchange.
        SmartPtr<AuthContext> context = new AuthContext;
        context->SetPeerData(mClientData);
        return context;
    }

    WSStatus RunPeerAuth(int32_t type, bool async, uint32_t timeout)
    {
        SmartPtr<BlockingSocket> socket = new BlockingSocket();
        SmartPtr<PeerAuthOp> op = new PeerAuthOp(DirTest::Local(mFaulty->Port()), Context(), type, socket, true);
        op->SetTimeouts(3000 * kSlowFactor, 3000 * kSlowFactor, 3000 * kSlowFactor);
        const WSStatus s =
            DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), async, timeout, static_cast<int>(timeout) + 10000);
        EXPECT_EQ(socket->GetTransformCount(), s == WS_Success && type != 3 ? 1u : 0u);
        socket->Close();
        return s;
    }

    WSStatus RunRequest(int32_t type, const std::vector<uint16_t>& ports, bool async, uint32_t timeout,
                        SmartPtr<AuthContext> context = nullptr)
    {
        SmartPtr<ServerContext> servers = new ServerContext;
        servers->SetShuffle(false);
        for (uint16_t port : ports)
            servers->AddAddress(DirTest::Local(port));
        SmartPtr<ServerRequestOp> op = DirCatalog::Kinds()[0].mMake(servers);
        op->SetAuthType(type);
        op->SetAuthContext(context ? context : Context());
        // A silent server is given up after its receive time, so the next one still gets its turn.
        op->SetTimeouts(3000, 3000, kRecvMs);
        return DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), async, timeout, static_cast<int>(timeout) + 10000);
    }

    // One faulty case: the run alone ends with one of alone; with failOver,
    // a request tries the good server next and succeeds. Checks the time
    // limit and the descriptors.
    template <class Run>
    void Case(const std::string& what, Run run, const Statuses& alone, bool failOver, bool async,
              uint32_t timeout = kCaseMs)
    {
        SCOPED_TRACE(what + (async ? " async" : " blocking"));
        ASSERT_TRUE(mFaulty->Server().WaitUntilIdle(5000));
        const int before = OpenDescriptors();
        const uint32_t start = GetTickCount();
        const WSStatus s = run({mFaulty->Port()}, async, timeout);
        EXPECT_LE(TicksSince(start), timeout + 2000);
        EXPECT_TRUE(alone.count(s)) << WSStatusToString(s);
        if (failOver)
        {
            EXPECT_EQ(run({mFaulty->Port(), mGood->GetPort()}, async, timeout), WS_Success);
        }
        EXPECT_TRUE(mFaulty->Server().WaitUntilIdle(5000));
        for (int i = 0; i < 500 && OpenDescriptors() != before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(OpenDescriptors(), before);
    }

    // The good reply frames of a clean run.
    std::vector<std::string> Record(const std::function<WSStatus()>& run)
    {
        mFaulty->Set(ReplyFault::None);
        mFaulty->ForgetFrames();
        EXPECT_EQ(run(), WS_Success);
        EXPECT_TRUE(mFaulty->Server().WaitUntilIdle(5000));
        return mFaulty->Frames();
    }

    // The handshake faults at step (0: challenge 1, 1: complete) of a reply
    // frame of the given length, with the statuses the client names.
    template <class Run>
    void HandshakeFaults(const std::string& at, uint32_t step, size_t length, Run run, bool failOver)
    {
        int i = 0;
        for (size_t k : CutOffsets(length, kEvery, 8))
        {
            mFaulty->Set(ReplyFault::Cut, step, k);
            Case(at + " close after " + std::to_string(k), run, kClosed, failOver, ++i % 2 == 0);
        }
        for (size_t k : CutOffsets(length - 4, kEvery - 2, 6))
        {
            // An empty message is no frame; any other end inside the message
            // is a read beyond it.
            mFaulty->Set(ReplyFault::Short, step, k);
            Case(at + " message of " + std::to_string(k) + " bytes", run,
                 {k == 0 ? WS_RecvMsg_InvalidMessageLength : WS_PeerAuthClient_MsgUnpackFailure}, failOver,
                 ++i % 2 == 0);
        }
        for (bool async : {false, true})
        {
            mFaulty->Set(ReplyFault::Garbage, step);
            Case(at + " garbage", run, {WS_PeerAuthClient_InvalidServiceType}, failOver, async);
            mFaulty->Set(ReplyFault::GarbageStream, step);
            Case(at + " garbage stream", run, {WS_RecvMsg_InvalidMessageLength}, failOver, async);
            mFaulty->Set(ReplyFault::FlipByte, step, 4);
            Case(at + " wrong service type", run, {WS_PeerAuthClient_InvalidServiceType}, failOver, async);
            mFaulty->Set(ReplyFault::FlipByte, step, 8);
            Case(at + " wrong message type", run, {WS_PeerAuthClient_InvalidMessage}, failOver, async);
            mFaulty->Set(ReplyFault::Silent, step);
            Case(at + " silent", run, {WS_TimedOut}, failOver, async, failOver ? kFailOverMs : 300);
        }
    }

    AuthTest::TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    SmartPtr<AuthPeerData> mClientData;
    std::shared_ptr<DirServerEngine> mEngine;
    std::unique_ptr<FaultyPeer> mFaulty;
    std::unique_ptr<DirServer> mGood;
};

} // namespace

TEST_F(PeerAuthFaultMatrix, PeerAuthOpEveryStepEveryFault)
{
    for (int32_t type : {2, 1, 3})
    {
        auto run = [this, type](const std::vector<uint16_t>&, bool async, uint32_t timeout) {
            return RunPeerAuth(type, async, timeout);
        };
        const std::vector<std::string> frames = Record([&] { return RunPeerAuth(type, true, kCaseMs); });
        ASSERT_EQ(frames.size(), 2u);
        for (uint32_t step = 0; step < 2; ++step)
            HandshakeFaults("type " + std::to_string(type) + (step ? " complete" : " challenge 1"), step,
                            frames[step].size(), run, false);
    }
}

TEST_F(PeerAuthFaultMatrix, RefusalsWholeCutOrShortenedAtEveryOffset)
{
    using namespace PeerAuthTest;
    auto run = [this](const std::vector<uint16_t>&, bool async, uint32_t timeout) {
        return RunPeerAuth(2, async, timeout);
    };
    // A certificate refusal in place of challenge 1 asks for a renewal, which
    // fails here: the context knows no authentication server.
    mFaulty->Replace(
        0, PeerAuthServer::BuildFailureComplete(WS_PeerAuthServer_InvalidClientCertificate, 4)->ToString());
    for (bool async : {false, true})
        Case("certificate refused", run, {WS_PeerAuth_GetCertFailure}, false, async);

    // Any other refusal in place of the complete is handed on as it is; one
    // that ends inside its strings is unreadable.
    const WSStatus refusal = static_cast<WSStatus>(-5);
    const std::string frame = Framed(Le32(203) + Le32(53) + Le16(0xFFFB) + Le16(2) + Counted("not today") +
                                     Counted("WS_CommServ_Busy"));
    mFaulty->Replace(0, std::string());
    mFaulty->Replace(1, frame);
    for (bool async : {false, true})
        Case("refused", run, {refusal}, false, async);
    int i = 0;
    for (size_t k = 0; k < frame.size(); ++k)
    {
        mFaulty->Set(ReplyFault::Cut, 1, k);
        Case("refusal, close after " + std::to_string(k), run, kClosed, false, ++i % 2 == 0);
    }
    for (size_t k = 0; k + 4 < frame.size(); ++k)
    {
        mFaulty->Set(ReplyFault::Short, 1, k);
        Case("refusal of " + std::to_string(k) + " bytes", run,
             {k == 0 ? WS_RecvMsg_InvalidMessageLength : WS_PeerAuthClient_MsgUnpackFailure}, false, ++i % 2 == 0);
    }
    mFaulty->Replace(1, std::string());
}

TEST_F(PeerAuthFaultMatrix, AuthenticatedRequestsFailOverFromEveryFault)
{
    for (int32_t type : {2, 1})
    {
        auto run = [this, type](const std::vector<uint16_t>& ports, bool async, uint32_t timeout) {
            return RunRequest(type, ports, async, timeout);
        };
        const std::vector<std::string> frames =
            Record([&] { return RunRequest(type, {mFaulty->Port()}, true, kCaseMs); });
        ASSERT_EQ(frames.size(), 3u);
        const std::string at = "type " + std::to_string(type);
        HandshakeFaults(at + " challenge 1", 0, frames[0].size(), run, true);
        HandshakeFaults(at + " complete", 1, frames[1].size(), run, true);

        // The first encrypted reply: header byte, the session identifier
        // (type 1), then the cipher text.
        const size_t cipherAt = type == 1 ? 3 : 1;
        int i = 0;
        for (size_t k : CutOffsets(frames[2].size(), kEvery, 8))
        {
            mFaulty->Set(ReplyFault::Cut, 2, k);
            Case(at + " reply, close after " + std::to_string(k), run, kClosed, true, ++i % 2 == 0);
        }
        for (size_t k : CutOffsets(frames[2].size() - 4, kEvery - 2, 6))
        {
            mFaulty->Set(ReplyFault::Short, 2, k);
            const WSStatus expected = k == 0          ? WS_RecvMsg_InvalidMessageLength
                                      : k < cipherAt ? WS_AuthSession_DecryptUnpackFailure
                                                     : WS_AuthSession_DecryptFailure;
            Case(at + " reply of " + std::to_string(k) + " bytes", run, {expected}, true, ++i % 2 == 0);
        }
        for (bool async : {false, true})
        {
            // Not in the encrypted form: read as it is, and not a directory reply.
            mFaulty->Set(ReplyFault::Garbage, 2);
            Case(at + " reply garbage", run, {WS_ServerReq_InvalidReplyHeader}, true, async);
            mFaulty->Set(ReplyFault::GarbageStream, 2);
            Case(at + " reply garbage stream", run, {WS_RecvMsg_InvalidMessageLength}, true, async);
            mFaulty->Set(ReplyFault::FlipByte, 2, 4 + cipherAt);
            Case(at + " reply cipher text altered", run, {WS_AuthSession_DecryptFailure}, true, async);
            if (type == 1)
            {
                mFaulty->Set(ReplyFault::FlipByte, 2, 5);
                Case(at + " reply session identifier altered", run, {WS_AuthSession_DecryptSessionIdMismatch}, true,
                     async);
            }
            mFaulty->Set(ReplyFault::Silent, 2);
            Case(at + " reply silent", run, {WS_TimedOut}, true, async, kFailOverMs);
        }
    }
}

TEST_F(PeerAuthFaultMatrix, BrokenSessionExpiredNoticeFailsOver)
{
    // The notice a server sends for a cached session it no longer knows
    // (1, 15, 0): whole, the same server is authenticated afresh; broken, it
    // is no notice and the next server is tried.
    const std::string notice = std::string("\x01\0\0\0\x0F\0\0\0\0\0", 10);
    ReplyFault fault = ReplyFault::None;
    size_t at = 0;
    auto run = [&](const std::vector<uint16_t>& ports, bool async, uint32_t timeout) {
        // A session cached by a first request, then forgotten by the server.
        SmartPtr<AuthContext> context = Context();
        mFaulty->Set(ReplyFault::None);
        EXPECT_EQ(RunRequest(1, {mFaulty->Port()}, true, kCaseMs, context), WS_Success);
        EXPECT_TRUE(mFaulty->Server().WaitUntilIdle(5000));
        mFaulty->Gate().ForgetSessions();
        mFaulty->Set(fault, 0, at);
        return RunRequest(1, ports, async, timeout, context);
    };
    for (bool async : {false, true})
        Case("whole notice", run, {WS_Success}, true, async);
    EXPECT_EQ(mFaulty->Gate().GetSessionExpiredCount(), 4u);
    int i = 0;
    for (at = 0; at < 4 + notice.size(); ++at)
    {
        fault = ReplyFault::Cut;
        Case("notice, close after " + std::to_string(at), run, kClosed, true, ++i % 2 == 0);
    }
    for (at = 0; at < notice.size(); ++at)
    {
        // Too short for a notice, and no directory reply either.
        fault = ReplyFault::Short;
        Case("notice of " + std::to_string(at) + " bytes", run,
             {at == 0 ? WS_RecvMsg_InvalidMessageLength : WS_ServerReq_InvalidReplyHeader}, true, ++i % 2 == 0);
    }
    for (at = 4; at < 12; ++at)
    {
        fault = ReplyFault::FlipByte;
        Case("notice byte " + std::to_string(at) + " altered", run, {WS_ServerReq_InvalidReplyHeader}, true,
             ++i % 2 == 0);
    }
    for (bool async : {false, true})
    {
        fault = ReplyFault::GarbageStream;
        Case("notice garbage stream", run, {WS_RecvMsg_InvalidMessageLength}, true, async);
        fault = ReplyFault::Silent;
        Case("notice withheld", run, {WS_TimedOut}, true, async, kFailOverMs);
    }
}
