#include "common/WSStatus.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace QORAPI;

namespace {

std::string Name(int32_t value) { return WSStatusToString(value); }

} // namespace

// Names at the edges of every group, and the numbers just outside them.
TEST(StatusNames, GroupAndFamilyEdges)
{
    const struct
    {
        int32_t value;
        const char* name;
    } cases[] = {
        {0, "WS_Success"}, {100000, "WS_Pending"}, {100106, "WS_GameSpySupport_ConnError"}, {99999, "99999"},
        {100107, "100107"}, {10035, "WS_WSAEWOULDBLOCK"}, {10004, "WS_WSAEINTR"}, {10101, "WS_WSAEDISCON"},
        {10000, "10000"}, {32, "WS_EPIPE"}, {31, "31"}, {1, "1"}, {INT32_MIN, "-2147483648"},
        {INT32_MAX, "2147483647"}, {100066, "100066"}, {100065, "WS_GetCert_InvalidLoginReply"},
        {100067, "WS_GetCert_UnexpectedLoginChallenge"}, {100120, "WS_SendMsg_FrameTooLong"},
        {-1, "WS_CommServ_Failure"}, {-20, "WS_CommServ_StatusCommon_BannedAddress"}, {-21, "-21"},
        {-1199, "WS_DirServ_FailureStart"}, {-1200, "WS_DirServ_DirNotFound"},
        {-1224, "WS_DirServ_MultiGetFailedAllRequests"}, {-1225, "-1225"},
        {-1499, "WS_AuthServ_FailureStart"}, {-1500, "WS_AuthServ_BadPubKeyBlock"}, {-1501, "-1501"},
        {-1510, "-1510"}, {-1513, "WS_AuthServ_SetCUDError"}, {-1899, "WS_EventServ_FailureStart"},
        {-1902, "WS_EventServ_InvalidDataType"}, {-2500, "WS_RoutingServG2_BlankNamesNotAllowed"},
        {-2532, "WS_RoutingServG2_MustBeModerator"}, {-2533, "-2533"}, {-2534, "WS_RoutingServG2_MustBeSelf"},
        {-2547, "WS_RoutingServG2_SubscriptionDoesNotExists"}, {-2550, "WS_RoutingServG2_TooManyRecipients"},
        {-2600, "WS_ProfileServ_ProfileDoesNotExist"}, {-2617, "WS_ProfileServ_RemoveNewsLettersFailed"},
        {-2800, "WS_DBProxyServ_DBError"}, {-2805, "-2805"}, {-2806, "WS_DBProxyServ_UserDoesNotExist"},
        {-2900, "WS_DBProxyServ_GameSpecificErrorStart"},
        {-2903, "WS_DBProxyServ_GameSpecificWarriorNameDoesNotExist"},
        {-2999, "WS_DBProxyServ_GameSpecificErrorEnd"}, {-2901, "DBProxyServ_GameSpecificError-2901"},
        {-2950, "DBProxyServ_GameSpecificError-2950"}, {-2998, "DBProxyServ_GameSpecificError-2998"},
        {-2899, "-2899"}, {-3000, "-3000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Name(c.value), c.name) << c.value;
}

TEST(StatusNames, LibraryValuesFollowTheirOrder)
{
    const int32_t values[][2] = {
        {WS_TimedOut, 100001}, {WS_Killed, 100002}, {WS_None, 100004}, {WS_AwaitingCompletion, 100005},
        {WS_MessageUnpackFailure, 100012}, {WS_AsyncSocket_InvalidSocket, 100014},
        {WS_SocketOp_InvalidSocket, 100020}, {WS_PeerAuthClient_Challenge1DecryptFailure, 100023},
        {WS_PeerAuthServer_NotStarted, 100036}, {WS_PeerAuth_GetCertFailure, 100051},
        {WS_ServerReq_FailedAllServers, 100052}, {WS_GetCert_PubKeyEncryptFailure, 100063},
        {WS_GetCert_UnexpectedLoginChallenge, 100067}, {WS_AuthData_SetCertificateUnpackFailed, 100076},
        {WS_AuthSession_EncryptFailure, 100080}, {WS_ServerConnection_RecvNotAllowedInAsyncMode, 100086},
        {WS_FTP_InvalidResponse, 100087}, {WS_GameSpySupport_ConnError, 100106},
    };
    for (const auto& v : values)
        EXPECT_EQ(v[0], v[1]);
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
