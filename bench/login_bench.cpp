// Full logins per second against the local authentication server on
// loopback (GetCertOp, blocking, the public-key block already held), with
// keys of 1024 and 2048 bits, beside the public-key operations one login
// performs on both sides: the client encrypts the session key and verifies
// two certificates; the server decrypts the session key, draws the client's
// key pair and signs two certificates. The ratio of the two times is what
// the protocol and the sockets add.
#include "QORAPI.h"
#include "auth/AuthContext.h"
#include "auth/GetCertOp.h"
#include "service/AuthServer.h"
#include "service/LocalAuthority.h"

#include <benchmark/benchmark.h>

#include <memory>

using namespace QORAPI;

namespace {

SmartPtr<LocalAuthority> Authority(uint32_t bits)
{
    static SmartPtr<LocalAuthority> authorities[2];
    SmartPtr<LocalAuthority>& slot = authorities[bits == 2048 ? 1 : 0];
    if (!slot)
        slot = new LocalAuthority(bits);
    return slot;
}

void BM_Login(benchmark::State& state)
{
    const uint32_t bits = static_cast<uint32_t>(state.range(0));
    QORAPICore core(false, true, true);
    SmartPtr<LocalAuthority> authority = Authority(bits);
    AuthContext::SetVerifierKey(authority->GetVerifierKey());
    AuthServer server(authority);
    if (server.Start(0) != WS_Success)
    {
        state.SkipWithError("server did not start");
        return;
    }
    SmartPtr<AuthContext> ctx = new AuthContext(u"player", u"qor", u"secret");
    ctx->SetKeyStorePath("");
    ctx->AddAddress(InetAddress(0x7F000001u, server.GetPort()));
    if (ctx->Refresh(20000) != WS_Success)   // fetches the block once
    {
        state.SkipWithError("login failed");
        return;
    }
    for (auto _ : state)
    {
        SmartPtr<GetCertOp> op = new GetCertOp(ctx);
        op->RunBlock(20000);
        if (op->GetStatus() != WS_Success)
        {
            state.SkipWithError("login failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    server.Stop();
    AuthContext::ResetVerifierKey();
}

void BM_LoginPublicKeyOps(benchmark::State& state)
{
    const uint32_t bits = static_cast<uint32_t>(state.range(0));
    SmartPtr<LocalAuthority> authority = Authority(bits);
    SmartPtr<AuthPubKeyBlock> block = new AuthPubKeyBlock(authority->GetPubKeyBlock());
    ElGamal clientCopy(block->GetKeys().front());
    ElGamal serverKey = authority->GetSigningPrivateKey();
    const uint8_t sessionKey[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    IssueRequest request;
    request.mUserId = 1;
    request.mUserName = u"player";
    IssuedCredentials sample;
    authority->Issue(request, sample);
    SmartPtr<AuthCertificate> cert = new AuthCertificate(sample.mCertificate);
    SmartPtr<Auth2Certificate> cert2 = new Auth2Certificate(sample.mCertificate2);
    for (auto _ : state)
    {
        // Client: seal the session key.
        SmartPtr<ByteBuffer> sealed = clientCopy.encrypt(sessionKey, sizeof(sessionKey));
        // Server: open it, draw the key pair, sign both certificates.
        SmartPtr<ByteBuffer> opened = serverKey.decrypt(sealed->GetData(), sealed->GetLength());
        SmartPtr<ElGamal> pair = authority->GenerateKeyPair();
        SmartPtr<ByteBuffer> s1 = serverKey.sign(cert->GetRawData(), cert->GetSignedLength());
        SmartPtr<ByteBuffer> s2 = serverKey.sign(cert2->GetRawData(), cert2->GetSignedLength());
        // Client: verify both certificates.
        const bool ok = block->Verify(*cert) && block->Verify(*cert2);
        benchmark::DoNotOptimize(opened);
        benchmark::DoNotOptimize(pair);
        benchmark::DoNotOptimize(s1);
        benchmark::DoNotOptimize(s2);
        if (!ok || !opened)
        {
            state.SkipWithError("public-key operation failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_Login)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoginPublicKeyOps)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
