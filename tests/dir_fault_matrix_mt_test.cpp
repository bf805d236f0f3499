// Fault matrix of the directory operations: for every request kind, a server
// that closes after each byte offset of the good reply, answers garbage,
// answers with a wrong header, or stays silent. The operation ends with the
// status of the fault, fails over to a good server where there is one, keeps
// no descriptor open afterwards and never waits past its time limit.
#include "DirOpCatalog.h"
#include "DirTestUtil.h"
#include "ScriptServer.h"

#include "platform/Tick.h"
#include "platform/Process.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <string>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

// A server answering from a fresh copy of the catalog tree per case.
class EngineServer
{
public:
    EngineServer()
    {
        Reset();
        mPort = mServer.Start([this](const std::string& request, uint32_t) {
            std::lock_guard<std::mutex> lock(mLock);
            const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
            const DirServerReplies out = mEngine->HandleRequest(req.Get(), nullptr);
            ScriptAnswer answer;
            for (const SmartPtr<ByteBuffer>& r : out.mReplies)
                answer.mBytes += Framed(r->ToString());
            answer.mClose = out.mClose;
            mLastAnswer = answer.mBytes;
            return answer;
        });
    }
    void Reset()
    {
        std::lock_guard<std::mutex> lock(mLock);
        mEngine.reset(new DirServerEngine);
        mEngine->SetClock([] { return 1700000000u; });
        DirCatalog::SeedCatalogTree(*mEngine);
    }
    std::string LastAnswer()
    {
        std::lock_guard<std::mutex> lock(mLock);
        return mLastAnswer;
    }
    uint16_t Port() const { return mPort; }
    ScriptServer& Server() { return mServer; }

private:
    std::mutex mLock;
    std::unique_ptr<DirServerEngine> mEngine;
    std::string mLastAnswer;
    ScriptServer mServer;
    uint16_t mPort = 0;
};

struct Fault
{
    std::string mName;
    std::function<ScriptAnswer(const std::string& good)> mAnswer;
    std::set<WSStatus> mAlone;      // statuses allowed with the faulty server alone
};

class DirFaultMatrix : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { sCore = new QORAPICore(true, true, true); }
    static void TearDownTestSuite()
    {
        delete sCore;
        sCore = nullptr;
    }

    void SetUp() override
    {
        mFaultPort = mFaulty.Start([this](const std::string&, uint32_t) {
            std::lock_guard<std::mutex> lock(mLock);
            return mAnswer;
        });
        ASSERT_NE(mFaultPort, 0);
        ASSERT_NE(mGood.Port(), 0);
    }

    // The good reply of a kind, and the status it gives.
    std::string Record(const DirCatalog::OpKind& kind, WSStatus& status)
    {
        mGood.Reset();
        status = Run(kind, {mGood.Port()}, true, 5000);
        return mGood.LastAnswer();
    }

    WSStatus Run(const DirCatalog::OpKind& kind, const std::vector<uint16_t>& ports, bool async, uint32_t timeout)
    {
        SmartPtr<ServerContext> context = new ServerContext;
        for (uint16_t port : ports)
            context->AddAddress(DirTest::Local(port));
        return DirTest::RunOp(SmartPtr<AsyncOp>(kind.mMake(context).Get()), async, timeout, 20000);
    }

    // One case: the faulty server alone, then before a good one. Checks
    // statuses, time limit and descriptors.
    void Case(const DirCatalog::OpKind& kind, const std::string& what, const ScriptAnswer& answer,
              const std::set<WSStatus>& alone, WSStatus good, bool async, uint32_t timeout = 5000)
    {
        SCOPED_TRACE(std::string(kind.mName) + " / " + what + (async ? " async" : " blocking"));
        {
            std::lock_guard<std::mutex> lock(mLock);
            mAnswer = answer;
        }
        ASSERT_TRUE(mFaulty.WaitUntilIdle(5000));
        ASSERT_TRUE(mGood.Server().WaitUntilIdle(5000));
        const int before = CountOpenHandles();
        const uint32_t start = GetTickCount();
        const WSStatus s = Run(kind, {mFaultPort}, async, timeout);
        EXPECT_LE(TicksSince(start), timeout + 2000);
        EXPECT_TRUE(alone.count(s)) << WSStatusToString(s);
        if (good != WS_None)
        {
            mGood.Reset();
            EXPECT_EQ(Run(kind, {mFaultPort, mGood.Port()}, async, timeout), good);
        }
        // The servers close their ends once the client has closed its own.
        EXPECT_TRUE(mFaulty.WaitUntilIdle(5000));
        EXPECT_TRUE(mGood.Server().WaitUntilIdle(5000));
        EXPECT_EQ(CountOpenHandles(), before);
    }

    static QORAPICore* sCore;
    std::mutex mLock;
    ScriptAnswer mAnswer;
    ScriptServer mFaulty;
    uint16_t mFaultPort = 0;
    EngineServer mGood;
};

QORAPICore* DirFaultMatrix::sCore = nullptr;

// Offsets to cut the reply at: every one of the first bytes (headers and
// length fields), then a spread over the rest and the last byte.
std::vector<size_t> CutOffsets(size_t length)
{
    std::vector<size_t> offsets;
    for (size_t k = 0; k < length && k < 24; ++k)
        offsets.push_back(k);
    const size_t step = std::max<size_t>(1, length / 12);
    for (size_t k = 24; k < length; k += step)
        offsets.push_back(k);
    if (length > 24)
        offsets.push_back(length - 1);
    return offsets;
}

} // namespace

TEST_F(DirFaultMatrix, CloseAfterEveryOffsetOfTheReply)
{
    const std::set<WSStatus> closed = {WS_AsyncSocket_Shutdown, WS_WSAECONNRESET};
    for (const DirCatalog::OpKind& kind : DirCatalog::Kinds())
    {
        WSStatus good = WS_None;
        const std::string reply = Record(kind, good);
        ASSERT_GT(reply.size(), 4u) << kind.mName;
        int i = 0;
        for (size_t k : CutOffsets(reply.size()))
        {
            ScriptAnswer cut;
            cut.mBytes = reply.substr(0, k);
            cut.mClose = true;
            Case(kind, "close after " + std::to_string(k), cut, closed, good, ++i % 2 == 0);
        }
    }
}

TEST_F(DirFaultMatrix, GarbageWrongHeaderAndSilence)
{
    for (const DirCatalog::OpKind& kind : DirCatalog::Kinds())
    {
        WSStatus good = WS_None;
        const std::string reply = Record(kind, good);
        ASSERT_GT(reply.size(), 8u) << kind.mName;
        for (bool async : {false, true})
        {
            ScriptAnswer garbageFrame;
            garbageFrame.mBytes = Framed(std::string("\x91\x22\x07\xF3\x00\x10garbage-garbage", 21));
            Case(kind, "garbage frame", garbageFrame, {WS_ServerReq_InvalidReplyHeader}, good, async);

            // Not even a frame: the length field is out of range.
            ScriptAnswer garbageStream;
            garbageStream.mBytes = std::string("\xFF\xFF\xFF\x7F", 4) + "garbage";
            Case(kind, "garbage stream", garbageStream, {WS_RecvMsg_InvalidMessageLength}, good, async);

            ScriptAnswer wrongHeader;
            wrongHeader.mBytes = reply;
            wrongHeader.mBytes[4 + 3] = 99;   // message type of the first reply
            Case(kind, "wrong header", wrongHeader, {WS_ServerReq_InvalidReplyHeader}, good, async);

            // Silence: the time limit ends the run, and does so in time.
            Case(kind, "silent", ScriptAnswer(), {WS_TimedOut}, WS_None, async, 200);
        }
    }
}
