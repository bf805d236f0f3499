#include "common/WSStatus.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace QORAPI;

namespace {

std::string Name(int32_t value) { return WSStatusToString(value); }

} // namespace

TEST(StatusNames, GroupEdges)
{
    EXPECT_EQ(Name(0), "WS_Success");
    EXPECT_EQ(Name(100000), "WS_Pending");
    EXPECT_EQ(Name(100106), "WS_GameSpySupport_ConnError");
    EXPECT_EQ(Name(99999), "99999");
    EXPECT_EQ(Name(100107), "100107");
    EXPECT_EQ(Name(10035), "WS_WSAEWOULDBLOCK");
    EXPECT_EQ(Name(10004), "WS_WSAEINTR");
    EXPECT_EQ(Name(10101), "WS_WSAEDISCON");
    EXPECT_EQ(Name(10000), "10000");
    EXPECT_EQ(Name(32), "WS_EPIPE");
    EXPECT_EQ(Name(31), "31");
    EXPECT_EQ(Name(1), "1");
    EXPECT_EQ(Name(INT32_MIN), "-2147483648");
    EXPECT_EQ(Name(INT32_MAX), "2147483647");
}

TEST(StatusNames, LibraryValuesFollowTheirOrder)
{
    EXPECT_EQ(WS_TimedOut, 100001);
    EXPECT_EQ(WS_Killed, 100002);
    EXPECT_EQ(WS_None, 100004);
    EXPECT_EQ(WS_AwaitingCompletion, 100005);
    EXPECT_EQ(WS_MessageUnpackFailure, 100012);
    EXPECT_EQ(WS_AsyncSocket_InvalidSocket, 100014);
    EXPECT_EQ(WS_SocketOp_InvalidSocket, 100020);
    EXPECT_EQ(WS_PeerAuthClient_Challenge1DecryptFailure, 100023);
    EXPECT_EQ(WS_PeerAuthServer_NotStarted, 100036);
    EXPECT_EQ(WS_PeerAuth_GetCertFailure, 100051);
    EXPECT_EQ(WS_ServerReq_FailedAllServers, 100052);
    EXPECT_EQ(WS_GetCert_PubKeyEncryptFailure, 100063);
    EXPECT_EQ(WS_GetCert_UnexpectedLoginChallenge, 100067);
    EXPECT_EQ(WS_AuthData_SetCertificateUnpackFailed, 100076);
    EXPECT_EQ(WS_AuthSession_EncryptFailure, 100080);
    EXPECT_EQ(WS_ServerConnection_RecvNotAllowedInAsyncMode, 100086);
    EXPECT_EQ(WS_FTP_InvalidResponse, 100087);
    EXPECT_EQ(WS_GameSpySupport_ConnError, 100106);
    EXPECT_EQ(Name(100066), "100066");
    EXPECT_EQ(Name(100065), "WS_GetCert_InvalidLoginReply");
    EXPECT_EQ(Name(100067), "WS_GetCert_UnexpectedLoginChallenge");
}

TEST(StatusNames, EveryLibraryValueButOneHasItsOwnName)
{
    std::set<std::string> seen;
    for (int32_t v = 100000; v <= 100106; ++v)
    {
        const std::string name = Name(v);
        if (v == 100066)
            continue;
        EXPECT_EQ(name.compare(0, 3, "WS_"), 0) << v;
        EXPECT_TRUE(seen.insert(name).second) << name;
    }
    EXPECT_EQ(seen.size(), 106u);
}

TEST(StatusNames, ServerFamilies)
{
    EXPECT_EQ(Name(-1), "WS_CommServ_Failure");
    EXPECT_EQ(Name(-20), "WS_CommServ_StatusCommon_BannedAddress");
    EXPECT_EQ(Name(-21), "-21");
    EXPECT_EQ(Name(-1199), "WS_DirServ_FailureStart");
    EXPECT_EQ(Name(-1200), "WS_DirServ_DirNotFound");
    EXPECT_EQ(Name(-1224), "WS_DirServ_MultiGetFailedAllRequests");
    EXPECT_EQ(Name(-1225), "-1225");
    EXPECT_EQ(Name(-1499), "WS_AuthServ_FailureStart");
    EXPECT_EQ(Name(-1500), "WS_AuthServ_BadPubKeyBlock");
    EXPECT_EQ(Name(-1501), "-1501");
    EXPECT_EQ(Name(-1510), "-1510");
    EXPECT_EQ(Name(-1513), "WS_AuthServ_SetCUDError");
    EXPECT_EQ(Name(-1899), "WS_EventServ_FailureStart");
    EXPECT_EQ(Name(-1902), "WS_EventServ_InvalidDataType");
    EXPECT_EQ(Name(-2500), "WS_RoutingServG2_BlankNamesNotAllowed");
    EXPECT_EQ(Name(-2532), "WS_RoutingServG2_MustBeModerator");
    EXPECT_EQ(Name(-2533), "-2533");
    EXPECT_EQ(Name(-2534), "WS_RoutingServG2_MustBeSelf");
    EXPECT_EQ(Name(-2547), "WS_RoutingServG2_SubscriptionDoesNotExists");
    EXPECT_EQ(Name(-2550), "WS_RoutingServG2_TooManyRecipients");
    EXPECT_EQ(Name(-2600), "WS_ProfileServ_ProfileDoesNotExist");
    EXPECT_EQ(Name(-2617), "WS_ProfileServ_RemoveNewsLettersFailed");
    EXPECT_EQ(Name(-2800), "WS_DBProxyServ_DBError");
    EXPECT_EQ(Name(-2805), "-2805");
    EXPECT_EQ(Name(-2806), "WS_DBProxyServ_UserDoesNotExist");
}

TEST(StatusNames, GameSpecificRange)
{
    EXPECT_EQ(Name(-2900), "WS_DBProxyServ_GameSpecificErrorStart");
    EXPECT_EQ(Name(-2903), "WS_DBProxyServ_GameSpecificWarriorNameDoesNotExist");
    EXPECT_EQ(Name(-2999), "WS_DBProxyServ_GameSpecificErrorEnd");
    EXPECT_EQ(Name(-2901), "DBProxyServ_GameSpecificError-2901");
    EXPECT_EQ(Name(-2950), "DBProxyServ_GameSpecificError-2950");
    EXPECT_EQ(Name(-2998), "DBProxyServ_GameSpecificError-2998");
    EXPECT_EQ(Name(-2899), "-2899");
    EXPECT_EQ(Name(-3000), "-3000");
}

TEST(StatusNames, SuccessTest)
{
    EXPECT_TRUE(WSSucceeded(WS_Success));
    EXPECT_FALSE(WSSucceeded(WS_Pending));
    EXPECT_FALSE(WSSucceeded(WS_CommServ_Failure));
}

TEST(StatusNames, FallbackTextIsOverwrittenByTheNextFallback)
{
    const char* first = WSStatusToString(123);
    const std::string copy = first;
    const char* second = WSStatusToString(456);
    EXPECT_EQ(copy, "123");
    EXPECT_STREQ(second, "456");
    // A named lookup in between does not touch the fallback text.
    WSStatusToString(WS_Killed);
    EXPECT_STREQ(second, "456");
}
