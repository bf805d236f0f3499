// libFuzzer target for the parsers of the cryptography: DER keys, ElGamal
// ciphertexts and signatures, and Blowfish ciphertexts. Not built by default;
// build by hand with clang from the repository root, for example:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. fuzz/crypto_fuzz.cpp
//       QORCrypt/*.cpp common/ByteBuffer.cpp common/ReadBuffer.cpp platform/posix/Entropy.cpp
//       platform/posix/Tick.cpp service/KeyGen*.cpp
#include "QORCrypt/Blowfish.h"
#include "QORCrypt/ElGamal.h"
#include "service/KeyGen.h"

#include <cstddef>
#include <cstdint>

using namespace QORAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static SmartPtr<ElGamal> key = [] {
        DLParams params;
        KeyGen::LoadFixedParams(params, 1024);
        Randomizer random(std::vector<uint8_t>{1});
        return KeyGen::GenerateKeyPair(params, random);
    }();
    static Blowfish cipher(reinterpret_cast<const uint8_t*>("fuzzkey!"), 8);

    const uint32_t n = static_cast<uint32_t>(size);
    ElGamal loaded;
    if (loaded.setPrivateKey(data, n) && loaded.GetP().bitLength() <= 1024 && loaded.GetQ().bitLength() <= 1024)
        loaded.sign("x", 1);
    loaded.setPublicKey(data, n);
    key->decrypt(data, n);
    key->verify("x", 1, data, n);
    cipher.decrypt(data, n);
    return 0;
}
