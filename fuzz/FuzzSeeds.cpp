// Writes seed inputs for the fuzz targets from real messages: every directory
// request the operations send and every reply the local directory engine gives
// (recorded on loopback), certificates and key blocks the local issuer signs,
// DER keys, ciphertexts and signatures, encrypted session messages, login
// exchanges, ping replies, registry value files, a directory seed file and a
// state file of the local service.
//
//   fuzz_seeds OUTDIR    writes OUTDIR/<target>/<name>
#include "DirOpCatalog.h"
#include "DirTestUtil.h"
#include "FuzzUtil.h"
#include "LoginExchange.h"
#include "ScriptServer.h"

#include "QORAPI.h"
#include "QORCrypt/Blowfish.h"
#include "QORSocket/SocketThreadEx.h"
#include "auth/AuthContext.h"
#include "auth/GetCertOp.h"
#include "QORCrypt/ElGamal.h"
#include "auth/AuthSession.h"
#include "common/RegKey.h"
#include "common/WriteBuffer.h"
#include "service/AuthBlockWriter.h"
#include "service/AuthServer.h"
#include "service/LocalAuthority.h"
#include "service/CertIssuer.h"
#include "service/DirServerEngine.h"
#include "service/IssuerKeys.h"
#include "service/KeyGen.h"
#include "service/LocalState.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

std::filesystem::path gOut;
int gWritten = 0;

void Write(const std::string& target, const std::string& name, const std::string& bytes)
{
    const std::filesystem::path dir = gOut / target;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << bytes;
    ++gWritten;
}

std::string Str(const SmartPtr<ByteBuffer>& b) { return b ? b->ToString() : std::string(); }

// The bytes of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

// Every directory request kind against the engine, through a loopback server
// that records both directions.
void DirectorySeeds()
{
    std::mutex lock;
    std::unique_ptr<DirServerEngine> engine;
    std::vector<std::string> requests, replies;
    TestUtil::ScriptServer server;
    const uint16_t port = server.Start([&](const std::string& request, uint32_t) {
        std::lock_guard<std::mutex> guard(lock);
        const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
        const DirServerReplies out = engine->HandleRequest(req.Get(), nullptr);
        requests.push_back(request);
        TestUtil::ScriptAnswer answer;
        for (const SmartPtr<ByteBuffer>& r : out.mReplies)
        {
            replies.push_back(Str(r));
            answer.mBytes += TestUtil::Framed(Str(r));
        }
        answer.mClose = out.mClose;
        return answer;
    });
    QORAPICore core(true, true, true);
    std::string allRequests;
    for (const DirCatalog::OpKind& kind : DirCatalog::Kinds())
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            engine.reset(new DirServerEngine);
            engine->SetClock([] { return 1700000000u; });
            DirCatalog::SeedCatalogTree(*engine);
            requests.clear();
            replies.clear();
        }
        SmartPtr<ServerContext> context = new ServerContext;
        context->AddAddress(InetAddress(0x7F000001u, port));
        const WSStatus status = DirTest::RunOp(SmartPtr<AsyncOp>(kind.mMake(context).Get()), false, 5000);
        std::lock_guard<std::mutex> guard(lock);
        std::string reqSeed, stream;
        for (const std::string& r : requests)
            reqSeed += FuzzUtil::LengthPrefixed(r);
        allRequests += reqSeed;
        Write("dir_request_fuzz", kind.mName, reqSeed);
        for (size_t i = 0; i < replies.size(); ++i)
        {
            const uint8_t type = replies[i].size() > 4 ? static_cast<uint8_t>(replies[i][3]) : 0;
            const char selector = type == 3 ? 0 : type == 2 ? 1 : 2;
            Write("dir_reply_fuzz", std::string(kind.mName) + "-" + std::to_string(i), selector + replies[i]);
            stream += TestUtil::Framed(replies[i]);
        }
        // Framing seeds: the reply stream with a 4-byte field in varied pieces.
        Write("frame_fuzz", kind.mName, std::string("\x02\x01\x07\x40\x03", 5) + stream);
        std::printf("%-28s %-28s %zu requests, %zu replies\n", kind.mName, WSStatusToString(status),
                    requests.size(), replies.size());
    }
    Write("dir_request_fuzz", "AllKinds", allRequests);
    server.Stop();

    Write("frame_fuzz", "field1", std::string("\x00\x01\x02\x03\x04", 5) + "\x03" "A" "\x7F" + std::string(126, 'x'));
    Write("frame_fuzz", "field2", std::string("\x01\x02\x02\x02\x02", 5) + std::string("\x05\x00" "abc" "\xFF\x7F", 7));
    Write("frame_fuzz", "lines", std::string("\x04\x03\x01\x05\x02", 5) + "OK\r\nHELLO there\r\n\r\nlf\nonly\rcr\r\n");
    Write("frame_fuzz", "xor", std::string("\x0A\x01\x01\x09\x02", 5) + TestUtil::Framed("transformed"));
}

void CryptoAndAuthSeeds()
{
    DLParams params;
    KeyGen::LoadFixedParams(params, 1024);
    Randomizer random(std::vector<uint8_t>{7});
    const SmartPtr<ElGamal> key = KeyGen::GenerateKeyPair(params, random);
    Write("crypto_fuzz", "public-key", Str(key->getPublicKey()));
    Write("crypto_fuzz", "private-key", Str(key->getPrivateKey()));
    Write("crypto_fuzz", "ciphertext", Str(key->encrypt("session key bytes", 17)));
    Write("crypto_fuzz", "signature", Str(key->sign("x", 1)));
    Blowfish cipher(FuzzUtil::kFuzzKey, 8);
    for (uint32_t n : {0u, 3u, 4u, 12u, 100u})
    {
        const std::string plain(n, 'p');
        Write("crypto_fuzz", "blowfish-" + std::to_string(n), Str(cipher.encrypt(plain.data(), n)));
    }

    const SmartPtr<ByteBuffer> issuerKey = GetFixedIssuerKey(0);
    CertIssuer issuer(issuerKey->GetData(), issuerKey->GetLength());
    AuthBlockHeader header;
    header.mIssueTime = 1700000000;
    header.mExpiryTime = 1700003600;
    Write("auth_fuzz", "certificate", Str(issuer.IssueCertificate(header, 77, 5, 3, key->getPublicKey().Get())));
    Write("auth_fuzz", "pubkey-block", Str(issuer.IssuePubKeyBlock(header, 2, {key->getPublicKey(), issuer.GetPublicKey()})));
    Auth2CertificateWriter writer(header);
    writer.AddIdentity(77, key->getPublicKey().Get(), u"player", {{1, 2}, {3, 4}});
    writer.AddTextValue(u"nick", u"Player One");
    writer.AddDataValue(9, "\x01\x02", 2);
    writer.AddNumberValue(4, 12345);
    Write("auth_fuzz", "auth2-certificate", Str(issuer.IssueAuth2Certificate(writer)));
    // Session messages as the fuzz target's sessions expect them: encrypted by
    // the peer of a fresh session, length field dropped as the socket does.
    for (int32_t type : {AuthSession::AuthType_Session, AuthSession::AuthType_PersistentEncrypted})
    {
        const AuthSessionPtr peer = new AuthSession(type, FuzzUtil::kSessionId, Blowfish(FuzzUtil::kFuzzKey, 8), 4);
        WriteBuffer wb(4, true);
        wb.AppendByte(5);
        wb.AppendShort(2);
        wb.AppendShort(103);
        wb.AppendBytes("payload", 7);
        SmartPtr<ByteBuffer> frame = wb.ToByteBuffer();
        if (peer->Encrypt(frame) == WS_Success)
            Write("auth_fuzz", "session-type" + std::to_string(type),
                  frame->ToString().substr(4));
    }
}

// Logins at the local authentication server, plain and with a challenge,
// through a loopback server that records both directions; then the key store
// the logins leave behind.
void LoginSeeds()
{
    const std::filesystem::path dir = gOut / ".login";
    std::filesystem::create_directories(dir);
    std::unique_ptr<QORAPICore> core(new QORAPICoreEx());
    core->SetUsePumpThread(true);
    core->SetSocketThread(new SocketThreadEx());
    core->SetFileDirectory(dir.string());
    core->Startup();
    AuthContext::ResetVerifierKey();

    std::mutex lock;
    AuthServer server(new LocalAuthority());
    AuthServer::ConnStatePtr state;
    std::vector<std::string> requests, replies;
    TestUtil::ScriptServer proxy;
    const uint16_t port = proxy.Start([&](const std::string& request, uint32_t number) {
        std::lock_guard<std::mutex> guard(lock);
        if (number == 0)
            state = AuthServer::NewConnState();
        const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
        bool close = false;
        TestUtil::ScriptAnswer answer;
        requests.push_back(request);
        for (const SmartPtr<ByteBuffer>& r : server.HandleRequest(*state, req.Get(), close, 1))
        {
            replies.push_back(Str(r));
            answer.mBytes += TestUtil::Framed(Str(r));
        }
        answer.mClose = close;
        return answer;
    });
    for (bool challenge : {false, true})
    {
        server.SetChallengeAll(challenge);
        {
            std::lock_guard<std::mutex> guard(lock);
            requests.clear();
            replies.clear();
        }
        SmartPtr<AuthContext> context = new AuthContext(u"player", u"qor", u"secret");
        context->AddAddress(InetAddress(0x7F000001u, port));
        SmartPtr<GetCertOp> op = new GetCertOp(context);
        const WSStatus status = DirTest::RunOp(SmartPtr<AsyncOp>(op.Get()), false, 10000);
        std::lock_guard<std::mutex> guard(lock);
        const std::string name = challenge ? "login-challenge" : "login";
        std::string sequence;
        for (const std::string& r : requests)
            sequence += FuzzUtil::LengthPrefixed(r);
        Write("login_fuzz", name + "-requests", std::string(1, challenge ? '\x05' : '\x01') + sequence);
        for (size_t i = 0; i < replies.size(); ++i)
            Write("login_fuzz", name + "-reply-" + std::to_string(i), "\x03" + replies[i]);
        std::printf("%-28s %-28s %zu requests, %zu replies\n", name.c_str(), WSStatusToString(status),
                    requests.size(), replies.size());
    }
    proxy.Stop();
    core.reset();
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file() && e.path().filename().string().find("_qorlogin") == 0)
        {
            std::ifstream in(e.path(), std::ios::binary);
            Write("login_fuzz", "key-store",
                  std::string(1, '\0') + std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
        }
    Write("login_fuzz", "accounts", "\x02# user password communities trust [challenge]\nplayer secret qor,guests 2\nrook pass qor 1 challenge\n");
    std::filesystem::remove_all(dir);
}

// The login exchange without sockets: its genuine and edited forms, its
// replies split into plain heads and opened sealed parts, and the login data
// block as the server opens it (resealed under the target's key).
void LoginExchangeSeeds()
{
    const std::filesystem::path dir = gOut / ".exchange";
    std::filesystem::create_directories(dir);
    const SmartPtr<LocalAuthority> authority = new LocalAuthority();
    for (bool challenge : {false, true})
    {
        const std::string suffix = challenge ? "-challenge" : "";
        Write("login_fuzz", "exchange-genuine" + suffix, challenge ? "\x1f" : "\x1b");
        AuthServer server(authority);
        server.SetChallengeAll(challenge);
        AuthServer::ConnStatePtr state = AuthServer::NewConnState();
        SmartPtr<AuthContext> context = new AuthContext(u"player", u"qor", u"secret");
        context->SetKeyStorePath((dir / "seed.ks").string());
        SmartPtr<LoginExchange::LoginProbe> probe = new LoginExchange::LoginProbe(context);
        probe->Begin();
        Blowfish key;
        std::string raw;
        for (int round = 0; round < 4 && probe->Build() == WS_ServerReq_Recv; ++round)
        {
            const std::string request = probe->Request();
            if (round == 1 && LoginExchange::SessionKeyOf(request, *authority, key))
            {
                // The sealed login follows the sealed key.
                ReadBuffer rb(request.data(), static_cast<uint32_t>(request.size()));
                rb.ReadBytes(7);
                rb.ReadBytes(rb.ReadShort());
                const uint16_t length = rb.ReadShort();
                const SmartPtr<ByteBuffer> plain = key.decrypt(rb.ReadBytes(length), length);
                std::string block = Str(plain);
                if (block.size() >= 2)
                    block.replace(0, 2, reinterpret_cast<const char*>(FuzzUtil::kFuzzKey), 2);
                Write("login_fuzz", "login-data-block" + suffix, (challenge ? "\x1d" : "\x09") + block);
            }
            bool close = false;
            const std::vector<std::string> replies = LoginExchange::Serve(server, *state, request, close);
            if (replies.size() != 1)
                break;
            std::string head, sealed;
            if (round >= 1 && LoginExchange::SplitSealed(replies[0], head, sealed))
            {
                const SmartPtr<ByteBuffer> plain = key.decrypt(sealed.data(), static_cast<uint32_t>(sealed.size()));
                const std::string marker(reinterpret_cast<const char*>(FuzzUtil::kFuzzKey), 8);
                raw += FuzzUtil::LengthPrefixed(head) +
                       FuzzUtil::LengthPrefixed(LoginExchange::ReplaceAll(Str(plain), LoginExchange::KeyBytes(key), marker));
            }
            if (probe->Handle(replies[0]) != WS_ServerReq_Send)
                break;
        }
        Write("login_fuzz", "exchange-raw" + suffix, "\x0b" + raw);
    }
    // Edits of the public-key reply, the login reply and a challenge.
    Write("login_fuzz", "exchange-edit-block", std::string("\x1b\x20\x00\x01", 4));
    Write("login_fuzz", "exchange-edit-reply", std::string("\x1b\x40\x40\x80", 4));
    Write("login_fuzz", "exchange-edit-challenge", std::string("\x1f\x06\x40\x01", 4));
    std::filesystem::remove_all(dir);
}

// A state file as the local service leaves it, and a sequence of changes.
void StateSeeds()
{
    const std::filesystem::path dir = gOut / ".state";
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "state.db").string();
    {
        LocalState state;
        std::string error;
        if (!state.Open(path, error))
        {
            std::fprintf(stderr, "%s\n", error.c_str());
            return;
        }
        state.SetMeta("authority", "default-1024");
        state.SetMeta("accounts-seeded", "1");
        AuthAccount account = AuthServer::DefaultAccount();
        account.mUserId = 1001;
        state.PutAccount(account);
        account.mUserName = u"rook";
        account.mCommunities = {u"qor", u"chess"};
        account.mChallenge = true;
        account.mUserId = 1002;
        state.PutAccount(account);
        DirServerEngine engine;
        engine.SetClock([] { return 1700000000u; });
        DirCatalog::SeedCatalogTree(engine);
        state.SaveTree(engine.Export());
    }
    std::string file;
    {
        // Closed before the folder goes: an open file cannot be removed on Windows.
        std::ifstream in(path, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    Write("state_fuzz", "state-file", std::string(1, '\0') + file);
    std::filesystem::remove_all(dir);

    // Put an account, set a meta value, save a one-entity tree, reopen,
    // remove the account.
    std::string ops = Bytes("\x01");
    ops += Bytes("\x00" "\x04p\x00l\x00" "\x02s\x00" "\x01" "\x04q\x00o\x00" "\x02\x00" "\x01" "\xe9\x03\x00\x00");
    ops += Bytes("\x02" "\x03key" "\x05value");
    ops += Bytes("\x03" "\x01" "\x02/\x00" "\x01" "\x02g\x00" "\x02G\x00" "\x06\x0f\xa0\x7f\x00\x00\x01"
                 "\x01" "\x03map" "\x01x" "\x01" "\x02" "\x01\x00\x00\x00" "\x02\x00\x00\x00" "\x03\x00\x00\x00"
                 "\x00\x00\x00\x00" "\x00\x65\x53\x65" "\x01\x00\x00\x00");
    ops += Bytes("\x04" "\x01" "\x04p\x00l\x00");
    Write("state_fuzz", "operations", ops);
}

void PingSeeds()
{
    // MultiPingOp: a wrong header, a wrong identifier, then the right reply;
    // an over-long reply for a small buffer; a stranger's reply in between.
    const std::string good("\x03\x01\x06\x00\x00\x00\x00", 7);
    Write("ping_fuzz", "udp-sequence",
          std::string("\x03\x00", 2) + FuzzUtil::LengthPrefixed(std::string("\x03\x01\x07\x00\x00\x00\x00", 7)) +
              FuzzUtil::LengthPrefixed(std::string("\x03\x01\x06\x01\x02\x03\x04", 7)) + FuzzUtil::LengthPrefixed(good));
    Write("ping_fuzz", "udp-too-long", std::string("\x03\x00", 2) + FuzzUtil::LengthPrefixed(good + "extra bytes"));
    Write("ping_fuzz", "udp-stranger", std::string("\x07\x02", 2) + FuzzUtil::LengthPrefixed("x") + FuzzUtil::LengthPrefixed(good) +
                                           FuzzUtil::LengthPrefixed(good + "tail"));
    Write("ping_fuzz", "udp-short", std::string("\x02\x00", 2) + FuzzUtil::LengthPrefixed("") + FuzzUtil::LengthPrefixed("\x03\x01\x06"));
}

void RegistrySeeds()
{
    const std::filesystem::path root = gOut / ".registry";
    RegKey::SetStoreRoot(root.string());
    {
        RegKey key(1, "Software\\Seeds", true);
        key.SetDWORD("number", 0x01020304);
        key.SetString("text", "hello");
        key.SetBinary("bytes", "\x00\x01\x02", 3);
        key.SetValue("qword", RegTypeQWORD, "12345678", 8);
        key.SetValue("multi", RegTypeMultiString, "a\0b\0\0", 5);
    }
    RegKey::SetStoreRoot("");
    int i = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file())
        {
            std::ifstream in(e.path(), std::ios::binary);
            Write("registry_fuzz", "value-" + std::to_string(i++),
                  std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
        }
    std::filesystem::remove_all(root);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
        return 2;
    }
    gOut = argv[1];
    DirectorySeeds();
    CryptoAndAuthSeeds();
    LoginSeeds();
    LoginExchangeSeeds();
    RegistrySeeds();
    StateSeeds();
    PingSeeds();
    for (int mode = 0x10; mode < 0x20; ++mode)
        Write("peer_auth_fuzz", "genuine-" + std::to_string(mode), std::string(1, static_cast<char>(mode)));
    Write("peer_auth_fuzz", "edit-request", std::string("\x11\x08\x00\x01\x20\x00\x80", 7));
    Write("peer_auth_fuzz", "edit-challenge1", std::string("\x10\x30\x00\x04", 4));
    Write("dirseed_fuzz", "tree",
          "# sample tree\ndir /games display=\"All games\" lifespan=3600\n"
          "service /games lobby 127.0.0.1:4000 display=Lobby data:map=forest data:mode=ffa\n"
          "dir /tools\n");
    std::printf("%d seeds written to %s\n", gWritten, gOut.string().c_str());
    return 0;
}
