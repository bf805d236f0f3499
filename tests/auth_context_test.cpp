// The authentication context without a server: credentials and their expiry,
// the key store file, the login data block, the verifier key file.
#include "AuthTestUtil.h"

#include "auth/AuthContext.h"
#include "common/ReadBuffer.h"
#include "platform/Tick.h"
#include "service/AuthServer.h"
#include "service/LocalAuthority.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace QORAPI;
using namespace QORAPI::AuthTest;

namespace {

std::vector<uint8_t> Key16(uint8_t fill)
{
    return std::vector<uint8_t>(16, fill);
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::vector<uint8_t> out;
    ReadWholeFile(path, out);
    return out;
}

SmartPtr<AuthContext> StoreContext(const TempDir& dir)
{
    SmartPtr<AuthContext> ctx = new AuthContext();
    ctx->SetKeyStorePath(dir.File("_qorlogin.ks"));
    return ctx;
}

} // namespace

TEST(AuthPeerData, ExpiryValidityAndOffset)
{
    SmartPtr<LocalAuthority> authority = new LocalAuthority();
    SmartPtr<AuthPeerData> empty = new AuthPeerData();
    EXPECT_FALSE(empty->IsValid());
    EXPECT_FALSE(empty->IsValid2());
    EXPECT_TRUE(empty->IsCertExpired(0));
    EXPECT_EQ(empty->GetSecondsUntilExpiry(), 0u);

    IssueRequest request;
    request.mUserId = 9;
    request.mLifetimeSeconds = 1000;
    request.mLifetime2Seconds = 500;
    SmartPtr<AuthPeerData> data = authority->IssuePeerData(request);
    ASSERT_TRUE(data && data->IsValid() && data->IsValid2());
    EXPECT_NEAR(data->GetSecondsUntilExpiry(), 1000, 2);
    EXPECT_FALSE(data->IsCertExpired(990));
    EXPECT_TRUE(data->IsCertExpired(1000));
    EXPECT_FALSE(data->IsCert2Expired(490));
    EXPECT_TRUE(data->IsCert2Expired(500));
    EXPECT_TRUE(data->VerifyPeerCertificate(*data->GetCertificate2()));

    // The same certificates judged by a clock 400 s ahead of ours.
    SmartPtr<AuthPeerData> ahead = new AuthPeerData(data->GetCertificate(), data->GetPubKeyBlock(),
                                                    data->GetPrivateKey(), 400, data->GetCertificate2());
    EXPECT_NEAR(ahead->GetSecondsUntilExpiry(), 600, 2);
    EXPECT_TRUE(ahead->IsCertExpired(600));
    // Without the private key the credentials are not usable.
    SmartPtr<AuthPeerData> keyless = new AuthPeerData(data->GetCertificate(), data->GetPubKeyBlock(), nullptr, 0,
                                                      data->GetCertificate2());
    EXPECT_FALSE(keyless->IsValid());
    EXPECT_FALSE(keyless->IsValid2());
}

TEST(AuthContext, SetPeerDataEmptiesTheSessionCache)
{
    SmartPtr<AuthContext> ctx = new AuthContext();
    const InetAddress address(0x7F000001u, 4000);
    ctx->StoreSession(address, new AuthSession(1, 1, Blowfish(8), 4));
    ASSERT_EQ(ctx->GetSessionCount(address), 1u);
    ctx->SetPeerData(new AuthPeerData());
    EXPECT_EQ(ctx->GetSessionCount(address), 0u);
    EXPECT_EQ(ctx->TakeSession(address), nullptr);
}

TEST(AuthContext, KeyStorePendingCommitAndRemoval)
{
    TempDir dir;
    SmartPtr<AuthContext> ctx = StoreContext(dir);
    EXPECT_FALSE(ctx->LoadKeyStore());   // no file yet: empty, no error
    ctx->CommitLoginKeys(1000, 50);      // empty list: nothing written
    EXPECT_TRUE(ReadFile(dir.File("_qorlogin.ks")).empty());

    ctx->AddPendingLoginKey(Key16(1).data());
    ctx->AddPendingLoginKey(Key16(2).data());
    ctx->RemovePendingLoginKey(Key16(1).data());
    ctx->RemovePendingLoginKey(Key16(7).data());   // no match: no change
    ctx->CommitLoginKeys(1000, 50);
    auto keys = ctx->GetLoginKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys.front().mExpiry, 1000 + 50 + 120);
    EXPECT_EQ(keys.front().mKey[0], 2);

    // A later login drops entries that expired by its issue time.
    ctx->AddPendingLoginKey(Key16(3).data());
    ctx->CommitLoginKeys(1170, 100);
    keys = ctx->GetLoginKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys.front().mKey[0], 3);

    // The file: count byte, then expiry and key per entry.
    const std::vector<uint8_t> file = ReadFile(dir.File("_qorlogin.ks"));
    ASSERT_EQ(file.size(), 13u);
    EXPECT_EQ(file[0], 1);
    EXPECT_EQ(LoadLE32(&file[1]), 1170u + 100u + 120u);
    SmartPtr<AuthContext> again = StoreContext(dir);
    EXPECT_TRUE(again->LoadKeyStore());
    EXPECT_EQ(again->GetLoginKeys().size(), 1u);
    // Each save replaced the file whole: no temporary file is left beside it.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1u);
}

TEST(AuthContext, KeyStoreNeverExceeds255Entries)
{
    TempDir dir;
    // A full store of committed entries, key i at position i (newest first).
    std::vector<uint8_t> file{255};
    for (int i = 0; i < 255; ++i)
    {
        const uint8_t entry[12] = {100, 0, 0, 0, static_cast<uint8_t>(i)};
        file.insert(file.end(), entry, entry + 12);
    }
    ASSERT_TRUE(WriteFileAtomic(dir.File("_qorlogin.ks"), file.data(), file.size()));
    SmartPtr<AuthContext> ctx = StoreContext(dir);
    ASSERT_TRUE(ctx->LoadKeyStore());
    ASSERT_EQ(ctx->GetLoginKeys().size(), 255u);
    // A pending key added to a full store: the oldest committed entry goes,
    // and the file still reads back whole.
    ctx->AddPendingLoginKey(Key16(0xAA).data());
    auto keys = ctx->GetLoginKeys();
    EXPECT_EQ(keys.size(), 255u);
    EXPECT_EQ(keys.front().mExpiry, 0);
    EXPECT_EQ(keys.back().mKey[0], 253);   // key 254, the oldest, was dropped
    SmartPtr<AuthContext> again = StoreContext(dir);
    ASSERT_TRUE(again->LoadKeyStore());
    EXPECT_EQ(again->GetLoginKeys().size(), 255u);
    EXPECT_EQ(ReadFile(dir.File("_qorlogin.ks"))[0], 255);
}

TEST(AuthContext, ShortKeyStoreFileLoadsTheEntriesPresent)
{
    TempDir dir;
    std::vector<uint8_t> file{5};
    for (int i = 0; i < 2; ++i)
    {
        const uint8_t entry[12] = {100, 0, 0, 0, static_cast<uint8_t>(i + 1)};
        file.insert(file.end(), entry, entry + 12);
    }
    file.insert(file.end(), {1, 2, 3});   // a torn third entry
    ASSERT_TRUE(WriteFileAtomic(dir.File("_qorlogin.ks"), file.data(), file.size()));
    SmartPtr<AuthContext> ctx = StoreContext(dir);
    EXPECT_TRUE(ctx->LoadKeyStore());
    auto keys = ctx->GetLoginKeys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys.front().mExpiry, 100);
    EXPECT_EQ(keys.back().mKey[0], 2);
}

TEST(AuthContext, LoginDataBlockLayout)
{
    TempDir dir;
    SmartPtr<AuthContext> ctx = new AuthContext(u"u", u"c", u"p");
    ctx->SetKeyStorePath(dir.File("_qorlogin.ks"));
    ctx->AddCommunity(u"b");
    ctx->SetCommunityData(u"c", new ByteBuffer("XY", 2));
    ctx->SetLoginDataItem(u"i", new ByteBuffer("Z", 1));
    ctx->SetLoginDataBuffer(u"f", new ByteBuffer("W", 1));
    ctx->AddPendingLoginKey(Key16(9).data());
    ctx->AddLoginAttribute(u"a");
    ctx->SetLoginAttribute(u"k", u"v");

    WriteBuffer out;
    ctx->WriteLoginData(out);
    ReadBuffer in(out.GetData(), out.GetLength());
    EXPECT_EQ(in.ReadByte(), 0);
    ASSERT_EQ(in.ReadByte(), 2);
    std::u16string name;
    in.ReadWString(name, 2);
    EXPECT_EQ(name, u"b");
    in.ReadWString(name, 2);
    EXPECT_EQ(name, u"c");
    ASSERT_EQ(in.ReadShort(), 7);   // community, item, buffer, keys, attribute a, attribute k with value
    const uint8_t types[] = {1, 7, 8, 6, 4, 4, 3};
    const uint16_t lengths[] = {4 + 2, 4 + 4 + 1, 4 + 4 + 1, 1 + 8, 4, 4, 4 + 4};
    for (size_t i = 0; i < sizeof(types); ++i)
    {
        EXPECT_EQ(in.ReadByte(), types[i]) << i;
        const uint16_t length = in.ReadShort();
        EXPECT_EQ(length, lengths[i]) << i;
        in.ReadBytes(length);
    }
    EXPECT_TRUE(in.AtEnd());

    // Items and buffers go out once: a login clears them.
    ctx->ClearLoginData();
    ctx->ClearLoginAttributes();
    WriteBuffer after;
    ctx->WriteLoginData(after);
    ReadBuffer again(after.GetData(), after.GetLength());
    again.ReadBytes(2 + 4 + 4);
    EXPECT_EQ(again.ReadShort(), 2);   // the community data and the keys remain
}

TEST(AuthContext, VerifierKeyFileOverridesTheBuiltInKey)
{
    TempDir dir;
    SmartPtr<LocalAuthority> fresh = new LocalAuthority(1024, true);
    SmartPtr<LocalAuthority> builtIn = new LocalAuthority();
    AuthPubKeyBlock freshBlock(fresh->GetPubKeyBlock());
    AuthPubKeyBlock builtInBlock(builtIn->GetPubKeyBlock());
    {
        std::unique_ptr<QORAPICore> core = StartCore(dir.Path());
        // A file that does not load leaves the built-in key.
        ASSERT_TRUE(WriteFileAtomic(dir.File("_qorkver.pub"), "junk", 4));
        AuthContext::ResetVerifierKey();
        SmartPtr<AuthContext> first = new AuthContext();
        EXPECT_TRUE(builtInBlock.Verify(AuthContext::GetVerifierKey()));

        // A good file is not read again once tried in this process...
        ASSERT_TRUE(fresh->WriteVerifierKeyFile(dir.Path()));
        SmartPtr<AuthContext> second = new AuthContext();
        EXPECT_TRUE(builtInBlock.Verify(AuthContext::GetVerifierKey()));
        // ...but replaces the built-in key when it is.
        AuthContext::ResetVerifierKey();
        SmartPtr<AuthContext> third = new AuthContext();
        EXPECT_TRUE(freshBlock.Verify(AuthContext::GetVerifierKey()));
        EXPECT_FALSE(builtInBlock.Verify(AuthContext::GetVerifierKey()));
    }
    AuthContext::ResetVerifierKey();
    AuthContext::SetVerifierKey(AuthContext::GetVerifierKey());
    EXPECT_TRUE(builtInBlock.Verify(AuthContext::GetVerifierKey()));
}

TEST(AuthServerAccounts, FileLinesAndTheirErrors)
{
    AuthServer server;
    std::string error;
    ASSERT_TRUE(server.LoadAccounts("# comment\n\nalice pw1 qor,chess 3 challenge\r\nbob pw2 chess 1\n", error));
    AuthAccount alice;
    ASSERT_TRUE(server.FindAccount(u"alice", alice));
    EXPECT_EQ(alice.mPassword, u"pw1");
    EXPECT_EQ(alice.mCommunities, (std::vector<std::u16string>{u"qor", u"chess"}));
    EXPECT_EQ(alice.mTrustLevel, 3);
    EXPECT_TRUE(alice.mChallenge);
    EXPECT_EQ(server.GetCommunityId(u"qor"), 1u);   // the default account's
    EXPECT_EQ(server.GetCommunityId(u"chess"), 2u);
    EXPECT_TRUE(server.FindAccount(AuthServer::DefaultAccount().mUserName, alice));

    const char* bad[] = {"carol pw qor\n", "carol pw qor x\n", "carol pw qor 1 maybe\n", "carol pw qor 70000\n",
                         "carol pw qor 1 challenge extra\n"};
    for (const char* text : bad)
    {
        SCOPED_TRACE(text);
        error.clear();
        EXPECT_FALSE(server.LoadAccounts(std::string("ok pw qor 1\n") + text, error));
        EXPECT_NE(error.find("line 2"), std::string::npos);
    }
    EXPECT_FALSE(server.FindAccount(u"ok", alice)) << "a file with a bad line adds nothing";
}
