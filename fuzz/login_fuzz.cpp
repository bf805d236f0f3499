// Fuzz target of what logging in parses: the login key store file, every
// request of the login exchange as the local authentication server parses it
// (public-key request, login data block, challenge replies), that server's
// account lines, and the replies GetCertOp reads (public-key reply,
// challenge, login reply with its sealed part).
// Properties: a key store that loads saves back as its count and the entries
// it holds; every reply of the server carries the service's header and fits
// a frame; an unedited login exchange ends with new credentials.
//
// Input: selector byte, then the bytes.
//   0: key store file.
//   1: server requests, a sequence of 2-byte little-endian lengths and
//      requests (common header first); bit 2 challenges every login.
//      With bit 3, the bytes are instead the plain login data block, sealed
//      as a client seals it (session key "fuzzkey!") into a login request;
//      bit 4 then answers a challenge.
//   2: account lines.
//   3: a reply to GetCertOp before its public-key block. With bit 3, a login
//      exchange between GetCertOp and the server (bit 2: with a challenge):
//      bit 4 applies edits to the server's replies (2-byte offset whose top
//      two bits pick the reply, 1-byte XOR mask each); without it, after the
//      genuine public-key reply the bytes are replies in pairs of a plain head
//      and a part sealed with the operation's session key (2-byte length
//      each); "fuzzkey!" in a sealed part stands for the session key.
#include "FuzzUtil.h"
#include "LoginExchange.h"

#include "QORSocket/RecvMsgOp.h"
#include "auth/AuthContext.h"
#include "auth/GetCertOp.h"
#include "service/AuthServer.h"
#include "service/LocalAuthority.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace QORAPI;

namespace {

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const std::filesystem::path& Dir()
{
    static const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qorapi-login-fuzz-" + std::to_string(getpid()));
    static const struct Cleanup
    {
        Cleanup() { std::filesystem::create_directories(dir); }
        ~Cleanup()
        {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup;
    return dir;
}

const SmartPtr<LocalAuthority>& Authority()
{
    static const SmartPtr<LocalAuthority> authority = new LocalAuthority();
    return authority;
}

void KeyStore(const std::string& file)
{
    const std::filesystem::path& dir = Dir();
    std::ofstream(dir / "in.ks", std::ios::binary | std::ios::trunc) << file;
    SmartPtr<AuthContext> context = new AuthContext();
    context->SetKeyStorePath((dir / "in.ks").string());
    if (!context->LoadKeyStore())
        return;
    context->SetKeyStorePath((dir / "out.ks").string());
    FUZZ_CHECK(context->SaveKeyStore());
    const std::string saved = ReadFile(dir / "out.ks");
    if (file.empty())
    {
        FUZZ_CHECK(saved == std::string(1, '\0'));
        return;
    }
    const size_t entries = std::min<size_t>(static_cast<uint8_t>(file[0]), (file.size() - 1) / 12);
    FUZZ_CHECK(saved == std::string(1, static_cast<char>(entries)) + file.substr(1, entries * 12));
}

void CheckServerReply(const SmartPtr<ByteBuffer>& reply)
{
    FUZZ_CHECK(reply && reply->GetLength() >= 5);
    FUZZ_CHECK(reply->GetLength() + 4 < kMaxFrameLength);
    const uint8_t* d = reply->GetData();
    FUZZ_CHECK(d[0] == GetCertOp::HeaderByte && d[1] == AuthServer::ServiceType && d[2] == 0);
}

// The plain login data block, sealed into a login request as a client would.
void LoginDataBlock(uint8_t mode, const std::string& plain)
{
    static const std::string sealedKey = [] {
        ElGamal key = Authority()->GetSigningPrivateKey();
        const SmartPtr<ByteBuffer> sealed = key.encrypt(FuzzUtil::kFuzzKey, sizeof(FuzzUtil::kFuzzKey));
        FUZZ_CHECK(sealed);
        return sealed->ToString();
    }();
    Blowfish key(FuzzUtil::kFuzzKey, sizeof(FuzzUtil::kFuzzKey));
    const SmartPtr<ByteBuffer> sealedLogin = key.encrypt(plain.data(), static_cast<uint32_t>(plain.size()));
    if (ByteBuffer::LengthOf(sealedLogin) == 0 || ByteBuffer::LengthOf(sealedLogin) > 0xFFFF)
        return;
    WriteBuffer request(0, false);
    request.AppendByte(GetCertOp::HeaderByte);
    request.AppendShort(GetCertOp::ServiceType);
    request.AppendShort(GetCertOp::Msg_LoginRequest);
    request.AppendShort(Authority()->GetBlockId());
    request.AppendShort(static_cast<uint16_t>(sealedKey.size()));
    request.AppendBytes(sealedKey.data(), static_cast<uint32_t>(sealedKey.size()));
    request.AppendBuffer(sealedLogin, 2);

    AuthServer server(Authority());
    server.SetChallengeAll((mode & 4) != 0);
    AuthServer::ConnStatePtr state = AuthServer::NewConnState();
    bool close = false;
    const std::vector<std::string> replies =
        LoginExchange::Serve(server, *state, request.ToByteBuffer()->ToString(), close);
    for (const std::string& r : replies)
        CheckServerReply(new ByteBuffer(r.data(), static_cast<uint32_t>(r.size())));
    if (!(mode & 16) || close || replies.size() != 1 || replies[0].size() < 5 ||
        replies[0][3] != static_cast<char>(GetCertOp::Msg_Challenge))
        return;
    // Answers the challenge the way GetCertOp does.
    const uint8_t none = 0;
    WriteBuffer answer(0, false);
    answer.AppendByte(GetCertOp::HeaderByte);
    answer.AppendShort(GetCertOp::ServiceType);
    answer.AppendShort(GetCertOp::Msg_ChallengeReply);
    answer.AppendBuffer(key.encrypt(&none, 1), 2);
    for (const std::string& r : LoginExchange::Serve(server, *state, answer.ToByteBuffer()->ToString(), close))
        CheckServerReply(new ByteBuffer(r.data(), static_cast<uint32_t>(r.size())));
}

// GetCertOp against the server, its replies edited or replaced.
void ClientExchange(uint8_t mode, const uint8_t* data, size_t size)
{
    const bool editing = (mode & 16) != 0;
    AuthServer server(Authority());
    server.SetChallengeAll((mode & 4) != 0);
    AuthServer::ConnStatePtr state = AuthServer::NewConnState();
    SmartPtr<AuthContext> context = new AuthContext(u"player", u"qor", u"secret");
    context->SetKeyStorePath((Dir() / "exchange.ks").string());
    SmartPtr<LoginExchange::LoginProbe> probe = new LoginExchange::LoginProbe(context);
    probe->Begin();
    const std::vector<std::string> items = editing ? std::vector<std::string>() : FuzzUtil::SplitLengthPrefixed(data, size);
    size_t next = 0;
    Blowfish sessionKey;
    bool edited = false;
    for (int round = 0; round < 6; ++round)
    {
        const WSStatus built = probe->Build();
        FUZZ_CHECK(built == WS_ServerReq_Recv || edited || !editing);
        if (built != WS_ServerReq_Recv)
            return;
        const std::string request = probe->Request();
        std::string reply;
        if (editing || round == 0)
        {
            bool close = false;
            const std::vector<std::string> replies = LoginExchange::Serve(server, *state, request, close);
            FUZZ_CHECK(replies.size() == 1 || edited);
            if (replies.size() != 1)
                return;
            reply = replies[0];
            if (editing)
            {
                for (size_t pos = 0; pos + 3 <= size; pos += 3)
                {
                    const uint16_t offset = LoadLE16(data + pos);
                    if ((offset >> 14) != round || reply.empty())
                        continue;
                    reply[(offset & 0x3FFF) % reply.size()] ^= static_cast<char>(data[pos + 2]);
                    edited = edited || data[pos + 2] != 0;
                }
            }
        }
        else
        {
            if (round == 1)
                FUZZ_CHECK(LoginExchange::SessionKeyOf(request, *Authority(), sessionKey));
            if (next >= items.size())
                return;
            const std::string head = items[next++];
            const std::string plain = next < items.size() ? items[next++] : std::string();
            const std::string marker(reinterpret_cast<const char*>(FuzzUtil::kFuzzKey), sizeof(FuzzUtil::kFuzzKey));
            reply = LoginExchange::Seal(
                head, LoginExchange::ReplaceAll(plain, marker, LoginExchange::KeyBytes(sessionKey)), sessionKey);
        }
        const WSStatus status = probe->Handle(reply);
        if (status == WS_Success)
        {
            FUZZ_CHECK(probe->GetNewPeerData() && probe->GetNewPeerData()->IsValid());
            return;
        }
        FUZZ_CHECK(status == WS_ServerReq_Send || edited || !editing);
        if (status != WS_ServerReq_Send)
            return;
    }
    FUZZ_CHECK(edited || !editing);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const SmartPtr<LocalAuthority>& authority = Authority();
    if (size < 1 || size > 100000)
        return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] & 3)
    {
    case 0:
        KeyStore(rest);
        break;
    case 1:
    {
        if (data[0] & 8)
        {
            LoginDataBlock(data[0], rest);
            break;
        }
        AuthServer server(authority);
        server.SetChallengeAll((data[0] & 4) != 0);
        AuthServer::ConnStatePtr state = AuthServer::NewConnState();
        for (const std::string& request : FuzzUtil::SplitLengthPrefixed(data + 1, size - 1))
        {
            const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
            bool close = false;
            for (const SmartPtr<ByteBuffer>& reply : server.HandleRequest(*state, req.Get(), close, 1))
                CheckServerReply(reply);
            if (close)
                break;
        }
        break;
    }
    case 2:
    {
        AuthServer server(authority);
        std::string error;
        if (!server.LoadAccounts(rest, error))
            FUZZ_CHECK(!error.empty());
        break;
    }
    default:
    {
        if (data[0] & 8)
        {
            ClientExchange(data[0], data + 1, size - 1);
            break;
        }
        SmartPtr<AuthContext> context = new AuthContext(u"player", u"qor", u"secret");
        SmartPtr<RequestProbe<GetCertOp>> probe = new RequestProbe<GetCertOp>(context);
        probe->Handle(rest);
        break;
    }
    }
    return 0;
}
