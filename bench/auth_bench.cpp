// Session encryption against bare Blowfish framing of the same bytes, and the
// rate of certificate parsing with verification.

#include "QORCrypt/Blowfish.h"
#include "QORCrypt/ElGamal.h"
#include "auth/AuthCertificate.h"
#include "auth/AuthPubKeyBlock.h"
#include "auth/AuthSession.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"
#include "service/CertIssuer.h"
#include "service/IssuerKeys.h"

#include <benchmark/benchmark.h>

#include <vector>

using namespace QORAPI;

namespace {

const uint8_t kKey[8] = {9, 8, 7, 6, 5, 4, 3, 2};
const uint32_t kMessageLength = 1024;

SmartPtr<ByteBuffer> Frame(const std::vector<uint8_t>& message)
{
    WriteBuffer out(4, true);
    out.AppendBytes(message.data(), static_cast<uint32_t>(message.size()));
    return out.ToByteBuffer(true);
}

// Baseline: the cipher framing alone, encrypting and decrypting the bytes a
// type 1 session carries (sequence number and message).
void BM_BareBlowfishFraming(benchmark::State& state)
{
    Blowfish sender(kKey, sizeof(kKey));
    Blowfish receiver(kKey, sizeof(kKey));
    std::vector<uint8_t> plain(kMessageLength + 2, 0x5A);
    for (auto _ : state)
    {
        const SmartPtr<ByteBuffer> cipher = sender.encrypt(plain.data(), static_cast<uint32_t>(plain.size()));
        const SmartPtr<ByteBuffer> back = receiver.decrypt(cipher->GetData(), cipher->GetLength());
        benchmark::DoNotOptimize(back.Get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMessageLength);
}
BENCHMARK(BM_BareBlowfishFraming);

// A type 1 session: Encrypt of a framed 1 KiB message, then Decrypt of it as
// received (without its length field).
void BM_SessionEncryptDecrypt(benchmark::State& state)
{
    const Blowfish key(kKey, sizeof(kKey));
    const AuthSessionPtr sender = new AuthSession(1, 77, key, 4);
    const AuthSessionPtr receiver = new AuthSession(1, 77, key, 4);
    const std::vector<uint8_t> message(kMessageLength, 0x5A);
    for (auto _ : state)
    {
        SmartPtr<ByteBuffer> m = Frame(message);
        if (sender->Encrypt(m) != WS_Success)
            state.SkipWithError("encrypt failed");
        SmartPtr<ByteBuffer> received = new ByteBuffer(m->GetData() + 4, m->GetLength() - 4, false);
        if (receiver->Decrypt(received) != WS_Success)
            state.SkipWithError("decrypt failed");
        benchmark::DoNotOptimize(received.Get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMessageLength);
}
BENCHMARK(BM_SessionEncryptDecrypt);

// A certificate parsed from its bytes and verified through a public-key
// block (signed by the block's second key, so the first is tried in vain).
void BM_CertificateParseVerify(benchmark::State& state)
{
    std::vector<SmartPtr<CertIssuer>> issuers;
    std::vector<SmartPtr<ByteBuffer>> publicKeys;
    for (uint32_t i = 0; i < 4; ++i)
    {
        const SmartPtr<ByteBuffer> der = GetFixedIssuerKey(i);
        issuers.push_back(new CertIssuer(der->GetData(), der->GetLength()));
        publicKeys.push_back(issuers.back()->GetPublicKey());
    }
    AuthBlockHeader header;
    header.mIssueTime = GetTimeSeconds();
    header.mExpiryTime = header.mIssueTime + 3600;
    const AuthPubKeyBlockPtr block =
        new AuthPubKeyBlock(issuers[0]->IssuePubKeyBlock(header, 1, {publicKeys[1], publicKeys[2]}));
    const SmartPtr<ByteBuffer> raw = issuers[2]->IssueCertificate(header, 42, 1, 1, publicKeys[3].Get());
    for (auto _ : state)
    {
        const AuthCertificatePtr cert = new AuthCertificate(raw->GetData(), raw->GetLength());
        if (!cert->IsValid() || !block->Verify(*cert))
            state.SkipWithError("certificate did not verify");
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_CertificateParseVerify)->Unit(benchmark::kMicrosecond);

// Parsing alone (the holder's key is loaded, nothing is verified).
void BM_CertificateParse(benchmark::State& state)
{
    const SmartPtr<ByteBuffer> der = GetFixedIssuerKey(0);
    const CertIssuerPtr issuer = new CertIssuer(der->GetData(), der->GetLength());
    AuthBlockHeader header;
    const SmartPtr<ByteBuffer> raw = issuer->IssueCertificate(header, 42, 1, 1, issuer->GetPublicKey().Get());
    for (auto _ : state)
    {
        const AuthCertificatePtr cert = new AuthCertificate(raw->GetData(), raw->GetLength());
        benchmark::DoNotOptimize(cert->IsValid());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_CertificateParse)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
