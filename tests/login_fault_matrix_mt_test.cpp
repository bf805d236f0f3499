// Fault matrix of logging in (GetCertOp): at each step of the exchange
// (public-key request, login request, challenge reply) the local
// authentication server's reply is cut after each byte offset, replaced by
// garbage or a wrong header, or withheld. The login ends with the status of
// the fault, fails over to a good server, keeps no descriptor open and never
// waits past its time limit.
#include "AuthTestUtil.h"
#include "DirTestUtil.h"
#include "ScriptServer.h"

#include "auth/AuthContext.h"
#include "auth/GetCertOp.h"
#include "platform/Tick.h"
#include "service/AuthServer.h"
#include "service/LocalAuthority.h"
#include "platform/Process.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <mutex>
#include <set>

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

enum class Fault { None, Cut, Garbage, WrongHeader, Silent };

// The local authentication server behind a loopback server that breaks the
// reply to request number mStep of each connection as told.
class FaultyAuth
{
public:
    explicit FaultyAuth(const SmartPtr<LocalAuthority>& authority) : mServer(authority)
    {
        mPort = mProxy.Start([this](const std::string& request, uint32_t number) {
            std::lock_guard<std::mutex> lock(mLock);
            if (number == 0)
                mState = AuthServer::NewConnState();
            const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
            bool close = false;
            ScriptAnswer answer;
            for (const SmartPtr<ByteBuffer>& r : mServer.HandleRequest(*mState, req.Get(), close, 1))
                answer.mBytes += Framed(r->ToString());
            answer.mClose = close;
            if (number == mLengths.size())
                mLengths.push_back(answer.mBytes.size());
            if (number != mStep || mFault == Fault::None)
                return answer;
            switch (mFault)
            {
            case Fault::Cut:
                // Keys and signatures vary in length by a byte or two between
                // logins: a cut is always short of the whole reply.
                answer.mBytes.resize(std::min(answer.mBytes.size() - 1, mCut));
                answer.mClose = true;
                break;
            case Fault::Garbage: answer.mBytes = Framed(std::string("\x91\x22\x07\xF3\x00\x10garbage", 13)); break;
            case Fault::WrongHeader: answer.mBytes[4 + 3] = 99; break;
            default: answer.mBytes.clear(); break;
            }
            return answer;
        });
    }
    void Set(Fault fault, uint32_t step, size_t cut = 0)
    {
        std::lock_guard<std::mutex> lock(mLock);
        mFault = fault;
        mStep = step;
        mCut = cut;
    }
    std::vector<size_t> Lengths()
    {
        std::lock_guard<std::mutex> lock(mLock);
        return mLengths;
    }
    uint16_t Port() const { return mPort; }
    AuthServer& Server() { return mServer; }
    ScriptServer& Proxy() { return mProxy; }

private:
    std::mutex mLock;
    AuthServer mServer;
    AuthServer::ConnStatePtr mState;
    Fault mFault = Fault::None;
    uint32_t mStep = 0;
    size_t mCut = 0;
    std::vector<size_t> mLengths;
    ScriptServer mProxy;
    uint16_t mPort = 0;
};

class LoginFaultMatrix : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        AuthContext::ResetVerifierKey();
        mCore = AuthTest::StartCore(mDir.Path());
        mAuthority = new LocalAuthority();
        mFaulty.reset(new FaultyAuth(mAuthority));
        mGood.reset(new FaultyAuth(mAuthority));
        ASSERT_NE(mFaulty->Port(), 0);
        ASSERT_NE(mGood->Port(), 0);
    }
    void TearDown() override
    {
        mFaulty.reset();
        mGood.reset();
        mCore.reset();
    }

    WSStatus Login(std::initializer_list<uint16_t> ports, bool async, uint32_t timeout)
    {
        SmartPtr<AuthContext> context = new AuthContext(u"player", u"qor", u"secret");
        for (uint16_t port : ports)
            context->AddAddress(DirTest::Local(port));
        SmartPtr<GetCertOp> op = new GetCertOp(context);
        return DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), async, timeout, 20000);
    }

    void Case(const std::string& what, const std::set<WSStatus>& alone, bool failOver, bool async,
              uint32_t timeout = 5000)
    {
        SCOPED_TRACE(what + (async ? " async" : " blocking"));
        ASSERT_TRUE(mFaulty->Proxy().WaitUntilIdle(5000));
        ASSERT_TRUE(mGood->Proxy().WaitUntilIdle(5000));
        const int before = CountOpenHandles();
        const uint32_t start = GetTickCount();
        const WSStatus s = Login({mFaulty->Port()}, async, timeout);
        EXPECT_LE(TicksSince(start), timeout + 2000);
        EXPECT_TRUE(alone.count(s)) << WSStatusToString(s);
        if (failOver)
        {
            EXPECT_EQ(Login({mFaulty->Port(), mGood->Port()}, async, timeout), WS_Success);
        }
        EXPECT_TRUE(mFaulty->Proxy().WaitUntilIdle(5000));
        EXPECT_TRUE(mGood->Proxy().WaitUntilIdle(5000));
        EXPECT_EQ(CountOpenHandles(), before);
    }

    AuthTest::TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    SmartPtr<LocalAuthority> mAuthority;
    std::unique_ptr<FaultyAuth> mFaulty;
    std::unique_ptr<FaultyAuth> mGood;
};

std::vector<size_t> CutOffsets(size_t length)
{
    std::vector<size_t> offsets;
    for (size_t k = 0; k < length && k < 16; ++k)
        offsets.push_back(k);
    const size_t step = std::max<size_t>(1, length / 10);
    for (size_t k = 16; k < length; k += step)
        offsets.push_back(k);
    if (length > 16)
        offsets.push_back(length - 1);
    return offsets;
}

} // namespace

TEST_P(LoginFaultMatrix, EveryStepEveryFault)
{
    const bool async = GetParam();
    for (bool challenge : {false, true})
    {
        mFaulty->Server().SetChallengeAll(challenge);
        mGood->Server().SetChallengeAll(challenge);
        mFaulty->Set(Fault::None, 0);
        ASSERT_EQ(Login({mFaulty->Port()}, async, 5000), WS_Success);
        const std::vector<size_t> lengths = mFaulty->Lengths();
        ASSERT_EQ(lengths.size(), challenge ? 3u : 2u);
        for (uint32_t step = 0; step < lengths.size(); ++step)
        {
            const std::string at = (challenge ? "challenge login, step " : "login, step ") + std::to_string(step);
            for (size_t k : CutOffsets(lengths[step]))
            {
                mFaulty->Set(Fault::Cut, step, k);
                Case(at + " cut at " + std::to_string(k), {WS_AsyncSocket_Shutdown, WS_WSAECONNRESET}, true, async);
            }
            mFaulty->Set(Fault::Garbage, step);
            Case(at + " garbage", {WS_ServerReq_InvalidReplyHeader}, true, async);
            mFaulty->Set(Fault::WrongHeader, step);
            Case(at + " wrong header", {WS_ServerReq_InvalidReplyHeader}, true, async);
            mFaulty->Set(Fault::Silent, step);
            Case(at + " silent", {WS_TimedOut}, false, async, 300);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, LoginFaultMatrix, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Async" : "Blocking"; });
