// Throughput of the cryptography against baselines: Blowfish CBC and MD5
// against OpenSSL, modular exponentiation against GMP, and the ElGamal
// operations per second at both key sizes.
#include "QORCrypt/BigInteger.h"
#include "QORCrypt/Blowfish.h"
#include "QORCrypt/ElGamal.h"
#include "QORCrypt/MD5.h"
#include "QORCrypt/Randomizer.h"
#include "service/KeyGen.h"

#include <benchmark/benchmark.h>
#include <gmp.h>

// The low-level Blowfish and MD5 calls are deprecated in OpenSSL 3 but remain
// the most direct baseline.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <cstring>
#include <vector>

using namespace QORAPI;

namespace {

const size_t kDataSize = 16 * 1024;

std::vector<uint8_t> TestData(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 131 + 7);
    return v;
}

const uint8_t kKey[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

void BM_Blowfish_Ours_CbcEncrypt16K(benchmark::State& state)
{
    Blowfish bf(kKey, sizeof(kKey));
    const std::vector<uint8_t> data = TestData(kDataSize);
    for (auto _ : state)
    {
        SmartPtr<ByteBuffer> out = bf.encrypt(data.data(), static_cast<uint32_t>(data.size()));
        benchmark::DoNotOptimize(out.Get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDataSize);
}
BENCHMARK(BM_Blowfish_Ours_CbcEncrypt16K);

// The same without processor-specific instructions.
void BM_Blowfish_OursPortable_CbcEncrypt16K(benchmark::State& state)
{
    Blowfish::SetPortableOnly(true);
    BM_Blowfish_Ours_CbcEncrypt16K(state);
    Blowfish::SetPortableOnly(false);
}
BENCHMARK(BM_Blowfish_OursPortable_CbcEncrypt16K);

void BM_Blowfish_OpenSSL_CbcEncrypt16K(benchmark::State& state)
{
    BF_KEY key;
    BF_set_key(&key, sizeof(kKey), kKey);
    const std::vector<uint8_t> data = TestData(kDataSize);
    std::vector<uint8_t> out(kDataSize);
    for (auto _ : state)
    {
        unsigned char iv[8];
        std::memset(iv, 0xFF, sizeof(iv));
        BF_cbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &key, iv, BF_ENCRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDataSize);
}
BENCHMARK(BM_Blowfish_OpenSSL_CbcEncrypt16K);

void BM_MD5_Ours_16K(benchmark::State& state)
{
    const std::vector<uint8_t> data = TestData(kDataSize);
    QORAPI::MD5 md5;
    for (auto _ : state)
    {
        MD5Digest d = md5.digest(data);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDataSize);
}
BENCHMARK(BM_MD5_Ours_16K);

void BM_MD5_OpenSSL_16K(benchmark::State& state)
{
    const std::vector<uint8_t> data = TestData(kDataSize);
    unsigned char d[MD5_DIGEST_LENGTH];
    for (auto _ : state)
    {
        MD5_CTX ctx;
        MD5_Init(&ctx);
        MD5_Update(&ctx, data.data(), data.size());
        MD5_Final(d, &ctx);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDataSize);
}
BENCHMARK(BM_MD5_OpenSSL_16K);

// Modulus p of the fixed parameter set; base and exponent full-length.
struct ModExpInput
{
    BigInteger m, base, e, recip;
    uint16_t count = 0;
};

const ModExpInput& Input(uint32_t bits)
{
    static ModExpInput inputs[2];
    ModExpInput& in = inputs[bits == 2048 ? 1 : 0];
    if (in.count == 0)
    {
        DLParams params;
        KeyGen::LoadFixedParams(params, bits);
        Randomizer random(std::vector<uint8_t>{1, 2, 3});
        in.m = params.p;
        in.base = BigInteger(bits, random).mod(in.m);
        in.e = BigInteger(bits, random);
        in.e.setBit(bits - 1);
        in.count = BigInteger::computeRecip(in.recip, in.m);
    }
    return in;
}

void BM_ModExp_Ours(benchmark::State& state)
{
    const ModExpInput& in = Input(static_cast<uint32_t>(state.range(0)));
    BigInteger r;
    for (auto _ : state)
    {
        BigInteger::modExp(r, in.base, in.e, in.m, in.recip, in.count);
        benchmark::DoNotOptimize(r.GetLength());
    }
}
BENCHMARK(BM_ModExp_Ours)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

void ToMpz(mpz_t out, const BigInteger& v)
{
    std::vector<uint8_t> bytes;
    v.toBinary(bytes);
    mpz_import(out, bytes.size(), 1, 1, 1, 0, bytes.data());
}

void BM_ModExp_GmpPowm(benchmark::State& state)
{
    const ModExpInput& in = Input(static_cast<uint32_t>(state.range(0)));
    mpz_t m, b, e, r;
    mpz_inits(m, b, e, r, nullptr);
    ToMpz(m, in.m);
    ToMpz(b, in.base);
    ToMpz(e, in.e);
    for (auto _ : state)
    {
        mpz_powm(r, b, e, m);
        benchmark::DoNotOptimize(r);
    }
    mpz_clears(m, b, e, r, nullptr);
}
BENCHMARK(BM_ModExp_GmpPowm)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

SmartPtr<ElGamal> BenchKey(uint32_t bits)
{
    static SmartPtr<ElGamal> keys[2];
    SmartPtr<ElGamal>& key = keys[bits == 2048 ? 1 : 0];
    if (!key)
    {
        DLParams params;
        KeyGen::LoadFixedParams(params, bits);
        Randomizer random(std::vector<uint8_t>{9});
        key = KeyGen::GenerateKeyPair(params, random);
    }
    return key;
}

const uint8_t kMessage[64] = "A certificate body or a session key: what the scheme carries.";

void BM_ElGamal_Sign(benchmark::State& state)
{
    SmartPtr<ElGamal> key = BenchKey(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(key->sign(kMessage, sizeof(kMessage)).Get());
    state.counters["ops/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ElGamal_Sign)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

void BM_ElGamal_Verify(benchmark::State& state)
{
    SmartPtr<ElGamal> key = BenchKey(static_cast<uint32_t>(state.range(0)));
    SmartPtr<ByteBuffer> sig = key->sign(kMessage, sizeof(kMessage));
    for (auto _ : state)
        benchmark::DoNotOptimize(key->verify(kMessage, sizeof(kMessage), sig->GetData(), sig->GetLength()));
    state.counters["ops/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ElGamal_Verify)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

void BM_ElGamal_Encrypt(benchmark::State& state)
{
    SmartPtr<ElGamal> key = BenchKey(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(key->encrypt(kMessage, sizeof(kMessage)).Get());
    state.counters["ops/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ElGamal_Encrypt)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

void BM_ElGamal_Decrypt(benchmark::State& state)
{
    SmartPtr<ElGamal> key = BenchKey(static_cast<uint32_t>(state.range(0)));
    SmartPtr<ByteBuffer> ct = key->encrypt(kMessage, sizeof(kMessage));
    for (auto _ : state)
        benchmark::DoNotOptimize(key->decrypt(ct->GetData(), ct->GetLength()).Get());
    state.counters["ops/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ElGamal_Decrypt)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

} // namespace

#pragma GCC diagnostic pop

BENCHMARK_MAIN();
