// The peer-authentication engines driven against each other without sockets:
// complete exchanges in every mode, and every status of both sides from
// crafted, repeated, out-of-order and truncated messages.
#include "PeerAuthTestUtil.h"
#include "auth/PeerAuthClient.h"
#include "auth/PeerAuthMsg.h"
#include "auth/PeerAuthServer.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <functional>

namespace QORAPI {
namespace {

using namespace PeerAuthTest;

class PeerAuthEngines : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        sClient = Credentials(1001, u"alice");
        sServer = Credentials(2002, u"host");
    }
    static void TearDownTestSuite()
    {
        sClient = nullptr;
        sServer = nullptr;
    }

    // The message of a frame built by an engine.
    static SmartPtr<ByteBuffer> Msg(const SmartPtr<ByteBuffer>& frame, uint8_t lfs = 4) { return Body(frame, lfs); }

    // A message of service 203 with the given type and body.
    static SmartPtr<ByteBuffer> Craft(uint32_t type, const std::string& body, uint32_t service = PeerAuth_ServiceType)
    {
        return Buf(Le32(service) + Le32(type) + body);
    }

    // The failure complete's status and the name it carries.
    static void ReadFailure(const SmartPtr<ByteBuffer>& frame, int16_t& status, std::string& name)
    {
        const SmartPtr<ByteBuffer> message = Msg(frame);
        ReadBuffer rb(message);
        ASSERT_EQ(rb.ReadLong(), PeerAuth_ServiceType);
        ASSERT_EQ(rb.ReadLong(), PeerAuth_Complete);
        status = static_cast<int16_t>(rb.ReadShort());
        ASSERT_EQ(rb.ReadShort(), 1u);
        rb.ReadString(name, 2);
        EXPECT_TRUE(rb.AtEnd());
    }

    static SmartPtr<AuthPeerData> sClient;
    static SmartPtr<AuthPeerData> sServer;
};

SmartPtr<AuthPeerData> PeerAuthEngines::sClient;
SmartPtr<AuthPeerData> PeerAuthEngines::sServer;

TEST_F(PeerAuthEngines, CompleteExchangeInEveryMode)
{
    struct Case
    {
        int32_t type;
        uint8_t lfs;
        bool second;
    };
    const Case cases[] = {{1, 4, true}, {2, 4, true}, {3, 4, true}, {2, 2, true}, {1, 2, false}, {2, 4, false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " lfs " << int(c.lfs) << " second " << c.second);
        PeerAuthClient client;
        PeerAuthServer server;
        client.SetUseSecondCertificate(c.second);
        server.SetUseSecondCertificate(c.second);
        server.SetSessionMode(true, 77);
        SmartPtr<ByteBuffer> request, challenge1, challenge2, complete, none;
        client.Start(request, sClient, c.type, c.lfs);
        EXPECT_EQ(client.GetState(), PeerAuthClient::State_RequestSent);
        server.Start(sServer, c.lfs);
        ASSERT_EQ(server.HandleMessage(Msg(request, c.lfs).Get(), challenge1), WS_Success);
        ASSERT_EQ(client.HandleMessage(Msg(challenge1, c.lfs).Get(), challenge2), WS_Success);
        ASSERT_TRUE(challenge2);
        ASSERT_EQ(server.HandleMessage(Msg(challenge2, c.lfs).Get(), complete), WS_Success);
        EXPECT_EQ(server.GetState(), PeerAuthServer::State_Idle);
        ASSERT_EQ(client.HandleMessage(Msg(complete, c.lfs).Get(), none), WS_Success);
        EXPECT_FALSE(none);
        EXPECT_EQ(server.GetAuthType(), c.type);
        EXPECT_EQ(server.GetClientCertificate()->GetUserId(), 1001u);
        EXPECT_EQ(client.GetServerCertificate()->GetUserId(), 2002u);

        if (c.type == 3)
        {
            EXPECT_FALSE(client.GetSession());
            EXPECT_FALSE(server.GetSession());
            continue;
        }
        const SmartPtr<AuthSession> mine = client.GetSession();
        const SmartPtr<AuthSession> theirs = server.GetSession();
        ASSERT_TRUE(mine && theirs);
        EXPECT_EQ(mine->GetSessionId(), c.type == 1 ? 77u : 0u);
        EXPECT_EQ(theirs->GetSessionId(), mine->GetSessionId());
        EXPECT_EQ(mine->GetKey().getKeyLength(), PeerAuth_SecretLength);
        // The agreed key carries a message both ways.
        WriteBuffer wb(c.lfs, true);
        wb.AppendString("hello host", 1);
        SmartPtr<ByteBuffer> frame = wb.ToByteBuffer(true);
        const std::string plain = Raw(Msg(frame, c.lfs));
        ASSERT_EQ(mine->Encrypt(frame), WS_Success);
        SmartPtr<ByteBuffer> received = Msg(frame, c.lfs);
        EXPECT_NE(Raw(received), plain);
        ASSERT_EQ(theirs->Decrypt(received), WS_Success);
        EXPECT_EQ(Raw(received), plain);
    }
}

TEST_F(PeerAuthEngines, RequestLayoutFollowsTheType)
{
    // mode, encryption and the 2-byte field of the request, per type
    const struct
    {
        int32_t type;
        uint8_t mode, encryption;
        uint16_t third;
    } cases[] = {{1, 2, 1, 0}, {2, 1, 1, 1}, {3, 1, 0, 1}};
    for (const auto& c : cases)
    {
        PeerAuthClient client;
        SmartPtr<ByteBuffer> request;
        client.Start(request, sClient, c.type, 4);
        const SmartPtr<ByteBuffer> message = Msg(request);
        ReadBuffer rb(message);
        EXPECT_EQ(rb.ReadLong(), PeerAuth_ServiceType);
        EXPECT_EQ(rb.ReadLong(), PeerAuth_Request);
        EXPECT_EQ(rb.ReadByte(), c.mode);
        EXPECT_EQ(rb.ReadByte(), c.encryption);
        EXPECT_EQ(rb.ReadShort(), c.third);
        SmartPtr<ByteBuffer> cert;
        rb.ReadBuf(cert, 2);
        EXPECT_EQ(Raw(cert), Raw(sClient->GetCertificate2()->GetRaw()));
        EXPECT_TRUE(rb.AtEnd());
    }
    // Without an Auth2Certificate the AuthCertificate is presented.
    SmartPtr<AuthPeerData> firstOnly =
        new AuthPeerData(sClient->GetCertificate(), sClient->GetPubKeyBlock(), sClient->GetPrivateKey(), 0, nullptr);
    PeerAuthClient client;
    SmartPtr<ByteBuffer> request;
    client.Start(request, firstOnly, 2, 4);
    EXPECT_FALSE(client.GetUseSecondCertificate());
    EXPECT_NE(Raw(request).find(Raw(sClient->GetCertificate()->GetRaw())), std::string::npos);
}

// Each server case starts the engine with some credentials, may run steps
// first, then sends one message; the expected status and whether a failure
// complete naming it comes back.
struct ServerCase
{
    const char* name;
    WSStatus expected;
    bool failureComplete;
    std::function<SmartPtr<ByteBuffer>(PeerAuthServer&, const SmartPtr<AuthPeerData>&, const SmartPtr<AuthPeerData>&)>
        prepare;   // returns the message to hand to the server
    bool startServer = true;
    int32_t serverClockOffset = 0;
    bool foreignClient = false;
};

// The client's genuine request of the given type.
SmartPtr<ByteBuffer> RequestOf(const SmartPtr<AuthPeerData>& client, int32_t type)
{
    PeerAuthClient engine;
    SmartPtr<ByteBuffer> request;
    engine.Start(request, client, type, 4);
    return Body(request, 4);
}

// Runs the request through the server and returns challenge 2 built from the
// given plain text under the server's key.
SmartPtr<ByteBuffer> Challenge2With(PeerAuthServer& server, const SmartPtr<AuthPeerData>& client,
                                    const SmartPtr<AuthPeerData>& serverData,
                                    const std::function<std::string(const std::string& secretB)>& plain)
{
    SmartPtr<ByteBuffer> challenge1;
    EXPECT_EQ(server.HandleMessage(RequestOf(client, 2).Get(), challenge1), WS_Success);
    // Take secret B out of challenge 1 as the client would.
    const SmartPtr<ByteBuffer> message = Body(challenge1, 4);
    ReadBuffer rb(message);
    rb.ReadLong();
    rb.ReadLong();
    SmartPtr<ByteBuffer> block;
    rb.ReadBuf(block, 2);
    const SmartPtr<ByteBuffer> secret = client->GetPrivateKey()->decrypt(block->GetData(), block->GetLength());
    const std::string secretB = Raw(secret).substr(2);
    return Buf(Le32(PeerAuth_ServiceType) + Le32(PeerAuth_Challenge2) +
               Counted(EncryptFor(*serverData, plain(secretB))));
}

TEST_F(PeerAuthEngines, ServerStatusesAndFailureCompletes)
{
    const std::string secretA = "AAAAAAAA";
    const ServerCase cases[] = {
        {"NotStarted", WS_PeerAuthServer_NotStarted, false,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) { return RequestOf(c, 2); },
         false},
        {"InvalidServiceType", WS_PeerAuthServer_InvalidServiceType, false,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>&, const SmartPtr<AuthPeerData>&) {
             return Craft(PeerAuth_Request, "\x01\x01\x01", 204);
         }},
        {"InvalidMessage", WS_PeerAuthServer_InvalidMessage, false,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>&, const SmartPtr<AuthPeerData>&) { return Craft(99, ""); }},
        {"ChallengeBeforeRequest", WS_PeerAuthServer_UnexpectedChallenge, false,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>&, const SmartPtr<AuthPeerData>&) {
             return Craft(PeerAuth_Challenge2, Counted("x"));
         }},
        {"RequestTwice", WS_PeerAuthServer_UnexpectedRequest, false,
         [](PeerAuthServer& s, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) {
             SmartPtr<ByteBuffer> reply;
             EXPECT_EQ(s.HandleMessage(RequestOf(c, 2).Get(), reply), WS_Success);
             return RequestOf(c, 2);
         }},
        {"TruncatedRequest", WS_PeerAuthServer_MsgUnpackFailure, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) {
             const std::string whole = Raw(RequestOf(c, 2));
             return Buf(whole.substr(0, whole.size() - 9));
         }},
        {"TypeOnly", WS_PeerAuthServer_MsgUnpackFailure, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>&, const SmartPtr<AuthPeerData>&) {
             return Buf(Le32(PeerAuth_ServiceType) + "\x32");
         }},
        {"SessionModeNotServed", WS_PeerAuthServer_InvalidAuthMode, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) { return RequestOf(c, 1); }},
        {"EncryptionByteTwo", WS_PeerAuthServer_InvalidEncryptType, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) {
             std::string bytes = Raw(RequestOf(c, 2));
             bytes[9] = 2;
             return Buf(bytes);
         }},
        {"CertificateJunk", WS_PeerAuthServer_InvalidClientCertificate, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>&, const SmartPtr<AuthPeerData>&) {
             return Craft(PeerAuth_Request, std::string("\x01\x01\x01\x00", 4) + Counted("not a certificate"));
         }},
        {"ExpiredByServerClock", WS_PeerAuthServer_ExpiredClientCertificate, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) { return RequestOf(c, 2); },
         true, 3600},
        {"ForeignCertificate", WS_PeerAuthServer_FailedToVerifyClientCertificate, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) { return RequestOf(c, 2); },
         true, 0, true},
        {"Challenge2Junk", WS_PeerAuthServer_FailedToDecryptWithPrivateKey, true,
         [](PeerAuthServer& s, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>&) {
             SmartPtr<ByteBuffer> reply;
             EXPECT_EQ(s.HandleMessage(RequestOf(c, 2).Get(), reply), WS_Success);
             return Craft(PeerAuth_Challenge2, Counted("junk"));
         }},
        {"WrongSecretB", WS_PeerAuthServer_InvalidSecretB, true,
         [&](PeerAuthServer& s, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>& d) {
             return Challenge2With(s, c, d, [&](const std::string& b) {
                 std::string wrong = b;
                 wrong[0] = static_cast<char>(wrong[0] ^ 1);
                 return Counted(wrong) + secretA;
             });
         }},
        {"ShortSecretB", WS_PeerAuthServer_InvalidSecretB, true,
         [&](PeerAuthServer& s, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>& d) {
             return Challenge2With(s, c, d, [&](const std::string& b) { return Counted(b.substr(0, 4)); });
         }},
        {"ClientKeyCannotEncrypt", WS_PeerAuthServer_FailedToEncryptWithClientPubKey, true,
         [](PeerAuthServer&, const SmartPtr<AuthPeerData>&, const SmartPtr<AuthPeerData>&) {
             return Craft(PeerAuth_Request, std::string("\x01\x01\x01\x00", 4) + Counted(Raw(UnusableKeyCertificate(7))));
         }},
        {"SecretAOfThreeBytes", WS_PeerAuthServer_InvalidSecretA, true,
         [&](PeerAuthServer& s, const SmartPtr<AuthPeerData>& c, const SmartPtr<AuthPeerData>& d) {
             return Challenge2With(s, c, d, [&](const std::string& b) { return Counted(b) + "AAA"; });
         }},
    };
    for (const ServerCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        const SmartPtr<AuthPeerData> client = c.foreignClient ? ForeignCredentials(1001) : sClient;
        const SmartPtr<AuthPeerData> serverData =
            c.serverClockOffset ? Credentials(2002, u"host", 3600, c.serverClockOffset) : sServer;
        PeerAuthServer server;
        if (c.startServer)
            server.Start(serverData, 4);
        const SmartPtr<ByteBuffer> message = c.prepare(server, client, serverData);
        SmartPtr<ByteBuffer> reply;
        EXPECT_EQ(server.HandleMessage(message.Get(), reply), c.expected);
        EXPECT_FALSE(server.GetSession());
        if (!c.failureComplete)
        {
            EXPECT_FALSE(reply);
            continue;
        }
        ASSERT_TRUE(reply);
        int16_t status = 0;
        std::string name;
        ReadFailure(reply, status, name);
        EXPECT_EQ(status, WS_CommServ_InvalidParameters);
        EXPECT_EQ(name, WSStatusToString(c.expected));
        // A failed engine is finished: the next message finds it not started.
        EXPECT_EQ(server.HandleMessage(RequestOf(sClient, 2).Get(), reply), WS_PeerAuthServer_NotStarted);
        EXPECT_FALSE(reply);
    }
}

// Each client case hands the started client one message, optionally after a
// genuine challenge 1 from the server (state 2).
struct ClientCase
{
    const char* name;
    WSStatus expected;
    bool afterChallenge;
    std::function<SmartPtr<ByteBuffer>(const AuthPeerData& client, const SmartPtr<ByteBuffer>& challenge1)> message;
};

TEST_F(PeerAuthEngines, ClientStatusesForEveryFault)
{
    const std::string goodSecret = Counted("BBBBBBBB");
    const std::string serverCert = Counted(Raw(sServer->GetCertificate2()->GetRaw()));
    const std::string foreignCert = Counted(Raw(ForeignCredentials(3)->GetCertificate2()->GetRaw()));
    auto challenge1 = [&](const AuthPeerData& c, const std::string& plain, const std::string& cert) {
        return Craft(PeerAuth_Challenge1, Counted(EncryptFor(c, plain)) + cert);
    };
    auto complete = [&](const AuthPeerData& c, const std::string& plain) {
        return Craft(PeerAuth_Complete, Le16(0) + Counted(EncryptFor(c, plain)));
    };
    const ClientCase cases[] = {
        {"OtherService", WS_PeerAuthClient_InvalidServiceType, false,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>&) { return Craft(PeerAuth_Challenge1, "", 204); }},
        {"UnknownType", WS_PeerAuthClient_InvalidMessage, false,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>&) { return Craft(PeerAuth_Challenge2, ""); }},
        {"ServiceOnly", WS_PeerAuthClient_MsgUnpackFailure, false,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>&) { return Buf(Le32(PeerAuth_ServiceType)); }},
        {"Challenge1Truncated", WS_PeerAuthClient_MsgUnpackFailure, false,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>& real) {
             const std::string whole = Raw(Body(real, 4));
             return Buf(whole.substr(0, whole.size() - 5));
         }},
        {"Challenge1Junk", WS_PeerAuthClient_Challenge1DecryptFailure, false,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>&) {
             return Craft(PeerAuth_Challenge1, Counted("junk") + serverCert);
         }},
        {"SecretLongerThanText", WS_PeerAuthClient_Challenge1InvalidSecretLen, false,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) {
             return challenge1(c, Le16(20) + "BBBBBBBB", serverCert);
         }},
        {"OneByteText", WS_PeerAuthClient_Challenge1InvalidSecretLen, false,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return challenge1(c, "\x01", serverCert); }},
        {"SecretOfThreeBytes", WS_PeerAuthClient_Challenge1InvalidSecretKey, false,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return challenge1(c, Counted("BBB"), serverCert); }},
        {"ServerCertificateJunk", WS_PeerAuthClient_Challenge1CertificateUnpackFailure, false,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) {
             return challenge1(c, goodSecret, Counted("junk"));
         }},
        {"ServerCertificateForeign", WS_PeerAuthClient_Challenge1CertificateVerifyFailure, false,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return challenge1(c, goodSecret, foreignCert); }},
        {"ServerKeyCannotEncrypt", WS_PeerAuthClient_Challenge2EncryptFailure, false,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) {
             return challenge1(c, goodSecret, Counted(Raw(UnusableKeyCertificate(8))));
         }},
        {"CompleteBeforeChallenge", WS_PeerAuthClient_InvalidMessage, false,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return complete(c, Le16(0)); }},
        {"RefusalWithName", WS_CommServ_ExpiredPeerCertificate, false,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>&) {
             return Craft(PeerAuth_Complete, Le16(0xFFED) + Le16(1) + Counted("WS_Something"));
         }},
        {"RefusalStringsTruncated", WS_PeerAuthClient_MsgUnpackFailure, false,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>&) {
             return Craft(PeerAuth_Complete, Le16(0xFFFC) + Le16(2) + Counted("one"));
         }},
        {"Challenge1Twice", WS_PeerAuthClient_UnexpectedChallenge, true,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>& real) { return Body(real, 4); }},
        {"CompleteJunk", WS_PeerAuthClient_CompleteDecryptFailure, true,
         [&](const AuthPeerData&, const SmartPtr<ByteBuffer>&) {
             return Craft(PeerAuth_Complete, Le16(0) + Counted("junk"));
         }},
        {"CompleteOneByte", WS_PeerAuthClient_CompleteInvalidSecretLen, true,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return complete(c, "\x08"); }},
        {"CompleteOtherSecret", WS_PeerAuthClient_CompleteInvalidSecretKey, true,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return complete(c, Counted("ZZZZZZZZ")); }},
        {"CompleteEmptySecret", WS_PeerAuthClient_CompleteInvalidSecretKey, true,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return complete(c, Le16(0)); }},
        {"CompleteSecretTooLong", WS_PeerAuthClient_CompleteInvalidSecretKey, true,
         [&](const AuthPeerData& c, const SmartPtr<ByteBuffer>&) { return complete(c, Le16(9) + "AAAAAAAA"); }},
    };
    for (const ClientCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        PeerAuthClient client;
        PeerAuthServer server;
        SmartPtr<ByteBuffer> request, realChallenge1, reply;
        client.Start(request, sClient, 2, 4);
        server.Start(sServer, 4);
        ASSERT_EQ(server.HandleMessage(Body(request, 4).Get(), realChallenge1), WS_Success);
        if (c.afterChallenge)
        {
            ASSERT_EQ(client.HandleMessage(Body(realChallenge1, 4).Get(), reply), WS_Success);
            ASSERT_EQ(client.GetState(), PeerAuthClient::State_ChallengeAnswered);
        }
        const SmartPtr<ByteBuffer> message = c.message(*sClient, realChallenge1);
        EXPECT_EQ(client.HandleMessage(message.Get(), reply), c.expected);
        EXPECT_FALSE(reply);
        EXPECT_FALSE(client.GetSession());
    }
}

TEST_F(PeerAuthEngines, SessionIdentifierTravelsOnlyInSessionMode)
{
    // A type 1 complete without its identifier is unreadable; the server
    // serving the session mode sends it.
    PeerAuthClient client;
    PeerAuthServer server;
    server.SetSessionMode(true, 0xBEEF);
    SmartPtr<ByteBuffer> request, challenge1, challenge2, complete, none;
    client.Start(request, sClient, 1, 4);
    server.Start(sServer, 4);
    ASSERT_EQ(server.HandleMessage(Body(request, 4).Get(), challenge1), WS_Success);
    ASSERT_EQ(client.HandleMessage(Body(challenge1, 4).Get(), challenge2), WS_Success);
    ASSERT_EQ(server.HandleMessage(Body(challenge2, 4).Get(), complete), WS_Success);
    const std::string whole = Raw(Body(complete, 4));
    EXPECT_EQ(client.HandleMessage(Buf(whole.substr(0, whole.size() - 2)).Get(), none),
              WS_PeerAuthClient_MsgUnpackFailure);
    ASSERT_EQ(client.HandleMessage(Body(complete, 4).Get(), none), WS_Success);
    EXPECT_EQ(client.GetSession()->GetSessionId(), 0xBEEF);
    EXPECT_EQ(server.GetSession()->GetAuthType(), 1);
}

} // namespace
} // namespace QORAPI
