// Fuzz target of what logging in parses: the login key store file, every
// request of the login exchange as the local authentication server parses it
// (public-key request, login data block, challenge replies), that server's
// account lines, and the replies GetCertOp reads first (public-key reply).
// Properties: a key store that loads saves back as its count and the entries
// it holds; every reply of the server carries the service's header and fits
// a frame.
//
// Input: selector byte (0 key store, 1 server requests, 2 account lines,
// 3 reply to GetCertOp), then the bytes. Server requests are a sequence of
// 2-byte little-endian lengths and requests (common header first).
#include "FuzzUtil.h"

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

// Reaches the reply handler the request loop calls.
class ReplyProbe : public GetCertOp
{
public:
    explicit ReplyProbe(const SmartPtr<AuthContext>& context) : GetCertOp(context) {}
    WSStatus Handle(const SmartPtr<ByteBuffer>& reply)
    {
        mReply = reply;
        try
        {
            return HandleReply();
        }
        catch (const ReadBufferException&)
        {
            return WS_ServerReq_UnpackFailure;   // as the request loop records it
        }
    }
};

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void KeyStore(const std::string& file)
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const SmartPtr<LocalAuthority> authority = new LocalAuthority();
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
        SmartPtr<AuthContext> context = new AuthContext(u"player", u"qor", u"secret");
        SmartPtr<ReplyProbe> probe = new ReplyProbe(context);
        probe->Handle(new ByteBuffer(rest.data(), static_cast<uint32_t>(rest.size())));
        break;
    }
    }
    return 0;
}
