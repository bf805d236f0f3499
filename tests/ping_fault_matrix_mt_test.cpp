// Fault matrix of the pings. PingOp (TCP): the reply, with and without the
// extended fields, is cut after each byte offset, shortened inside a whole
// frame at each offset, replaced by garbage, given a wrong header or tick, or
// withheld; the run ends with the status of the fault. MultiPingOp (UDP): a
// responder truncates its datagram after each offset, garbles it, gets the
// header or identifier wrong, sends more than the receive buffer, or stays
// silent; such replies are ignored, the server is given up after its tries
// while the good server beside it is timed. No descriptor stays open and no
// run waits past its limit.
#include "DirTestUtil.h"
#include "FaultPeer.h"

#include "QORSocket/MultiPingOp.h"
#include "QORSocket/PingOp.h"
#include "platform/Tick.h"
#include "service/PingResponder.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <set>
#include <thread>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

std::string Str16(const std::string& s)
{
    return std::string{static_cast<char>(s.size() & 0xFF), static_cast<char>(s.size() >> 8)} + s;
}

std::string Le32(uint32_t v)
{
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

// The extended fields: first group, then the second.
const std::string kGroup1 = Str16("host") + Str16("zone") + Le32(7) + Str16("v1.2") + Le32(64) + Str16("") + "\x01";
const std::string kGroup2 = Str16("east") + Str16("rack 9");

// A loopback UDP responder whose replies a test scripts: reply turns the
// request datagram into the bytes sent back (none when empty).
class UdpScript
{
public:
    typedef std::function<std::string(const std::string& request)> Reply;

    uint16_t Start()
    {
        mSocket = new AsyncSocket(SocketType::Datagram);
        if (mSocket->Bind(0) != WS_Success)
            return 0;
        mThread = std::thread([this] { Run(); });
        return mSocket->GetLocalPort();
    }
    ~UdpScript()
    {
        mStop = true;
        if (mThread.joinable())
            mThread.join();
        if (mSocket)
            mSocket->Close();
    }
    void Set(Reply reply)
    {
        std::lock_guard<std::mutex> lock(mLock);
        mReply = std::move(reply);
    }

private:
    void Run()
    {
        char buf[2048];
        while (!mStop)
        {
            InetAddress from;
            uint32_t got = 0;
            if (mSocket->RecvFrom(buf, sizeof(buf), &from, &got) != WS_Success)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            std::string out;
            {
                std::lock_guard<std::mutex> lock(mLock);
                if (mReply)
                    out = mReply(std::string(buf, got));
            }
            if (!out.empty() || mSendEmpty)
                mSocket->SendTo(out.data(), static_cast<uint32_t>(out.size()), from);
        }
    }

public:
    std::atomic<bool> mSendEmpty{false};   // an empty result is sent as an empty datagram

private:
    std::mutex mLock;
    Reply mReply;
    SmartPtr<AsyncSocket> mSocket;
    std::thread mThread;
    std::atomic<bool> mStop{false};
};

class PingFaultMatrix : public ::testing::Test
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
        mTcpPort = mTcp.Start([this](const std::string& request, uint32_t) {
            std::lock_guard<std::mutex> lock(mLock);
            return mTcpAnswer(request);
        });
        ASSERT_NE(mTcpPort, 0);
        mUdpPort = mUdp.Start();
        ASSERT_NE(mUdpPort, 0);
        mGood.SetUdpCount(1);
        ASSERT_EQ(mGood.Start(), WS_Success);
    }

    // The good TCP reply to a request: header, the echoed tick, and the
    // extended fields when asked for.
    static std::string GoodReply(const std::string& request, bool second)
    {
        if (request.size() < 8)
            return std::string();
        std::string reply = std::string("\x03\x01\x06", 3) + request.substr(3, 4);
        if (request[7])
            reply += kGroup1 + (second ? kGroup2 : std::string());
        return reply;
    }

    void SetTcp(std::function<ScriptAnswer(const std::string&)> answer)
    {
        std::lock_guard<std::mutex> lock(mLock);
        mTcpAnswer = std::move(answer);
    }

    template <class Body>
    void Bounded(const std::string& what, uint32_t limit, Body body)
    {
        SCOPED_TRACE(what);
        ASSERT_TRUE(mTcp.WaitUntilIdle(5000));
        const int before = OpenDescriptors();
        const uint32_t start = GetTickCount();
        body();
        EXPECT_LE(TicksSince(start), limit + 2000);
        EXPECT_TRUE(mTcp.WaitUntilIdle(5000));
        EXPECT_EQ(OpenDescriptors(), before);
    }

    void PingCase(const std::string& what, bool extended, bool async, WSStatus expected, uint32_t timeout = 5000,
                  const char* text1 = "host")
    {
        Bounded(what + (extended ? " extended" : "") + (async ? " async" : " blocking"), timeout, [&] {
            SmartPtr<PingOp> op = new PingOp(DirTest::Local(mTcpPort), 4, extended);
            EXPECT_EQ(DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), async, timeout, 20000), expected);
            if (expected == WS_Success && extended)
            {
                EXPECT_EQ(op->GetText1(), text1);
            }
        });
    }

    // The faulty UDP server beside a good one: the good one is timed, the
    // faulty one given up after its tries.
    void MultiCase(const std::string& what, bool async, uint32_t timeout = 5000, WSStatus expected = WS_Success)
    {
        const uint32_t batch = 120;
        const uint8_t tries = 2;
        Bounded(what + (async ? " async" : " blocking"), std::min<uint32_t>(timeout, batch * tries), [&] {
            SmartPtr<MultiPingOp> op = new MultiPingOp();
            op->SetBatchTimeout(batch);
            op->SetMaxTries(tries);
            op->AddServer(DirTest::Local(mUdpPort));
            op->AddServer(DirTest::Local(mGood.GetUdpPort(0)));
            EXPECT_EQ(DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), async, timeout, 20000), expected);
            const MultiPingList& results = op->GetResults();
            ASSERT_EQ(results.size(), 2u);
            EXPECT_EQ(results[0]->mAddr.GetPort(), mGood.GetUdpPort(0));
            EXPECT_NE(results[0]->mPingTime, 0xFFFFFFFFu);
            EXPECT_EQ(results[1]->mAddr.GetPort(), mUdpPort);
            EXPECT_EQ(results[1]->mPingTime, 0xFFFFFFFFu);
            if (timeout > batch * tries)
            {
                EXPECT_EQ(results[1]->mTries, tries);
            }
            const std::vector<uint16_t> answered = DirTest::PortsOf(*op->GetServerContext(true));
            EXPECT_EQ(answered, std::vector<uint16_t>{mGood.GetUdpPort(0)});
        });
    }

    static QORAPICore* sCore;
    std::mutex mLock;
    std::function<ScriptAnswer(const std::string&)> mTcpAnswer;
    ScriptServer mTcp;
    uint16_t mTcpPort = 0;
    UdpScript mUdp;
    uint16_t mUdpPort = 0;
    PingResponder mGood;
};

QORAPICore* PingFaultMatrix::sCore = nullptr;

} // namespace

TEST_F(PingFaultMatrix, PingOpCloseAfterEveryOffsetOfTheReply)
{
    int i = 0;
    for (bool extended : {false, true})
    {
        const size_t length = 4 + 7 + (extended ? kGroup1.size() + kGroup2.size() : 0);
        for (size_t k = 0; k < length; ++k)
        {
            SetTcp([k](const std::string& request) {
                ScriptAnswer a;
                a.mBytes = Framed(GoodReply(request, true)).substr(0, k);
                a.mClose = true;
                return a;
            });
            // A reply whose length field has not arrived whole is no reply;
            // the peer's close ends the only server's turn.
            const WSStatus s = WS_AsyncSocket_Shutdown;
            SCOPED_TRACE(k);
            Bounded("close after " + std::to_string(k), 5000, [&] {
                SmartPtr<PingOp> op = new PingOp(DirTest::Local(mTcpPort), 4, extended);
                const WSStatus got = DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), ++i % 2 == 0, 5000, 20000);
                EXPECT_TRUE(got == s || got == WS_WSAECONNRESET) << WSStatusToString(got);
            });
        }
    }
}

TEST_F(PingFaultMatrix, PingOpShortRepliesEndInsideTheFieldsTheyMustHold)
{
    // Ends after the tick, after the first group and after the second are whole replies.
    const size_t ends[] = {7, 7 + kGroup1.size(), 7 + kGroup1.size() + kGroup2.size()};
    int i = 0;
    for (size_t k = 0; k < ends[2]; ++k)
    {
        SetTcp([k](const std::string& request) {
            ScriptAnswer a;
            a.mBytes = Framed(GoodReply(request, true).substr(0, k));
            return a;
        });
        const bool whole = k == ends[0] || k == ends[1];
        const WSStatus expected = k == 0 ? WS_RecvMsg_InvalidMessageLength
                                  : whole ? WS_Success
                                          : WS_ServerReq_UnpackFailure;
        PingCase("message of " + std::to_string(k) + " bytes", true, ++i % 2 == 0, expected, 5000,
                 k == ends[0] ? "" : "host");
    }
}

TEST_F(PingFaultMatrix, PingOpGarbageWrongHeaderWrongTickAndSilence)
{
    for (bool extended : {false, true})
    {
        for (bool async : {false, true})
        {
            SetTcp([](const std::string& request) {
                ScriptAnswer a;
                a.mBytes = Framed(GoodReply(request, true));
                return a;
            });
            PingCase("good", extended, async, WS_Success);
            SetTcp([](const std::string&) {
                ScriptAnswer a;
                a.mBytes = Framed(std::string("\x91\x22\x07\xF3\x00\x10garbage-garbage", 21));
                return a;
            });
            PingCase("garbage", extended, async, WS_ServerReq_InvalidReplyHeader);
            SetTcp([](const std::string&) {
                ScriptAnswer a;
                a.mBytes = std::string("\xFF\xFF\xFF\x7F", 4) + "garbage";
                return a;
            });
            PingCase("garbage stream", extended, async, WS_RecvMsg_InvalidMessageLength);
            for (size_t at = 0; at < 7; ++at)
            {
                // Header bytes, then the echoed tick.
                SetTcp([at](const std::string& request) {
                    ScriptAnswer a;
                    std::string reply = GoodReply(request, true);
                    reply[at] = static_cast<char>(reply[at] ^ 0x21);
                    a.mBytes = Framed(reply);
                    return a;
                });
                PingCase("byte " + std::to_string(at) + " wrong", extended, async, WS_ServerReq_InvalidReplyHeader);
            }
            SetTcp([](const std::string&) { return ScriptAnswer(); });
            PingCase("silent", extended, async, WS_TimedOut, 300);
        }
    }
}

TEST_F(PingFaultMatrix, MultiPingIgnoresEveryBrokenReply)
{
    auto good = [](const std::string& request) {
        return request.size() == 8 ? std::string("\x03\x01\x06", 3) + request.substr(3, 4) : std::string();
    };
    struct Case
    {
        std::string name;
        std::function<std::string(const std::string&)> reply;
        bool empty;
    };
    std::vector<Case> cases;
    for (size_t k = 0; k < 7; ++k)
        cases.push_back({"datagram of " + std::to_string(k) + " bytes",
                         [good, k](const std::string& r) { return good(r).substr(0, k); }, k == 0});
    for (size_t at = 0; at < 7; ++at)
        cases.push_back({"byte " + std::to_string(at) + " wrong", [good, at](const std::string& r) {
                             std::string s = good(r);
                             s[at] = static_cast<char>(s[at] ^ 0x40);
                             return s;
                         }, false});
    cases.push_back({"garbage", [](const std::string&) { return std::string("\x91\x22\x07\xF3\x00\x10garbage", 13); },
                     false});
    cases.push_back({"longer than the receive buffer",
                     [good](const std::string& r) { return good(r) + std::string(3000, 'x'); }, false});
    cases.push_back({"silent", [](const std::string&) { return std::string(); }, false});
    for (const Case& c : cases)
    {
        mUdp.mSendEmpty = c.empty;
        mUdp.Set(c.reply);
        for (bool async : {false, true})
            MultiCase(c.name, async);
    }
    mUdp.mSendEmpty = false;

    // Bytes after the identifier are no fault: the server is timed.
    mUdp.Set([good](const std::string& r) { return good(r) + "trailing"; });
    SmartPtr<MultiPingOp> op = new MultiPingOp();
    op->SetBatchTimeout(120);
    op->AddServer(DirTest::Local(mUdpPort));
    EXPECT_EQ(DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), true, 5000, 20000), WS_Success);
    ASSERT_EQ(op->GetResults().size(), 1u);
    EXPECT_NE(op->GetResults()[0]->mPingTime, 0xFFFFFFFFu);
}

TEST_F(PingFaultMatrix, MultiPingEndsAtItsTimeLimit)
{
    mUdp.Set([](const std::string&) { return std::string(); });
    // Servers still to ping when the time is up: both modes end timed out.
    for (bool async : {false, true})
        MultiCase("time limit inside the first batch", async, 60, WS_TimedOut);
}
