// Logins against local authentication servers on loopback, in both run
// modes: the exchanges, challenge rounds, every failure of a login reply and
// the fail-over it asks for, refusals, key rotation, renewal with waiters and
// the automatic renewal timer.
#include "AuthTestUtil.h"
#include "DirTestUtil.h"

#include "auth/AuthContext.h"
#include "auth/GetCertOp.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"
#include "service/AuthServer.h"
#include "service/KeyGen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace QORAPI;
using namespace QORAPI::AuthTest;
using DirTest::Local;
using DirTest::RunOp;

namespace {

class LoginTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        AuthContext::ResetVerifierKey();
        mCore = StartCore(mDir.Path());
        mAuthority = new LocalAuthority();
        mBad.reset(new AuthServer(mAuthority));
        mGood.reset(new AuthServer(mAuthority));
        ASSERT_EQ(mBad->Start(0), WS_Success);
        ASSERT_EQ(mGood->Start(0), WS_Success);
    }
    void TearDown() override
    {
        mBad->Stop();
        mGood->Stop();
        mCore.reset();
    }

    bool Async() const { return GetParam(); }

    SmartPtr<AuthContext> MakeContext(std::initializer_list<AuthServer*> servers, const std::u16string& password = u"secret")
    {
        SmartPtr<AuthContext> ctx = new AuthContext(u"player", u"qor", password);
        ctx->GetServerContext()->SetShuffle(false);
        for (AuthServer* server : servers)
            ctx->AddAddress(Local(server->GetPort()));
        return ctx;
    }

    SmartPtr<GetCertOp> MakeOp(const SmartPtr<AuthContext>& ctx, uint32_t recvMs = 2000)
    {
        SmartPtr<GetCertOp> op = new GetCertOp(ctx);
        op->SetTimeouts(2000, 2000, recvMs);
        return op;
    }

    WSStatus Login(const SmartPtr<GetCertOp>& op) { return RunOp(op, Async(), 10000); }

    TempDir mDir;
    std::unique_ptr<QORAPICore> mCore;
    SmartPtr<LocalAuthority> mAuthority;
    std::unique_ptr<AuthServer> mBad;
    std::unique_ptr<AuthServer> mGood;
};

} // namespace

TEST_P(LoginTest, LoginInstallsCredentialsAndSkipsTheKeyExchangeOnceTheBlockIsHeld)
{
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    ctx->SetLoginDataItem(u"item", new ByteBuffer("x", 1));
    SmartPtr<GetCertOp> op = MakeOp(ctx);
    ASSERT_EQ(Login(op), WS_Success);
    EXPECT_EQ(op->GetPubKeyRequestCount(), 1u);
    SmartPtr<AuthPeerData> data = ctx->GetPeerData();
    ASSERT_TRUE(data->IsValid() && data->IsValid2());
    EXPECT_EQ(data, op->GetNewPeerData());
    EXPECT_EQ(data->GetCertificate2()->GetName(), u"player");
    EXPECT_EQ(data->GetCertificate()->GetCommunityId(), mGood->GetCommunityId(u"qor"));
    EXPECT_NEAR(data->GetSecondsUntilExpiry(), 3600, 5);

    // The block is now held: the second login starts with the login request.
    SmartPtr<GetCertOp> second = MakeOp(ctx);
    ASSERT_EQ(Login(second), WS_Success);
    EXPECT_EQ(second->GetPubKeyRequestCount(), 0u);
    EXPECT_EQ(mGood->GetPubKeyRequestCount(), 1u);
    EXPECT_EQ(mGood->GetLoginCount(), 2u);
    EXPECT_NE(ctx->GetPeerData(), data);
}

TEST_P(LoginTest, ChallengeRoundsKeepTheirKeysInTheStore)
{
    mGood->SetChallengeAll(true);
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    SmartPtr<GetCertOp> op = MakeOp(ctx);
    ASSERT_EQ(Login(op), WS_Success);
    EXPECT_EQ(op->GetChallengeCount(), 1u);
    auto keys = ctx->GetLoginKeys();
    ASSERT_EQ(keys.size(), 1u);
    const SmartPtr<Auth2Certificate>& cert2 = ctx->GetPeerData()->GetCertificate2();
    EXPECT_EQ(static_cast<uint32_t>(keys.front().mExpiry), cert2->GetExpiryTime() + 120u);

    ASSERT_EQ(Login(MakeOp(ctx)), WS_Success);
    EXPECT_EQ(ctx->GetLoginKeys().size(), 2u);
    // The store is a file in the core's directory.
    SmartPtr<AuthContext> reader = new AuthContext();
    ASSERT_EQ(reader->GetKeyStorePath(), mDir.File("_qorlogin.ks"));
    ASSERT_TRUE(reader->LoadKeyStore());
    EXPECT_EQ(reader->GetLoginKeys().size(), 2u);
}

struct FailureRow
{
    const char* mName;
    AuthServerFault mFault;
    WSStatus mRecorded;
    bool mChallenge;
};

TEST_P(LoginTest, EachFailureOfAServerMovesToTheNextWithItsStatus)
{
    const FailureRow rows[] = {
        {"wrong header", AuthServerFault::WrongHeader, WS_ServerReq_InvalidReplyHeader, false},
        {"garbage", AuthServerFault::Garbage, WS_ServerReq_InvalidReplyHeader, false},
        {"public-key reply refused", AuthServerFault::PubKeyRefused, WS_CommServ_Failure, false},
        {"block of an unknown key", AuthServerFault::ForeignBlock, WS_GetCert_InvalidPubKeyBlock, false},
        {"block item of an unknown key", AuthServerFault::ForeignBlockItem, WS_GetCert_InvalidPubKeyBlock, false},
        {"certificate of an unknown key", AuthServerFault::ForeignCertificate, WS_GetCert_InvalidCertificate, false},
        {"sealed part unreadable", AuthServerFault::BadSealedPart, WS_GetCert_DecryptFailure, false},
        {"private key unreadable", AuthServerFault::BadPrivateKey, WS_GetCert_InvalidPrivateKey, false},
        {"private key missing", AuthServerFault::NoPrivateKey, WS_GetCert_InvalidPrivateKey, false},
        {"secret confirmation wrong", AuthServerFault::BadSecretConfirm, WS_GetCert_InvalidSecretConfirm, false},
        {"certificate kind missing", AuthServerFault::MissingCertificate2, WS_GetCert_MissingCertificate, false},
        {"no certificate", AuthServerFault::NoCertificates, WS_GetCert_MissingCertificate, true},
        {"overloaded", AuthServerFault::Overloaded, WS_CommServ_Failure, false},
        {"short challenge", AuthServerFault::ShortChallenge, WS_ServerReq_UnpackFailure, true},
        {"closed connection", AuthServerFault::Close, WS_AsyncSocket_Shutdown, false},
        {"silence", AuthServerFault::Silent, WS_TimedOut, false},
    };
    for (const FailureRow& row : rows)
    {
        SCOPED_TRACE(row.mName);
        mBad->SetFault(row.mFault);
        mBad->SetChallengeAll(row.mChallenge);
        // The bad server first: its status is recorded, the good one logs in.
        SmartPtr<AuthContext> ctx = MakeContext({mBad.get(), mGood.get()});
        SmartPtr<GetCertOp> op = MakeOp(ctx, 1000);
        EXPECT_EQ(Login(op), WS_Success);
        EXPECT_EQ(op->GetLastError(), row.mRecorded);
        EXPECT_TRUE(ctx->GetPeerData()->IsValid());

        // The bad server alone: the run ends with its status and nothing changes.
        SmartPtr<AuthContext> alone = MakeContext({mBad.get()});
        SmartPtr<AuthPeerData> before = alone->GetPeerData();
        EXPECT_EQ(Login(MakeOp(alone, 1000)), row.mRecorded);
        EXPECT_EQ(alone->GetPeerData(), before);
        // Never kept: a block the verifier key did not sign.
        EXPECT_FALSE(alone->GetPeerData()->GetPubKeyBlock()->IsValid());
    }
}

TEST_P(LoginTest, WithoutACertificateNoLoginKeyIsCommitted)
{
    mGood->SetChallengeAll(true);
    mGood->SetFault(AuthServerFault::NoCertificates);
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    EXPECT_EQ(Login(MakeOp(ctx)), WS_GetCert_MissingCertificate);
    auto keys = ctx->GetLoginKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys.front().mExpiry, 0) << "the challenge's key stays pending";
    // The next login commits it with its own certificate.
    mGood->SetFault(AuthServerFault::None);
    ASSERT_EQ(Login(MakeOp(ctx)), WS_Success);
    keys = ctx->GetLoginKeys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_NE(keys.front().mExpiry, 0);
    EXPECT_NE(keys.back().mExpiry, 0);
}

TEST_P(LoginTest, ANewPasswordAndTheLoginDataGoOutOnce)
{
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    ctx->SetLoginDataItem(u"item", new ByteBuffer("x", 1));
    ctx->SetLoginDataBuffer(u"buffer", new ByteBuffer("y", 1));
    SmartPtr<GetCertOp> op = MakeOp(ctx);
    op->SetNewPassword(u"changed");
    ASSERT_EQ(Login(op), WS_Success);
    EXPECT_EQ(ctx->GetPassword(), u"changed");
    AuthAccount account;
    ASSERT_TRUE(mGood->FindAccount(u"player", account));
    EXPECT_EQ(account.mPassword, u"changed");
    WriteBuffer data;
    ctx->WriteLoginData(data);
    ReadBuffer reader(data.GetData(), data.GetLength());
    reader.ReadBytes(2);
    std::u16string community;
    reader.ReadWString(community, 2);
    EXPECT_EQ(reader.ReadShort(), 0) << "items and buffers were cleared by the login";
    EXPECT_EQ(Login(MakeOp(ctx)), WS_Success);
}

TEST_P(LoginTest, ARefusedLoginEndsAtOnce)
{
    const struct
    {
        const char* mUser;
        const char16_t* mPassword;
        WSStatus mStatus;
    } rows[] = {
        {"player", u"wrong", WS_AuthServ_BadPassword},
        {"nobody", u"secret", WS_AuthServ_UserNotFound},
    };
    mBad->SetChallengeAll(true);
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.mUser);
        mGood->ResetCounters();
        SmartPtr<AuthContext> ctx = MakeContext({mBad.get(), mGood.get()}, row.mPassword);
        std::u16string user;
        for (const char* c = row.mUser; *c; ++c)
            user.push_back(static_cast<char16_t>(*c));
        ctx->SetUserName(user);
        EXPECT_EQ(Login(MakeOp(ctx)), row.mStatus);
        EXPECT_EQ(mGood->GetRequestCount(), 0u);
        EXPECT_FALSE(ctx->GetPeerData()->IsValid());
    }
    // A password refused after a challenge round: its pending key is removed.
    AuthAccount account = AuthServer::DefaultAccount();
    account.mUserName = u"checked";
    account.mChallenge = true;
    mGood->AddAccount(account);
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()}, u"wrong");
    ctx->SetUserName(u"checked");
    SmartPtr<GetCertOp> op = MakeOp(ctx);
    EXPECT_EQ(Login(op), WS_AuthServ_BadPassword);
    EXPECT_EQ(op->GetChallengeCount(), 1u);
    EXPECT_EQ(ctx->GetLoginKeys().size(), 0u);
    ctx->SetPassword(u"secret");
    EXPECT_EQ(Login(MakeOp(ctx)), WS_Success);
    EXPECT_EQ(ctx->GetLoginKeys().size(), 1u);
}

TEST_P(LoginTest, AnOutdatedBlockIsReplacedAfterKeyRotation)
{
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    ASSERT_EQ(Login(MakeOp(ctx)), WS_Success);
    const uint16_t oldId = ctx->GetPeerData()->GetPubKeyBlock()->GetBlockId();
    ASSERT_TRUE(mAuthority->Rotate());
    SmartPtr<GetCertOp> op = MakeOp(ctx);
    EXPECT_EQ(Login(op), WS_Success);
    EXPECT_EQ(op->GetPubKeyRequestCount(), 1u);
    EXPECT_NE(ctx->GetPeerData()->GetPubKeyBlock()->GetBlockId(), oldId);
    EXPECT_EQ(mGood->GetConnectionCount(), 2u);   // the same connection, asked once more
}

TEST_P(LoginTest, StartChecksAndAnUnusableBlockKey)
{
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    // No verifier key: nothing is sent.
    AuthContext::SetVerifierKey(ElGamal());
    EXPECT_EQ(Login(MakeOp(ctx)), WS_GetCert_NeedVerifierKey);
    AuthContext::ResetVerifierKey();
    AuthContext::SetVerifierKey(AuthContext::GetVerifierKey());

    // A vouched-for block whose key cannot encrypt the session key ends the run.
    DLParams tiny;
    tiny.p = BigInteger(65521);
    tiny.q = BigInteger(5);
    tiny.g = BigInteger(2);
    SmartPtr<AuthPubKeyBlock> block =
        new AuthPubKeyBlock(mAuthority->IssuePubKeyBlock({KeyGen::EncodePublicKey(tiny, BigInteger(4))}));
    ASSERT_TRUE(block->IsValid());
    ctx->SetPeerData(new AuthPeerData(nullptr, block, nullptr, 0, nullptr));
    EXPECT_EQ(Login(MakeOp(ctx)), WS_GetCert_PubKeyEncryptFailure);
    EXPECT_EQ(mGood->GetRequestCount(), 0u);
}

TEST_P(LoginTest, ClockOffsetComesFromTheCertificate)
{
    mGood->SetClockShift(500);
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    ASSERT_EQ(Login(MakeOp(ctx)), WS_Success);
    SmartPtr<AuthPeerData> data = ctx->GetPeerData();
    EXPECT_NEAR(data->GetClockOffset(), 500, 2);
    EXPECT_NEAR(data->GetSecondsUntilExpiry(), 3600, 5);
}

TEST_P(LoginTest, SeveralWaitersShareOneRenewal)
{
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    mGood->SetChallengeAll(true);   // a slower login: both waiters join it
    SmartPtr<LightGetCertOp> first = new LightGetCertOp();
    SmartPtr<LightGetCertOp> second = new LightGetCertOp();
    SmartPtr<DirTest::Waiter> waiter = new DirTest::Waiter;
    first->SetCompletion(waiter->MakeCompletion());
    second->SetCompletion(waiter->MakeCompletion());
    EXPECT_EQ(ctx->RefreshAsync(first, 20000), WS_Pending);
    EXPECT_EQ(ctx->RefreshAsync(second, 20000), WS_Pending);
    ASSERT_TRUE(waiter->WaitFor(2, 20000));
    EXPECT_EQ(first->GetStatus(), WS_Success);
    EXPECT_EQ(second->GetStatus(), WS_Success);
    EXPECT_EQ(mGood->GetLoginCount(), 1u);
    EXPECT_EQ(first->GetPeerData(), ctx->GetPeerData());
    EXPECT_EQ(second->GetPeerData(), ctx->GetPeerData());
    EXPECT_EQ(ctx->GetLastRefreshStatus(), WS_Success);
    EXPECT_EQ(ctx->GetCurrentRefresh(), nullptr);

    // A failed renewal reaches its waiter too.
    mGood->SetFault(AuthServerFault::MissingCertificate2);
    SmartPtr<LightGetCertOp> third = new LightGetCertOp();
    third->SetCompletion(waiter->MakeCompletion());
    ctx->RefreshAsync(third, 20000);
    ASSERT_TRUE(waiter->WaitFor(3, 20000));
    EXPECT_EQ(third->GetStatus(), WS_GetCert_MissingCertificate);
    EXPECT_EQ(third->GetPeerData(), nullptr);
    // Blocking renewal through the context.
    mGood->SetFault(AuthServerFault::None);
    EXPECT_EQ(ctx->Refresh(10000), WS_Success);
    ctx->CancelRefresh();
}

TEST_P(LoginTest, CancelRefreshKillsTheRenewalAndItsWaiters)
{
    mGood->SetFault(AuthServerFault::Silent);
    SmartPtr<AuthContext> ctx = MakeContext({mGood.get()});
    ctx->SetAutoRefresh(true);
    SmartPtr<LightGetCertOp> waiter = new LightGetCertOp();
    SmartPtr<DirTest::Waiter> done = new DirTest::Waiter;
    waiter->SetCompletion(done->MakeCompletion());
    ctx->RefreshAsync(waiter, 20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ctx->CancelRefresh();
    ASSERT_TRUE(done->WaitFor(1, 10000));
    EXPECT_EQ(waiter->GetStatus(), WS_Killed);
    for (int i = 0; i < 100 && ctx->GetCurrentRefresh(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ctx->GetCurrentRefresh(), nullptr);
    EXPECT_EQ(ctx->GetRefreshTimer(), nullptr) << "a cancelled renewal arms no timer";
}

INSTANTIATE_TEST_SUITE_P(Modes, LoginTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Async" : "Blocking"; });

// The renewal timer: a certificate with 100 s left is renewed 120 s after the
// reschedule, never earlier. The tick offset stands in for the wait.
TEST(AutoRenewal, ACertificateWith100SecondsLeftRenewsAfter120Seconds)
{
    TempDir dir;
    AuthContext::ResetVerifierKey();
    std::unique_ptr<QORAPICore> core = StartCore(dir.Path());
    AuthServer server;
    server.SetLifetimes(100, 100);
    ASSERT_EQ(server.Start(0), WS_Success);
    SmartPtr<AuthContext> ctx = new AuthContext(u"player", u"qor", u"secret");
    ctx->AddAddress(Local(server.GetPort()));

    // Without valid credentials a plain reschedule arms nothing.
    ctx->SetAutoRefresh(true);
    EXPECT_EQ(ctx->GetRefreshTimer(), nullptr);
    ASSERT_EQ(ctx->Refresh(10000), WS_Success);
    SmartPtr<AsyncOp> timer = ctx->GetRefreshTimer();
    ASSERT_NE(timer, nullptr);
    uint32_t key = 0;
    bool wrapped = false;
    ASSERT_TRUE(core->GetTimerThread().GetEntryKey(timer, key, wrapped));
    const uint32_t left = key - GetTickCount();
    EXPECT_GT(left, 118000u);
    EXPECT_LE(left, 120000u);

    // 118 s later: still waiting.
    SetTickOffset(GetTickOffset() + 118000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(server.GetLoginCount(), 1u);
    EXPECT_TRUE(timer->IsPending());
    // Past 120 s: the timer fires and a renewal runs; a forced reschedule
    // follows it.
    SetTickOffset(GetTickOffset() + 3000);
    for (int i = 0; i < 100 && server.GetLoginCount() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.GetLoginCount(), 2u);
    for (int i = 0; i < 100 && (ctx->GetCurrentRefresh() || !ctx->GetRefreshTimer()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ctx->GetLastRefreshStatus(), WS_Success);
    EXPECT_NE(ctx->GetRefreshTimer(), nullptr);
    EXPECT_NE(ctx->GetRefreshTimer(), timer);

    ctx->SetAutoRefresh(false);
    EXPECT_EQ(ctx->GetRefreshTimer(), nullptr);
    server.Stop();
}
